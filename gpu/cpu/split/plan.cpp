// The kernel parser's proof (plan.h): a kernel's blocks may run as loops split at its
// barriers only when every __syncthreads() is a statement of its own at the top of the
// body or of a for loop whose trip count is the same in every thread, no other way for
// threads to wait for each other is reachable, and no thread leaves before a barrier.
// Anything the parser cannot show keeps the kernel on fibers, which report such faults.
#include "gpu/cpu/split/plan.h"

#include "gpu/cpu/split/values.h"

#include <algorithm>
#include <functional>

#include <clang/AST/ASTContext.h>
#include <clang/AST/Attr.h>
#include <clang/AST/ExprCXX.h>
#include <clang/AST/ParentMapContext.h>
#include <clang/Basic/SourceManager.h>

using namespace clang;

namespace gpu::split {
namespace {

bool callsNamed(const Stmt* s, const char* name) {
    const auto* call = dyn_cast_or_null<CallExpr>(s);
    const FunctionDecl* f = call ? call->getDirectCallee() : nullptr;
    return f && f->getQualifiedNameAsString() == name;
}

bool isBarrier(const Stmt* s) { return callsNamed(s, "__syncthreads") && cast<CallExpr>(s)->getNumArgs() == 0; }

bool containsBarrier(const Stmt* s) {
    bool found = false;
    walk(s, [&](const Stmt* c) { found |= isBarrier(c); });
    return found;
}

constexpr long long kMaxKeptBytes = 16 * 1024;

struct Planner {
    ASTContext& ctx;
    const FunctionDecl* k;
    Plan& plan;
    std::string why;
    std::map<const VarDecl*, std::vector<std::pair<const DeclRefExpr*, Use>>> uses;
    Values values{ctx, k};
    std::set<const VarDecl*>& uniform = values.uniform;
    std::set<const VarDecl*>& remat = values.remat;
    std::set<const Stmt*> barriers;

    bool fail(const std::string& w) {
        if (why.empty()) why = w;
        return false;
    }

    bool onlyRead(const VarDecl* v, const std::set<const Stmt*>& except = {}) {
        for (const auto& [ref, use] : uses[v])
            if (use != Use::Read && !except.count(ref)) return false;
        return true;
    }

    // Adds each variable of ds to `into` while `fits` holds for it (each sees the ones
    // before it added); at the first that does not fit, takes them all out again. Other
    // declarations (a local type, a using-declaration) are let through when `others` is.
    bool addAll(const DeclStmt* ds, std::set<const VarDecl*>& into, bool others,
                const std::function<bool(const VarDecl*)>& fits) {
        std::vector<const VarDecl*> added;
        for (const Decl* d : ds->decls()) {
            const auto* v = dyn_cast<VarDecl>(d);
            if (others && (!v || !v->hasLocalStorage())) continue;
            if (!v || !v->hasLocalStorage() || !fits(v)) {
                for (const VarDecl* a : added) into.erase(a);
                return false;
            }
            into.insert(v);
            added.push_back(v);
        }
        return true;
    }

    // A declaration made once for the block: static storage (__shared__), types, and
    // uniform variables, which join `uniform`.
    bool blockLevel(const DeclStmt* ds) {
        return addAll(ds, uniform, true, [&](const VarDecl* v) {
            return v->getInit() && trivialType(ctx, v->getType()) && onlyRead(v) && values.pure(v->getInit(), false);
        });
    }

    // Declarations a later segment may repeat: values of the thread that never change, and
    // lambdas that capture by reference.
    bool rematerializable(const DeclStmt* ds) {
        return addAll(ds, remat, false, [&](const VarDecl* v) {
            if (!v->getInit() || v->getType()->isReferenceType() || !onlyRead(v)) return false;
            if (const auto* lambda = dyn_cast<LambdaExpr>(v->getInit()->IgnoreImplicit()))
                return lambda->getCaptureDefault() == LCD_ByRef && !lambda->isMutable() &&
                       std::none_of(lambda->explicit_capture_begin(), lambda->explicit_capture_end(),
                                    [&](const LambdaCapture& c) { return c.getCaptureKind() == LCK_ByCopy || lambda->isInitCapture(&c); });
            return trivialType(ctx, v->getType()) && !v->getType()->isArrayType() && values.pure(v->getInit(), true);
        });
    }

    // A break or continue in `body` that would leave or restart the loop it belongs to.
    static bool jumpsOut(const Stmt* s, bool inLoop, bool inSwitch) {
        if (!s) return false;
        if (isa<BreakStmt>(s)) return !inLoop && !inSwitch;
        if (isa<ContinueStmt>(s)) return !inLoop;
        if (isa<LambdaExpr>(s)) return false;
        const bool loop = isa<ForStmt>(s) || isa<WhileStmt>(s) || isa<DoStmt>(s) || isa<CXXForRangeStmt>(s);
        for (const Stmt* c : s->children())
            if (jumpsOut(c, inLoop || loop, inSwitch || isa<SwitchStmt>(s))) return true;
        return false;
    }

    bool splitLoop(const ForStmt* f, std::vector<Piece>& out) {
        std::vector<const VarDecl*> counters;
        if (const Stmt* init = f->getInit()) {
            const auto* ds = dyn_cast<DeclStmt>(init);
            if (!ds) return fail("a loop with barriers that does not declare its counter");
            for (const Decl* d : ds->decls()) {
                const auto* v = dyn_cast<VarDecl>(d);
                if (!v || !v->getInit() || !trivialType(ctx, v->getType()) || !values.pure(v->getInit(), false))
                    return fail("a loop with barriers whose start may differ from thread to thread");
                uniform.insert(v);
                counters.push_back(v);
            }
        }
        std::set<const Stmt*> inInc;
        walk(f->getInc(), [&](const Stmt* s) { inInc.insert(s); });
        for (const VarDecl* v : counters)
            if (!onlyRead(v, inInc)) return fail("a loop with barriers whose counter changes in its body");
        std::function<bool(const Expr*)> step = [&](const Expr* e) {
            e = e->IgnoreParens();
            auto counter = [&](const Expr* x) {
                const auto* d = dyn_cast<DeclRefExpr>(x->IgnoreParens());
                return d && std::count(counters.begin(), counters.end(), d->getDecl());
            };
            if (const auto* u = dyn_cast<UnaryOperator>(e)) return u->isIncrementDecrementOp() && counter(u->getSubExpr());
            if (const auto* b = dyn_cast<BinaryOperator>(e)) {
                if (b->isCommaOp()) return step(b->getLHS()) && step(b->getRHS());
                return b->isAssignmentOp() && counter(b->getLHS()) && values.pure(b->getRHS(), false);
            }
            return false;
        };
        if (f->getConditionVariable() || !f->getCond() || !values.pure(f->getCond(), false) || !f->getInc() || !step(f->getInc()))
            return fail("a __syncthreads() in a loop whose trip count may differ from thread to thread");
        const auto* body = dyn_cast<CompoundStmt>(f->getBody());
        if (!body) return fail("a loop with barriers without braces");
        if (jumpsOut(body, false, false)) return fail("a break or continue in a loop with barriers");
        Piece loop{Piece::Loop, {f}};
        if (!build(body, loop.body, false)) return false;
        out.push_back(std::move(loop));
        return true;
    }

    bool build(const CompoundStmt* cs, std::vector<Piece>& out, bool top) {
        // At the top of the kernel, everything after the last barrier is one segment: a
        // thread may return there.
        size_t tail = 0, i = 0;
        if (top)
            for (const Stmt* s : cs->body()) {
                ++i;
                if (isBarrier(s) || (isa<ForStmt>(s) && containsBarrier(s))) tail = i;
            }
        i = 0;
        int run = -1;  // index in `out` of the segment being filled
        for (const Stmt* s : cs->body()) {
            const bool inTail = top && i++ >= tail;
            if (!inTail) {
                if (isBarrier(s)) {
                    barriers.insert(s);
                    ++plan.barriers;
                    out.push_back({Piece::Barrier, {s}});
                    run = -1;
                    continue;
                }
                if (const auto* ds = dyn_cast<DeclStmt>(s); ds && blockLevel(ds)) {
                    out.push_back({Piece::Block, {s}});
                    run = -1;
                    continue;
                }
                if (const auto* f = dyn_cast<ForStmt>(s); f && containsBarrier(f)) {
                    if (!splitLoop(f, out)) return false;
                    run = -1;
                    continue;
                }
            }
            if (containsBarrier(s))
                return fail(isa<IfStmt>(s) || isa<SwitchStmt>(s) ? "a __syncthreads() under a condition"
                                                                 : "a __syncthreads() not at the top of the kernel or of a loop");
            if (run < 0) {
                out.push_back({Piece::Threads});
                run = int(out.size()) - 1;
                out[run].segment = plan.segments++;
                plan.copyIn.emplace_back();
                plan.copyOut.emplace_back();
                plan.redeclare.emplace_back();
            }
            out[run].stmts.push_back(s);
            if (const auto* ds = dyn_cast<DeclStmt>(s)) {
                const bool r = rematerializable(ds);
                for (const Decl* d : ds->decls())
                    if (const auto* v = dyn_cast<VarDecl>(d); v && v->hasLocalStorage()) {
                        plan.declaredIn[v] = out[run].segment;
                        plan.kind[v] = r ? VarKind::Remat : VarKind::Stored;
                        plan.declStmt[v] = ds;
                    }
            }
        }
        return true;
    }

    // What each segment needs of the others (plan.h).
    bool connect(const std::vector<Piece>& pieces) {
        for (const Piece& p : pieces) {
            if (p.kind == Piece::Loop && !connect(p.body)) return false;
            if (p.kind != Piece::Threads) continue;
            const int s = p.segment;
            std::set<const VarDecl*> needed;
            std::set<const DeclStmt*> again;
            std::vector<const Stmt*> todo(p.stmts.begin(), p.stmts.end());
            std::set<const VarDecl*> writes;
            while (!todo.empty()) {
                const Stmt* t = todo.back();
                todo.pop_back();
                walk(t, [&](const Stmt* c) {
                    const auto* d = dyn_cast<DeclRefExpr>(c);
                    const auto* v = d ? dyn_cast<VarDecl>(d->getDecl()) : nullptr;
                    if (!v || !plan.declaredIn.count(v)) return;
                    if (classify(ctx, d) != Use::Read) writes.insert(v);
                    if (plan.declaredIn[v] == s || !needed.insert(v).second) return;
                    if (plan.kind[v] == VarKind::Remat && again.insert(plan.declStmt[v]).second) todo.push_back(plan.declStmt[v]);
                });
            }
            std::set<std::string> names;
            for (const VarDecl* v : needed) {
                if (!names.insert(v->getNameAsString()).second)
                    return fail("two variables named " + v->getNameAsString() + " live across one barrier");
                if (plan.kind[v] == VarKind::Stored) plan.copyIn[s].insert(v);
            }
            for (const Stmt* t : p.stmts)
                if (const auto* ds = dyn_cast<DeclStmt>(t))
                    for (const Decl* d : ds->decls())
                        if (names.count(cast<NamedDecl>(d)->getNameAsString()))
                            return fail("a variable named " + cast<NamedDecl>(d)->getNameAsString() +
                                        " hides one that lives across a barrier");
            for (const VarDecl* v : writes)
                if (plan.copyIn[s].count(v)) plan.copyOut[s].insert(v);
            plan.redeclare[s].assign(again.begin(), again.end());
            std::sort(plan.redeclare[s].begin(), plan.redeclare[s].end(), [&](const DeclStmt* a, const DeclStmt* b) {
                return ctx.getSourceManager().isBeforeInTranslationUnit(a->getBeginLoc(), b->getBeginLoc());
            });
        }
        return true;
    }

    bool run() {
        const auto* body = dyn_cast_or_null<CompoundStmt>(k->getBody());
        if (!body) return fail("no body");
        if (k->getTemplatedKind() != FunctionDecl::TK_NonTemplate) return fail("a template");
        walk(body, [&](const Stmt* s) {
            if (const auto* d = dyn_cast<DeclRefExpr>(s))
                if (const auto* v = dyn_cast<VarDecl>(d->getDecl())) uses[v].push_back({d, classify(ctx, d)});
        });
        if (!containsBarrier(body)) return fail("no __syncthreads()");
        for (const ParmVarDecl* p : k->parameters())
            if (!onlyRead(p)) return fail("parameter " + p->getNameAsString() + " changed in the body");
        if (!build(body, plan.pieces, true)) return false;
        if (!reachesNoOtherWait(body) || !leavesOnlyAtTheEnd(body) || !connect(plan.pieces)) return false;
        // Stored variables that live across a barrier: checked and numbered. What a thread
        // keeps is bounded as its stack is (blocks of 1024 threads keep 1024 times that).
        std::set<const VarDecl*> crossing;
        for (int s = 0; s < plan.segments; ++s) crossing.insert(plan.copyIn[s].begin(), plan.copyIn[s].end());
        long long bytes = 0;
        for (const VarDecl* v : crossing) {
            if (!trivialType(ctx, v->getType()))
                return fail(v->getNameAsString() + " lives across a barrier and is not plain data");
            if ((bytes += ctx.getTypeSizeInChars(v->getType()).getQuantity()) > kMaxKeptBytes)
                return fail("more than " + std::to_string(kMaxKeptBytes) + " bytes a thread live across a barrier");
            bool escapes = v->getType()->isArrayType();
            for (const auto& [ref, use] : uses[v]) escapes |= use == Use::Escape;
            if (escapes) {
                const DeclStmt* ds = plan.declStmt[v];
                if (!ds->isSingleDecl() || (v->getInit() && (v->getType()->isArrayType() || v->getInitStyle() != VarDecl::CInit)))
                    return fail(v->getNameAsString() + " lives across a barrier, its address taken, in a declaration too complex");
                plan.byRef.insert(v);
                for (auto& out : plan.copyOut) out.erase(v);  // changed in place
            } else {
                plan.copyOut[plan.declaredIn[v]].insert(v);
            }
            plan.member[v] = std::to_string(plan.member.size());
        }
        return true;
    }

    // No other barrier, warp or group function, however reached; no call it cannot see.
    bool reachesNoOtherWait(const Stmt* body) {
        std::set<const FunctionDecl*> seen;
        // via: the call in the kernel's own body that the scan is inside, for the message.
        std::function<bool(const Stmt*, const std::string&)> scan = [&](const Stmt* root, const std::string& via) {
            bool ok = true;
            walk(root, [&](const Stmt* s) {
                if (!ok || barriers.count(s)) return;
                if (const auto* d = dyn_cast<DeclRefExpr>(s); d && root != body)
                    plan.calleesReadThreadIdx |= d->getDecl()->getQualifiedNameAsString() == "gpu::cpu::context";
                if (isa<GotoStmt>(s) || isa<IndirectGotoStmt>(s) || isa<LabelStmt>(s) || isa<CXXTryStmt>(s)) {
                    ok = fail("a goto, label or try in it");
                    return;
                }
                const FunctionDecl* f = nullptr;
                if (const auto* c = dyn_cast<CallExpr>(s)) {
                    f = c->getDirectCallee();
                    if (!f && !isa<CXXPseudoDestructorExpr>(c->getCallee()->IgnoreParens())) ok = fail("a call through a pointer");
                } else if (const auto* c = dyn_cast<CXXConstructExpr>(s)) {
                    f = c->getConstructor();
                }
                if (!f || !ok) return;
                const std::string q = f->getQualifiedNameAsString(), named = via.empty() ? q : via;
                if (q.rfind("__syncthreads", 0) == 0) {
                    ok = fail("a barrier that is not a __syncthreads() statement of its own (" + named + ")");
                    return;
                }
                if (q == "__syncwarp" || q == "gpu::cpu::warpCall" || q.rfind("cooperative_groups::", 0) == 0) {
                    ok = fail("a warp or group function (" + named + ")");
                    return;
                }
                if (const auto* m = dyn_cast<CXXMethodDecl>(f); m && m->isVirtual()) {
                    ok = fail("a virtual call");
                    return;
                }
                if (!seen.insert(f->getCanonicalDecl()).second || f->getBuiltinID() ||
                    ctx.getSourceManager().isInSystemHeader(f->getLocation()) || f->isDefaulted())
                    return;
                const FunctionDecl* def = nullptr;
                if (!f->hasBody(def)) {
                    ok = fail("a call of " + q + ", whose body it cannot see" + (via.empty() ? "" : " (in " + via + ")"));
                    return;
                }
                ok = scan(def->getBody(), named);
            });
            return ok;
        };
        return scan(body, "");
    }

    // A return (outside lambdas) only after the last barrier, at the kernel's top.
    bool leavesOnlyAtTheEnd(const CompoundStmt* body) {
        std::set<const Stmt*> last;
        if (!plan.pieces.empty() && plan.pieces.back().kind == Piece::Threads)
            last.insert(plan.pieces.back().stmts.begin(), plan.pieces.back().stmts.end());
        std::function<bool(const Stmt*)> returns = [&](const Stmt* s) {
            if (!s || isa<LambdaExpr>(s)) return false;
            if (isa<ReturnStmt>(s)) return true;
            for (const Stmt* c : s->children())
                if (returns(c)) return true;
            return false;
        };
        for (const Stmt* s : body->body())
            if (!last.count(s) && returns(s)) return fail("a return before a __syncthreads()");
        return true;
    }
};

}  // namespace

std::string planKernel(ASTContext& ctx, const FunctionDecl* k, Plan& plan) {
    Planner p{ctx, k, plan};
    return p.run() ? std::string() : p.why;
}

}  // namespace gpu::split
