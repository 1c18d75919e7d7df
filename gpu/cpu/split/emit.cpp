// Writes a planned kernel's block function (plan.h): the kernel's own statements, in its
// own words, each segment inside a loop over the block's threads. For
//
//   __global__ void k(float* out) {
//       __shared__ float s[256];
//       const int t = threadIdx.x;
//       float v = out[t];
//       s[t] = v;
//       __syncthreads();
//       out[t] = v + s[255 - t];
//   }
//
// it writes (with #line directives pointing each statement at the .cu file)
//
//   #define threadIdx (gpudemosIdx)      // pushed before, popped after
//   static __attribute__((flatten)) void gpudemos_block_k(float* out) {
//       using gpudemosT0 = float;
//       gpudemosT0* const gpudemosV0 = ::gpu::cpu::threadArray<gpudemosT0>(0);
//       __shared__ float s[256];
//       ::gpu::cpu::forEachThread<false>([&](int gpudemosThread, uint3 gpudemosIdx) {
//           const int t = threadIdx.x;
//           float v = out[t];
//           s[t] = v;
//           gpudemosV0[gpudemosThread] = v;
//       });
//       ::gpu::cpu::forEachThread<false>([&](int gpudemosThread, uint3 gpudemosIdx) {
//           auto v = gpudemosV0[gpudemosThread];
//           [[maybe_unused]] const int t = threadIdx.x;
//           out[t] = v + s[255 - t];
//       });
//   }
//   static const bool gpudemos_registered_k = ::gpu::cpu::registerBlockFunction(&k, &gpudemos_block_k);
#include <clang/AST/ASTContext.h>
#include <clang/AST/Decl.h>
#include <clang/AST/QualTypeNames.h>
#include <clang/AST/Stmt.h>
#include <clang/AST/TypeLoc.h>
#include <clang/AST/StmtCXX.h>
#include <clang/Basic/SourceManager.h>
#include <clang/Lex/Lexer.h>

#include "gpu/cpu/split/plan.h"

using namespace clang;

namespace gpu::split {
namespace {

struct Writer {
    ASTContext& ctx;
    const Plan& plan;
    std::string why;
    const SourceManager& sm = ctx.getSourceManager();
    unsigned prevEnd = 0;  // statements must not overlap (two made by one macro)

    unsigned offset(SourceLocation l) const { return sm.getFileOffset(sm.getExpansionLoc(l)); }

    std::string lineOf(SourceLocation l) const {
        const PresumedLoc p = sm.getPresumedLoc(sm.getExpansionLoc(l));
        std::string file;
        for (const char* c = p.getFilename(); *c; ++c) {
            if (*c == '\\' || *c == '"') file += '\\';
            file += *c;
        }
        return "\n#line " + std::to_string(p.getLine()) + " \"" + file + "\"\n";
    }

    // Source text of [b, end of the token at e], and a ';' right after it.
    std::string text(SourceLocation b, SourceLocation e, bool semicolon) {
        const SourceLocation eb = sm.getExpansionLoc(b);
        const SourceLocation ee = Lexer::getLocForEndOfToken(sm.getExpansionRange(e).getEnd(), 0, sm, ctx.getLangOpts());
        if (!sm.isInMainFile(eb) || !sm.isInMainFile(ee)) {
            why = "a statement made by a macro of another file";
            return "";
        }
        const StringRef buffer = sm.getBufferData(sm.getMainFileID());
        unsigned from = sm.getFileOffset(eb), to = sm.getFileOffset(ee);
        if (from < prevEnd || to < from) {
            why = "statements made by one macro";
            return "";
        }
        if (semicolon) {
            unsigned j = to;
            while (j < buffer.size() && (buffer[j] == ' ' || buffer[j] == '\t' || buffer[j] == '\n')) ++j;
            if (j < buffer.size() && buffer[j] == ';') to = j + 1;
        }
        prevEnd = to;
        return buffer.substr(from, to - from).str();
    }

    // A statement with its ';' (which clang's range of an expression statement leaves out,
    // also at the end of an `if` or loop without braces); none after a statement that ends
    // in a block (an `if (c) { ... };` keeps its empty statement).
    std::string statement(const Stmt* s) {
        const bool control = isa<IfStmt>(s) || isa<ForStmt>(s) || isa<WhileStmt>(s) || isa<SwitchStmt>(s) ||
                             isa<CompoundStmt>(s) || isa<CXXForRangeStmt>(s);
        const SourceLocation end = sm.getExpansionLoc(s->getEndLoc());
        const bool block = control && *sm.getCharacterData(end) == '}';
        return lineOf(s->getBeginLoc()) + text(s->getBeginLoc(), s->getEndLoc(), !block);
    }

    std::string typeName(const VarDecl* v) {
        QualType t = v->getType();
        Qualifiers dropped;
        t = ctx.getUnqualifiedArrayType(t, dropped);
        PrintingPolicy pp(ctx.getLangOpts());
        pp.SuppressUnwrittenScope = true;
        const std::string name = TypeName::getFullyQualifiedName(t, ctx, pp, true);
        if (name.find("(anonymous") != std::string::npos || name.find("(lambda") != std::string::npos ||
            name.find("(unnamed") != std::string::npos)
            why = v->getNameAsString() + " has a type that cannot be named outside the kernel";
        return name;
    }

    // The thread's element of v's array.
    std::string slot(const VarDecl* v) const { return "gpudemosV" + plan.member.at(v) + "[gpudemosThread]"; }

    std::string segment(const Piece& p) {
        const int s = p.segment;
        std::string out = std::string("::gpu::cpu::forEachThread<") + (plan.calleesReadThreadIdx ? "true" : "false") +
                          ">([&]([[maybe_unused]] int gpudemosThread, [[maybe_unused]] uint3 gpudemosIdx) {\n";
        for (const VarDecl* v : plan.copyIn[s])
            out += std::string(plan.byRef.count(v) ? "auto& " : "auto ") + v->getNameAsString() + " = " + slot(v) + ";\n";
        for (const DeclStmt* ds : plan.redeclare[s]) {
            const unsigned keep = prevEnd;
            prevEnd = 0;  // text already written once
            out += lineOf(ds->getBeginLoc()) + "[[maybe_unused]] " + text(ds->getBeginLoc(), ds->getEndLoc(), true);
            prevEnd = keep;
        }
        for (const Stmt* t : p.stmts) {
            const auto* ds = dyn_cast<DeclStmt>(t);
            const auto* v = ds && ds->isSingleDecl() ? dyn_cast<VarDecl>(ds->getSingleDecl()) : nullptr;
            if (v && plan.byRef.count(v)) {
                // Used in place: a reference to the thread's element, then the initialization.
                const std::string name = v->getNameAsString();
                std::string init;
                if (v->getInit()) init = text(v->getInit()->getBeginLoc(), v->getInit()->getEndLoc(), false);
                out += lineOf(t->getBeginLoc()) + "auto& " + name + " = " + slot(v) + ";";
                if (!init.empty()) out += " " + name + " = " + init + ";";
                prevEnd = offset(t->getEndLoc()) + 1;
                continue;
            }
            out += statement(t);
        }
        out += "\n";
        // Written back: the ones declared here, and the ones this segment may change.
        for (const VarDecl* v : plan.copyOut[s])
            out += slot(v) + " = " + v->getNameAsString() + ";\n";
        return out + "});";
    }

    std::string pieces(const std::vector<Piece>& list) {
        std::string out;
        for (const Piece& p : list) {
            switch (p.kind) {
            case Piece::Barrier:
                prevEnd = offset(p.stmts[0]->getEndLoc());
                break;
            case Piece::Block:
                out += statement(p.stmts[0]);
                break;
            case Piece::Loop: {
                const auto* f = cast<ForStmt>(p.stmts[0]);
                const auto* body = cast<CompoundStmt>(f->getBody());
                out += lineOf(f->getBeginLoc()) + text(f->getBeginLoc(), body->getLBracLoc(), false) + "\n";
                out += pieces(p.body) + "\n}";
                prevEnd = offset(body->getRBracLoc()) + 1;
                break;
            }
            case Piece::Threads:
                out += segment(p);
                break;
            }
            if (!why.empty()) return "";
            out += "\n";
        }
        return out;
    }
};

}  // namespace

std::string emitBlockFunction(ASTContext& ctx, const FunctionDecl* k, const Plan& plan, std::string& why) {
    Writer w{ctx, plan, {}};
    const std::string kernel = k->getNameAsString(), name = "gpudemos_block_" + kernel;
    const FunctionTypeLoc ftl = k->getFunctionTypeLoc();
    if (!ftl) {
        why = "a declaration it cannot read";
        return "";
    }
    const std::string params = w.text(ftl.getLParenLoc(), ftl.getRParenLoc(), false);
    w.prevEnd = 0;
    // One array a stored variable, one element a thread: the kernel's code stays as it is,
    // and values of neighbouring threads lie side by side, as vector loads want them.
    std::string arrays;
    for (const auto& [v, member] : plan.member)
        arrays += "using gpudemosT" + member + " = " + w.typeName(v) + ";\ngpudemosT" + member + "* const gpudemosV" +
                  member + " = ::gpu::cpu::threadArray<gpudemosT" + member + ">(" + member + ");\n";
    // The block function's statements read threadIdx from forEachThread's argument.
    std::string out = "\n// " + kernel + "'s blocks as loops over their threads, split at its " +
                      std::to_string(plan.barriers) + " barrier(s) (gpu/cpu/split/).\n" +
                      "#pragma push_macro(\"threadIdx\")\n#undef threadIdx\n#define threadIdx (gpudemosIdx)\n" +
                      "static __attribute__((flatten)) void " + name + params + " {\n" + arrays;
    w.prevEnd = w.offset(cast<CompoundStmt>(k->getBody())->getLBracLoc()) + 1;
    out += w.pieces(plan.pieces);
    out += "\n}\n#pragma pop_macro(\"threadIdx\")\nstatic const bool gpudemos_registered_" + kernel +
           " = ::gpu::cpu::registerBlockFunction(reinterpret_cast<const void*>(static_cast<decltype(&" + name + ")>(&" +
           kernel + ")), reinterpret_cast<const void*>(&" + name + "));\n";
    why = w.why;
    return why.empty() ? out : "";
}

}  // namespace gpu::split
