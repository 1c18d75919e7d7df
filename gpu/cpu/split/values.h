// What the kernel parser knows of values: what a use of a variable may do to it, and
// whether an expression has the same value in every thread of a block (uniform), or is a
// value of the thread that no other thread can change (computed from threadIdx and
// uniform values only).
#pragma once

#include <functional>
#include <map>
#include <set>

namespace clang {
class ASTContext;
class Expr;
class FunctionDecl;
class QualType;
class Stmt;
class VarDecl;
}  // namespace clang

namespace gpu::split {

// Calls f on s and everything below it (lambda bodies included).
void walk(const clang::Stmt* s, const std::function<void(const clang::Stmt*)>& f);

// A variable's type that can be copied as bytes and made without running code.
bool trivialType(clang::ASTContext& ctx, clang::QualType t);

// What a use of a variable (ref, a DeclRefExpr) may do to it: read its value, write it,
// or let its address out (a pointer, a reference, an array's decay).
enum class Use { Read, Write, Escape };
Use classify(clang::ASTContext& ctx, const clang::Expr* ref);

struct Values {
    clang::ASTContext& ctx;
    const clang::FunctionDecl* kernel;
    std::set<const clang::VarDecl*> uniform;  // locals made once for the block
    std::set<const clang::VarDecl*> remat;    // locals of the thread that never change

    Values(clang::ASTContext& c, const clang::FunctionDecl* k) : ctx(c), kernel(k) {}

    // e's value is uniform (thread = false), or the thread's own (thread = true).
    bool pure(const clang::Expr* e, bool thread);

  private:
    std::map<const clang::FunctionDecl*, bool> pureFns;
    bool pureFunction(const clang::FunctionDecl* f);
    bool readable(const clang::Expr* l, bool thread);
    bool address(const clang::Expr* l, bool thread);
};

}  // namespace gpu::split
