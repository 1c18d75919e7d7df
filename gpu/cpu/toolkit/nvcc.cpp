// bin/nvcc of the toolkit folder: nvcc's command line, the cpu backend's build. Each .cu
// input goes through the same steps as under gpu_sources() (cmake/GpuBackend.cmake): the
// launch translation (gpu/cpu/translate.h), the kernel parser (bin/gpu_split_blocks, where
// the toolkit has it), then the host compiler as C++ with the runtime
// included first (-include cuda_runtime.h, as nvcc includes it into every .cu file) and
// every operation rounded on its own (-ffp-contract=off). .c and .cpp inputs go to the host
// compiler, objects and libraries to the link, which adds the toolkit's runtime library.
// The toolkit's root is the folder above this program's own, so the folder can be moved.
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "gpu/cpu/translate.h"
#include "nvcc.h"

extern char** environ;

namespace fs = std::filesystem;

namespace nvcc {
namespace {

int fail(const std::string& what) {
    std::fprintf(stderr, "nvcc: error: %s\n", what.c_str());
    return 1;
}

// The host compiler: -ccbin (a compiler, or a folder holding g++), NVCC_CCBIN, the one this
// toolkit was built with, or g++ on PATH. Empty when none can be found.
std::string hostCompiler(const Options& o) {
    auto runnable = [](const std::string& p) { return !p.empty() && access(p.c_str(), X_OK) == 0 && !fs::is_directory(p); };
    auto onPath = [&](const std::string& name) -> std::string {
        if (name.find('/') != std::string::npos) return runnable(name) ? name : "";
        const char* path = std::getenv("PATH");
        std::stringstream dirs(path ? path : "");
        for (std::string d; std::getline(dirs, d, ':');)
            if (runnable(d + "/" + name)) return d + "/" + name;
        return "";
    };
    std::string want = o.ccbin;
    if (want.empty() && std::getenv("NVCC_CCBIN")) want = std::getenv("NVCC_CCBIN");
    if (!want.empty()) {
        if (fs::is_directory(want)) {
            for (const char* n : {"g++", "c++", "clang++"})
                if (runnable(want + "/" + n)) return want + "/" + n;
            return "";
        }
        return onPath(want);
    }
    if (runnable(GPU_NVCC_HOST_CXX)) return GPU_NVCC_HOST_CXX;
    return onPath("g++");
}

struct Driver {
    const Options& o;
    std::string root, cxx;
    fs::path tmp;

    // Runs a command (no shell), echoed under -v as nvcc echoes its steps; its status.
    int run(const std::vector<std::string>& args) const {
        if (o.verbose) {
            std::string line = "#$";
            for (const auto& a : args) line += " " + a;
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::vector<char*> argv;
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        pid_t pid;
        if (posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
            return fail("cannot run " + args[0]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
    }

    // What every compile step takes: the toolkit's headers, the user's host flags, the
    // standard (not for C), optimization and debug, the floating-point rule, sanitizers.
    std::vector<std::string> compileFlags(Kind k) const {
        std::vector<std::string> f{cxx};
        if (k == Kind::C) f.insert(f.end(), {"-x", "c"});
        if (k == Kind::Cu) f.insert(f.end(), {"-x", "c++"});
        if (k != Kind::C) f.push_back("-std=" + (o.standard.empty() ? std::string("c++17") : o.standard));
        f.push_back("-I" + root + "/include");
        f.insert(f.end(), o.hostFlags.begin(), o.hostFlags.end());
        std::string opt = o.optimize;
        if (k == Kind::Cu && opt.empty()) opt = o.deviceDebug ? "0" : "3";  // device code: nvcc's -O3
        if (!opt.empty()) f.push_back("-O" + opt);
        if (o.debug || (k == Kind::Cu && o.deviceDebug)) f.push_back("-g");
        else if (k == Kind::Cu && o.lineInfo) f.push_back("-g1");
        f.insert(f.end(), {"-ffp-contract=off", "-fstack-clash-protection"});
        // A sanitizer's report names the kernel and its line: debug info, kernels not inlined.
        if (!o.sanitize.empty()) f.insert(f.end(), {"-g", "-fno-inline", "-fno-omit-frame-pointer"});
        if (o.sanitize == "address") f.insert(f.end(), {"-fsanitize=address,undefined", "-DBOOST_USE_ASAN"});
        if (o.sanitize == "thread") f.push_back("-fsanitize=thread");
        return f;
    }

    // The object an input compiles to: -o with -c, else <name>.o here (-c) or a temporary.
    std::string objectFor(const Input& in, size_t index) const {
        if (o.compileOnly && !o.output.empty()) return o.output;
        const std::string stem = fs::path(in.path).stem().string();
        if (o.compileOnly) return stem + ".o";
        return (tmp / (std::to_string(index) + "_" + stem + ".o")).string();
    }

    // A .cu input's translation, in the temporary folder; empty after a translation error.
    std::string translate(const Input& in, size_t index) const {
        std::ifstream file(in.path, std::ios::binary);
        const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        std::string out;
        if (!gpu::cpu::translateLaunches(in.path, text, in.path, out)) return "";
        const fs::path cpp = tmp / (std::to_string(index) + "_" + fs::path(in.path).filename().string() + ".cpp");
        std::ofstream(cpp, std::ios::binary) << out;
        return cpp.string();
    }

    // Copies a dependency file, naming the .cu where the compiler saw its translation.
    static bool rewriteDeps(const std::string& from, const std::string& to, const std::string& translated,
                            const std::string& cu) {
        std::ifstream in(from);
        std::string deps((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        for (size_t at = 0; (at = deps.find(translated, at)) != std::string::npos; at += cu.size())
            deps.replace(at, translated.size(), cu);
        if (to.empty()) {
            std::fputs(deps.c_str(), stdout);
            return true;
        }
        std::ofstream out(to);
        out << deps;
        return bool(out);
    }

    // The kernel parser, where the toolkit has one (built on clang's libraries), as under
    // gpu_sources(): kernels whose barriers it proves uniform get their block functions
    // (-v prints which). Not under ThreadSanitizer, whose reports need a fiber a thread.
    int splitBlocks(const std::string& source, const std::vector<std::string>& flags) const {
        const std::string tool = root + "/bin/gpu_split_blocks";
        if (o.sanitize == "thread" || access(tool.c_str(), X_OK) != 0) return 0;
        std::vector<std::string> args{tool, source};
        if (o.verbose) args.push_back("-v");
        args.push_back("--");
        for (size_t i = 1; i < flags.size(); ++i) {
            const std::string& a = flags[i];
            if (a == "-iquote" || a == "-include" || a == "-isystem") {
                if (i + 1 < flags.size()) args.insert(args.end(), {a, flags[++i]});
            } else if (a.rfind("-I", 0) == 0 || a.rfind("-D", 0) == 0 || a.rfind("-U", 0) == 0 || a.rfind("-std=", 0) == 0) {
                args.push_back(a);
            }
        }
        return run(args);
    }

    // Compiles one input to `object` (or, under -M, prints its dependencies).
    int compile(const Input& in, size_t index, const std::string& object) const {
        std::string source = in.path;
        if (in.kind == Kind::Cu) {
            source = translate(in, index);
            if (source.empty()) return 1;
            std::vector<std::string> f = compileFlags(in.kind);
            const std::string dir = fs::path(in.path).parent_path().string();
            f.insert(f.end(), {"-DGPU_KERNEL_FILE=1", "-iquote", dir.empty() ? "." : dir, "-include",
                               root + "/include/cuda_runtime.h"});
            if (!o.depsOnly)
                if (int rc = splitBlocks(source, f)) return rc;
            return finish(f, in, source, object);
        }
        return finish(compileFlags(in.kind), in, source, object);
    }

    int finish(std::vector<std::string> f, const Input& in, const std::string& source, const std::string& object) const {
        const bool deps = o.depsOnly || o.depsWithCompile;
        const std::string depTmp = (tmp / "deps.d").string();
        if (deps) {
            // As nvcc names it: the object, or <name>.o where the object is temporary.
            std::string target = o.depTarget;
            if (target.empty()) target = o.compileOnly ? object : fs::path(in.path).stem().string() + ".o";
            f.insert(f.end(), {o.depsOnly ? "-M" : "-MD", "-MF", depTmp, "-MT", target});
        }
        if (!o.depsOnly) f.insert(f.end(), {"-c", "-o", object});
        f.push_back(source);
        if (int rc = run(f)) return rc;
        if (!deps) return 0;
        std::string to = o.depFile;
        if (to.empty() && o.depsWithCompile)  // beside the object, or here when the object is temporary
            to = fs::path(o.compileOnly ? object : fs::path(in.path).filename().string()).replace_extension(".d").string();
        return rewriteDeps(depTmp, to, source, in.path) ? 0 : fail("cannot write " + to);
    }

    // The link: the objects, the user's libraries, then the runtime (static by default, as
    // nvcc links it; the sanitizer builds with their own runtime).
    int link(const std::vector<std::string>& objects) const {
        std::vector<std::string> f{cxx};
        if (o.shared) f.push_back("-shared");
        f.insert(f.end(), o.compilerOptions.begin(), o.compilerOptions.end());  // -fopenmp, -pthread ...
        f.insert(f.end(), objects.begin(), objects.end());
        f.insert(f.end(), {"-o", o.output.empty() ? "a.out" : o.output, "-L" + root + "/lib64"});
        f.insert(f.end(), o.linkFlags.begin(), o.linkFlags.end());
        if (!o.sanitize.empty()) {
            f.insert(f.end(), {o.sanitize == "thread" ? "-fsanitize=thread" : "-fsanitize=address,undefined",
                               root + "/lib64/libcudart_" + (o.sanitize == "thread" ? "tsan" : "asan") + ".a",
                               "-lboost_context", "-lpthread"});
        } else if (o.cudart == "static") {
            f.push_back(root + "/lib64/libcudart_static.a");
        } else if (o.cudart == "shared") {
            f.push_back("-lcudart");
        }
        return run(f);
    }

    int main() {
        std::vector<std::string> objects;
        size_t index = 0;
        for (const Input& in : o.inputs) {
            if (in.kind == Kind::LinkInput) {
                objects.push_back(in.path);
                continue;
            }
            const std::string object = objectFor(in, index);
            if (int rc = compile(in, index++, object)) return rc;
            objects.push_back(object);
        }
        if (o.depsOnly || o.compileOnly) return 0;
        if (o.deviceLink) {
            // Device code links with the host objects here; the step's object holds nothing.
            const fs::path empty = tmp / "dlink.cpp";
            std::ofstream(empty) << "// nothing to link: device code is host code here\n";
            return run({cxx, "-c", "-o", o.output.empty() ? "a_dlink.o" : o.output, empty.string()});
        }
        return link(objects);
    }
};

std::string toolkitRoot() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : self.parent_path().parent_path().string();
}

}  // namespace
}  // namespace nvcc

int main(int argc, char** argv) {
    using namespace nvcc;
    Options o;
    const std::string root = toolkitRoot();
    if (!parseOptions(argc, argv, o)) return 1;
    if (o.help) {
        std::fputs(helpText(), stdout);
        return 0;
    }
    if (o.version) {
        std::printf("nvcc: the CUDA compiler driver of the gpudemos cpu backend: kernels run on CPU cores, not on a GPU\n"
                    "Cuda compilation tools, release 13.0, V13.0.0\n"
                    "Build gpudemos cpu backend, host compiler %s\n", GPU_NVCC_HOST_CXX);
        return 0;
    }
    if (o.verbose) std::fprintf(stderr, "#$ TOP=%s\n#$ INCLUDES=\"-I%s/include\"\n#$ LIBRARIES=\"-L%s/lib64\"\n",
                                root.c_str(), root.c_str(), root.c_str());
    if (root.empty() || !fs::exists(root + "/include/cuda_runtime.h"))
        return fail("no include/cuda_runtime.h beside this nvcc's folder: it runs from a toolkit folder's bin/");
    if (o.inputs.empty()) return fail("no input files");
    for (const Input& in : o.inputs)
        if (!fs::exists(in.path)) return fail("no such file: " + in.path);
    size_t compiled = 0;
    for (const Input& in : o.inputs) compiled += in.kind != Kind::LinkInput;
    if (o.compileOnly && !o.output.empty() && compiled > 1)
        return fail("-o with -c names one object, but " + std::to_string(compiled) + " inputs are compiled");
    if (!o.sanitize.empty() && o.cudart != "static")
        return fail("-fsanitize links the runtime's sanitizer build statically: leave -cudart at static");
    const std::string cxx = hostCompiler(o);
    if (cxx.empty())
        return fail("host compiler '" + (o.ccbin.empty() ? std::string("g++") : o.ccbin) +
                    "' not found (name one with -ccbin or NVCC_CCBIN)");
    const char* tmpdir = std::getenv("TMPDIR");
    std::string templ = std::string(tmpdir && *tmpdir ? tmpdir : "/tmp") + "/nvcc-XXXXXX";
    if (!mkdtemp(templ.data())) return fail("cannot make a temporary folder in " + fs::path(templ).parent_path().string());
    const fs::path tmp = templ;
    Driver d{o, root, cxx, tmp};
    const int rc = d.main();
    std::error_code ignored;
    fs::remove_all(tmp, ignored);
    return rc;
}
