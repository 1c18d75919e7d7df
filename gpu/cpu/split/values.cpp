// What the kernel parser knows of values (values.h).
#include "gpu/cpu/split/values.h"

#include <algorithm>

#include <clang/AST/ASTContext.h>
#include <clang/AST/Attr.h>
#include <clang/AST/ExprCXX.h>
#include <clang/AST/ParentMapContext.h>
#include <clang/Basic/SourceManager.h>

using namespace clang;

namespace gpu::split {

// Calls f on s and everything below it (lambda bodies included).
void walk(const Stmt* s, const std::function<void(const Stmt*)>& f) {
    if (!s) return;
    f(s);
    for (const Stmt* c : s->children()) walk(c, f);
}

bool trivialType(ASTContext& ctx, QualType t) {
    const QualType e = ctx.getBaseElementType(t);
    return !t->isReferenceType() && !t.isVolatileQualified() && !t->isVariableArrayType() &&
           e.isTriviallyCopyableType(ctx) && e.isTrivialType(ctx);
}

Use classify(ASTContext& ctx, const Expr* e) {
    for (;;) {
        const auto parents = ctx.getParents(*e);
        if (parents.empty()) return Use::Escape;
        if (const auto* v = parents[0].get<VarDecl>())
            return v->getType()->isReferenceType() ? Use::Escape : Use::Read;
        const Stmt* p = parents[0].get<Stmt>();
        if (!p) return Use::Escape;
        if (isa<ParenExpr>(p)) {
            e = cast<Expr>(p);
            continue;
        }
        if (const auto* m = dyn_cast<MemberExpr>(p)) {
            if (m->isArrow()) return Use::Read;  // a pointer's value
            e = m;
            continue;
        }
        if (const auto* c = dyn_cast<ImplicitCastExpr>(p)) {
            if (c->getCastKind() == CK_LValueToRValue) return Use::Read;
            if (c->getCastKind() == CK_NoOp) {
                e = c;
                continue;
            }
            return Use::Escape;
        }
        if (const auto* u = dyn_cast<UnaryOperator>(p)) return u->isIncrementDecrementOp() ? Use::Write : Use::Escape;
        if (const auto* b = dyn_cast<BinaryOperator>(p))
            return b->isAssignmentOp() && b->getLHS()->IgnoreParens() == e ? Use::Write : Use::Escape;
        // A lambda's capture: the uses in its body count, each where it is.
        if (isa<UnaryExprOrTypeTraitExpr>(p) || isa<ReturnStmt>(p) || isa<MaterializeTemporaryExpr>(p) ||
            isa<LambdaExpr>(p))
            return Use::Read;
        if (const auto* c = dyn_cast<CStyleCastExpr>(p); c && c->getCastKind() == CK_ToVoid) return Use::Read;
        if (const auto* c = dyn_cast<CXXConstructExpr>(p)) {
            const CXXConstructorDecl* ctor = c->getConstructor();
            return ctor->isCopyOrMoveConstructor() && ctor->getParamDecl(0)->getType()->getPointeeType().isConstQualified()
                       ? Use::Read
                       : Use::Escape;
        }
        if (const auto* call = dyn_cast<CallExpr>(p)) {
            const FunctionDecl* f = call->getDirectCallee();
            if (!f) return Use::Escape;
            const auto* method = dyn_cast<CXXMethodDecl>(f);
            if (isa<CXXMemberCallExpr>(call) && call->getCallee()->IgnoreParens() == e)
                return method && method->isConst() ? Use::Read : Use::Write;
            unsigned shift = isa<CXXOperatorCallExpr>(call) && method ? 1 : 0;
            for (unsigned i = 0; i < call->getNumArgs(); ++i) {
                if (call->getArg(i)->IgnoreParens() != e) continue;
                if (shift && i == 0) return method->isConst() ? Use::Read : Use::Write;
                if (i - shift >= f->getNumParams()) return Use::Escape;
                const QualType t = f->getParamDecl(i - shift)->getType();
                if (!t->isReferenceType()) return Use::Read;
                return t->getPointeeType().isConstQualified() ? Use::Read : Use::Write;
            }
            return Use::Escape;
        }
        return Use::Escape;
    }
}

// A function whose result depends on its arguments only: no memory read through a
// pointer, no variable but its own and constants, calls of such functions only.
bool Values::pureFunction(const FunctionDecl* f) {
    f = f->getCanonicalDecl();
    if (auto it = pureFns.find(f); it != pureFns.end()) return it->second;
    pureFns[f] = false;  // while deciding: a recursive call is not pure
    const FunctionDecl* def = nullptr;
    bool pure;
    if (ctx.getSourceManager().isInSystemHeader(f->getLocation())) {
        const std::string q = f->getQualifiedNameAsString();
        pure = f->hasAttr<ConstAttr>() || q == "std::min" || q == "std::max";
    } else if (isa<CXXMethodDecl>(f) || !f->hasBody(def)) {
        pure = false;
    } else {
        pure = true;
        walk(def->getBody(), [&](const Stmt* s) {
            if (isa<ArraySubscriptExpr>(s) || isa<CXXThisExpr>(s) || isa<AsmStmt>(s) || isa<CXXNewExpr>(s))
                pure = false;
            else if (const auto* u = dyn_cast<UnaryOperator>(s); u && u->getOpcode() == UO_Deref)
                pure = false;
            else if (const auto* m = dyn_cast<MemberExpr>(s); m && m->isArrow())
                pure = false;
            else if (const auto* d = dyn_cast<DeclRefExpr>(s)) {
                if (const auto* v = dyn_cast<VarDecl>(d->getDecl()))
                    pure &= (v->hasLocalStorage() && v->getParentFunctionOrMethod() == def) ||
                            v->getType().isConstQualified();
            } else if (const auto* c = dyn_cast<CallExpr>(s)) {
                pure &= c->getDirectCallee() && pureFunction(c->getDirectCallee());
            }
        });
    }
    return pureFns[f] = pure;
}

// Whether expression e has the same value in every thread (thread = false), or is a
// value of the thread that no other thread can change (thread = true).
bool Values::pure(const Expr* e, bool thread) {
    e = e->IgnoreParens();
    if (isa<IntegerLiteral>(e) || isa<FloatingLiteral>(e) || isa<CharacterLiteral>(e) ||
        isa<CXXBoolLiteralExpr>(e) || isa<CXXNullPtrLiteralExpr>(e) || isa<UnaryExprOrTypeTraitExpr>(e) ||
        isa<ConstantExpr>(e))
        return true;
    if (const auto* c = dyn_cast<ImplicitCastExpr>(e)) {
        if (c->getCastKind() == CK_LValueToRValue) return readable(c->getSubExpr(), thread);
        if (c->getCastKind() == CK_ArrayToPointerDecay) return address(c->getSubExpr(), thread);
        return pure(c->getSubExpr(), thread);
    }
    if (const auto* c = dyn_cast<ExplicitCastExpr>(e)) return !c->getType()->isReferenceType() && pure(c->getSubExpr(), thread);
    if (const auto* d = dyn_cast<DeclRefExpr>(e)) return isa<EnumConstantDecl>(d->getDecl());
    if (const auto* u = dyn_cast<UnaryOperator>(e)) {
        if (u->getOpcode() == UO_AddrOf) return address(u->getSubExpr(), thread);
        return u->getOpcode() != UO_Deref && !u->isIncrementDecrementOp() && pure(u->getSubExpr(), thread);
    }
    if (const auto* b = dyn_cast<BinaryOperator>(e))
        return !b->isAssignmentOp() && !b->isCommaOp() && pure(b->getLHS(), thread) && pure(b->getRHS(), thread);
    if (const auto* c = dyn_cast<ConditionalOperator>(e))
        return pure(c->getCond(), thread) && pure(c->getTrueExpr(), thread) && pure(c->getFalseExpr(), thread);
    if (const auto* c = dyn_cast<CallExpr>(e)) {
        if (isa<CXXMemberCallExpr>(c) || isa<CXXOperatorCallExpr>(c) || !c->getDirectCallee() ||
            !pureFunction(c->getDirectCallee()))
            return false;
        return std::all_of(c->arg_begin(), c->arg_end(), [&](const Expr* a) { return pure(a, thread); });
    }
    if (const auto* m = dyn_cast<MaterializeTemporaryExpr>(e)) return pure(m->getSubExpr(), thread);
    if (const auto* m = dyn_cast<ExprWithCleanups>(e)) return pure(m->getSubExpr(), thread);
    if (const auto* d = dyn_cast<CXXDefaultArgExpr>(e)) return pure(d->getExpr(), thread);
    if (const auto* c = dyn_cast<CXXConstructExpr>(e)) {
        if (!c->getConstructor()->isTrivial() || c->getNumArgs() != 1) return false;
        const Expr* a = c->getArg(0);
        return a->isGLValue() ? readable(a, thread) : pure(a, thread);
    }
    if (const auto* m = dyn_cast<MemberExpr>(e)) return !m->isArrow() && pure(m->getBase(), thread);
    return false;
}

// Whether reading lvalue l gives such a value.
bool Values::readable(const Expr* l, bool thread) {
    l = l->IgnoreParens();
    if (const auto* d = dyn_cast<DeclRefExpr>(l)) {
        const auto* v = dyn_cast<VarDecl>(d->getDecl());
        if (!v) return false;
        if (const auto* p = dyn_cast<ParmVarDecl>(v)) return p->getDeclContext() == kernel;
        if (uniform.count(v) || (thread && remat.count(v))) return true;
        return !v->hasLocalStorage() && (v->getType().isConstQualified() || v->hasAttr<SectionAttr>());
    }
    if (const auto* m = dyn_cast<MemberExpr>(l)) {
        if (m->isArrow()) return false;
        const auto* d = dyn_cast<DeclRefExpr>(m->getBase()->IgnoreParens());
        if (d && d->getDecl()->getQualifiedNameAsString() == "gpu::cpu::context") {
            const std::string field = m->getMemberDecl()->getNameAsString();  // threadIdx, or blockIdx...
            return field == "thread" ? thread : field == "block" || field == "blockSize" || field == "gridSize";
        }
        return readable(m->getBase(), thread);
    }
    return false;
}

// Whether lvalue l is the same object in every thread (or stays the thread's own).
bool Values::address(const Expr* l, bool thread) {
    l = l->IgnoreParens();
    if (const auto* d = dyn_cast<DeclRefExpr>(l)) {
        const auto* v = dyn_cast<VarDecl>(d->getDecl());
        return v && (!v->hasLocalStorage() || uniform.count(v));
    }
    if (const auto* a = dyn_cast<ArraySubscriptExpr>(l)) return pure(a->getBase(), thread) && pure(a->getIdx(), thread);
    if (const auto* m = dyn_cast<MemberExpr>(l))
        return m->isArrow() ? pure(m->getBase(), thread) : address(m->getBase(), thread);
    return false;
}

}  // namespace gpu::split
