// The kernel parser's plan for one kernel: whether every __syncthreads() of it is reached
// by the whole block, provably, and if so how its body splits into loops over the block's
// threads. plan.cpp decides; emit.cpp writes the block function from the plan.
//
// A kernel's body is a list of pieces:
//   Barrier  a __syncthreads() statement at the top of the body, or at the top of the body
//            of a Loop;
//   Block    a declaration made once for the block: __shared__ and other static-storage
//            variables, and uniform ones (the same value in every thread: computed from
//            the parameters, blockIdx, blockDim, gridDim and constants only);
//   Loop     a for loop holding barriers, whose trip count is uniform: it runs once for
//            the block, its body pieces in turn;
//   Threads  the statements between those: run for each thread in turn (a segment).
// The local variables declared at the top of a segment and used in a later one live across
// a barrier. Remat ones (computed from threadIdx and uniform values, never changed, or a
// lambda capturing by reference) are declared again where used; Stored ones are kept in
// arrays of one element a thread, copied in and out (or used in place, byRef, when their address
// is taken).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace clang {
class ASTContext;
class DeclStmt;
class FunctionDecl;
class Stmt;
class VarDecl;
}  // namespace clang

namespace gpu::split {

struct Piece {
    enum Kind { Barrier, Block, Loop, Threads } kind;
    std::vector<const clang::Stmt*> stmts;  // one for Barrier, Block and Loop
    std::vector<Piece> body;                // a Loop's
    int segment = -1;                       // a Threads piece's number
};

enum class VarKind { Uniform, Remat, Stored };

struct Plan {
    std::vector<Piece> pieces;
    int barriers = 0;
    int segments = 0;
    // Variables declared at the top of a segment: their segment and kind.
    std::map<const clang::VarDecl*, int> declaredIn;
    std::map<const clang::VarDecl*, VarKind> kind;
    std::map<const clang::VarDecl*, const clang::DeclStmt*> declStmt;
    // Per segment: the variables of other segments it needs, remat declarations it repeats
    // (in source order), and the stored variables it copies back to their arrays.
    std::vector<std::set<const clang::VarDecl*>> copyIn, copyOut;
    std::vector<std::vector<const clang::DeclStmt*>> redeclare;
    // Stored variables that live across a barrier: their number (their array's), and
    // those used in place.
    std::map<const clang::VarDecl*, std::string> member;
    std::set<const clang::VarDecl*> byRef;
    // Some function the kernel calls reads threadIdx (it is then set for every thread).
    bool calleesReadThreadIdx = false;
};

// Plans kernel `k`, a definition. Returns "" when its blocks may run split at their
// barriers, else why they stay on fibers.
std::string planKernel(clang::ASTContext& ctx, const clang::FunctionDecl* k, Plan& plan);

// The block function of planned kernel `k` (its name: gpudemos_block_<kernel>) and the
// line that registers it, to go right after the kernel's definition. Empty with `why`
// set when the plan cannot be written out (a type that cannot be named there).
std::string emitBlockFunction(clang::ASTContext& ctx, const clang::FunctionDecl* k, const Plan& plan,
                              std::string& why);

}  // namespace gpu::split
