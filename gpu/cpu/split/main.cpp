// The kernel parser of the cpu backend's build (gpu_sources() in cmake/GpuBackend.cmake):
//
//   gpu_split_blocks <file.cpp> [-v] [--depfile <file.d>] -- <the compiler's flags for it>
//
// parses a kernel file's launch translation with clang's libraries and rewrites it in
// place: right after each kernel whose barriers the parser proves are reached by the
// whole block (plan.cpp) it adds the kernel's block function (emit.cpp), which the runtime
// then runs instead of one fiber a thread; after a kernel with barriers that stays on
// fibers, a comment saying why; after each __device__ variable, the line that makes it a
// device symbol for the runtime (backend.h, registerDeviceVariable). -v says the same on standard output, a line a kernel
// ("kernel.cu:12: K: loops split at 2 barrier(s)"). A file clang cannot
// parse is left as it is, with one note on standard error. Files with neither
// __syncthreads nor __device__ are not parsed at all. --depfile writes the headers it read, for the build to rerun it
// when one changes.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <clang/AST/ASTConsumer.h>
#include <clang/AST/ASTContext.h>
#include <clang/AST/Attr.h>
#include <clang/AST/DeclCXX.h>
#include <clang/Basic/Diagnostic.h>
#include <clang/Basic/SourceManager.h>
#include <clang/Frontend/CompilerInstance.h>
#include <clang/Frontend/FrontendAction.h>
#include <clang/Lex/Lexer.h>
#include <clang/Tooling/Tooling.h>
#include <llvm/Support/FileSystem.h>

#include "gpu/cpu/split/plan.h"

using namespace clang;

namespace {

struct Edit {
    unsigned offset;
    std::string text;
};

struct Outcome {
    std::vector<Edit> edits;
    std::vector<std::string> report;  // one line a kernel with barriers
    std::string firstError;
    std::vector<std::string> files;  // every file read
};

struct FirstError : DiagnosticConsumer {
    std::string& first;
    explicit FirstError(std::string& f) : first(f) {}
    void HandleDiagnostic(DiagnosticsEngine::Level level, const Diagnostic& d) override {
        DiagnosticConsumer::HandleDiagnostic(level, d);
        if (level < DiagnosticsEngine::Error || !first.empty()) return;
        SmallString<160> text;
        d.FormatDiagnostic(text);
        if (d.hasSourceManager() && d.getLocation().isValid()) {
            const PresumedLoc p = d.getSourceManager().getPresumedLoc(d.getLocation());
            if (p.isValid()) first = std::string(p.getFilename()) + ":" + std::to_string(p.getLine()) + ": ";
        }
        first += text.str().str();
    }
};

bool annotated(const Decl* d, const char* what) {
    for (const auto* a : d->specific_attrs<AnnotateAttr>())
        if (a->getAnnotation() == what) return true;
    return false;
}

struct Consumer : ASTConsumer {
    Outcome& outcome;
    explicit Consumer(Outcome& o) : outcome(o) {}

    void kernel(ASTContext& ctx, const FunctionDecl* k) {
        const SourceManager& sm = ctx.getSourceManager();
        const auto* body = dyn_cast<CompoundStmt>(k->getBody());
        if (!body || !sm.isInMainFile(sm.getExpansionLoc(k->getLocation()))) return;
        gpu::split::Plan plan;
        std::string why = gpu::split::planKernel(ctx, k, plan);
        if (why == "no __syncthreads()") return;
        std::string text;
        if (why.empty()) text = gpu::split::emitBlockFunction(ctx, k, plan, why);
        const SourceLocation end = sm.getExpansionLoc(body->getRBracLoc());
        const unsigned at = sm.getFileOffset(end) + 1;
        const PresumedLoc where = sm.getPresumedLoc(sm.getExpansionLoc(k->getLocation()));
        const std::string name = std::string(where.getFilename()) + ":" + std::to_string(where.getLine()) + ": " +
                                 k->getNameAsString();
        if (why.empty()) {
            const PresumedLoc p = sm.getPresumedLoc(end);
            text += "#line " + std::to_string(p.getLine()) + " \"" + p.getFilename() + "\"\n";
            outcome.report.push_back(name + ": loops split at " + std::to_string(plan.barriers) + " barrier(s)");
        } else {
            for (size_t i; (i = why.find("*/")) != std::string::npos;) why.replace(i, 2, "* /");
            text = " /* gpudemos: " + k->getNameAsString() + " runs on fibers: " + why + " */";
            outcome.report.push_back(name + ": fibers: " + why);
        }
        outcome.edits.push_back({at, text});
    }

    // A __device__ variable defined in this file: a line after its declaration registers
    // it with the runtime, which then takes it for a device symbol.
    void deviceVariable(ASTContext& ctx, const VarDecl* v) {
        const SourceManager& sm = ctx.getSourceManager();
        const SourceLocation end = sm.getExpansionLoc(v->getEndLoc());
        if (!sm.isInMainFile(end)) return;
        const StringRef text = sm.getBufferData(sm.getMainFileID());
        const size_t semicolon = text.find(';', sm.getFileOffset(Lexer::getLocForEndOfToken(end, 0, sm, ctx.getLangOpts())));
        if (semicolon == StringRef::npos) return;
        const std::string name = v->getNameAsString();
        outcome.edits.push_back({unsigned(semicolon + 1), " static const bool gpudemos_device_" + std::to_string(outcome.edits.size()) +
                                                              "_" + name + " = ::gpu::cpu::registerDeviceVariable(::std::addressof(" +
                                                              name + "), sizeof(" + name + "));"});
    }

    void visit(ASTContext& ctx, const DeclContext* dc) {
        for (const Decl* d : dc->decls()) {
            if (const auto* f = dyn_cast<FunctionDecl>(d)) {
                if (f->doesThisDeclarationHaveABody() && annotated(f, "gpudemos_global")) kernel(ctx, f);
            } else if (const auto* v = dyn_cast<VarDecl>(d)) {
                if (annotated(v, "gpudemos_device") && v->isThisDeclarationADefinition() == VarDecl::Definition &&
                    !v->getDescribedVarTemplate())
                    deviceVariable(ctx, v);
            } else if (isa<NamespaceDecl>(d) || isa<LinkageSpecDecl>(d)) {
                visit(ctx, cast<DeclContext>(d));
            }
        }
    }

    void HandleTranslationUnit(ASTContext& ctx) override {
        const SourceManager& sm = ctx.getSourceManager();
        // The headers of the system stay out: they do not change between builds.
        for (auto f = sm.fileinfo_begin(); f != sm.fileinfo_end(); ++f) {
            SmallString<256> real;
            if (!llvm::sys::fs::real_path(f->first->getName(), real) && !real.startswith("/usr/"))
                outcome.files.push_back(real.str().str());
        }
        if (!ctx.getDiagnostics().hasErrorOccurred()) visit(ctx, ctx.getTranslationUnitDecl());
    }
};

struct Action : ASTFrontendAction {
    Outcome& outcome;
    std::unique_ptr<FirstError> errors;
    explicit Action(Outcome& o) : outcome(o) {}
    std::unique_ptr<ASTConsumer> CreateASTConsumer(CompilerInstance& ci, StringRef) override {
        errors = std::make_unique<FirstError>(outcome.firstError);
        ci.getDiagnostics().setClient(errors.get(), false);
        return std::make_unique<Consumer>(outcome);
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <file.cpp> [-v] -- <compiler flags>\n", argv[0]);
        return 2;
    }
    const std::string path = argv[1];
    bool verbose = false;
    std::string depfile;
    std::vector<std::string> args = {"-x", "c++", "-std=c++17", "-w", "-fno-caret-diagnostics", "-DGPUDEMOS_KERNEL_SCAN", "-resource-dir",
                                     GPU_SPLIT_RESOURCE_DIR};
    int i = 2;
    for (; i < argc && std::string(argv[i]) != "--"; ++i) {
        verbose |= std::string(argv[i]) == "-v";
        if (std::string(argv[i]) == "--depfile" && i + 1 < argc) depfile = argv[++i];
    }
    for (++i; i < argc; ++i) args.push_back(argv[i]);

    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "%s: error: cannot read it\n", path.c_str());
        return 1;
    }
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    // With __device__ marked too, to find the device variables; a file that does not parse
    // so (clang takes no attribute on a lambda, which an extended [] __device__ lambda
    // becomes) is parsed again for its kernels only.
    Outcome outcome;
    if (text.find("__syncthreads") != std::string::npos || text.find("__device__") != std::string::npos) {
        args.push_back("-DGPUDEMOS_DEVICE_SCAN");
        tooling::runToolOnCodeWithArgs(std::make_unique<Action>(outcome), text, args, path, "gpu_split_blocks");
        if (!outcome.firstError.empty()) {
            args.pop_back();
            outcome = Outcome{};
            tooling::runToolOnCodeWithArgs(std::make_unique<Action>(outcome), text, args, path, "gpu_split_blocks");
        }
    }
    if (!depfile.empty()) {
        std::ofstream d(depfile, std::ios::trunc);
        d << path << ":";
        for (const std::string& f : outcome.files)
            if (f != std::filesystem::absolute(path).string()) d << " \\\n " << f;
        d << "\n";
    }
    if (!outcome.firstError.empty()) {
        std::fprintf(stderr, "%s: note: its kernels run on fibers, the parser stopped at %s\n", path.c_str(),
                     outcome.firstError.c_str());
        return 0;
    }
    if (verbose)
        for (const std::string& line : outcome.report) std::printf("%s\n", line.c_str());
    if (outcome.edits.empty()) return 0;
    std::stable_sort(outcome.edits.begin(), outcome.edits.end(),
                     [](const Edit& a, const Edit& b) { return a.offset < b.offset; });
    for (auto e = outcome.edits.rbegin(); e != outcome.edits.rend(); ++e) text.insert(e->offset, e->text);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "%s: error: cannot write it\n", path.c_str());
        return 1;
    }
    return 0;
}
