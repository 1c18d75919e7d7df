// nvcc's command line as this driver reads it. Every flag is one row of the table below,
// under nvcc's short and long names; a flag that is in no row is refused by name, never
// ignored. Flags about the GPU's code (architectures, ptxas, fast math) are checked and
// accepted: here the device code is host code, built by the host compiler.
#include <cstdio>
#include <functional>
#include <regex>
#include <string>

#include "nvcc.h"

namespace nvcc {
namespace {

bool fail(const std::string& what) {
    std::fprintf(stderr, "nvcc: error: %s\n", what.c_str());
    return false;
}

bool endsWith(const std::string& s, const char* tail) {
    const std::string t(tail);
    return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

Kind kindOf(const std::string& path) {
    for (const char* e : {".cu"}) if (endsWith(path, e)) return Kind::Cu;
    if (endsWith(path, ".c")) return Kind::C;
    for (const char* e : {".cpp", ".cc", ".cxx", ".C", ".c++"}) if (endsWith(path, e)) return Kind::Cpp;
    return Kind::LinkInput;
}

bool isLinkInput(const std::string& path) {
    for (const char* e : {".o", ".a", ".so", ".obj"}) if (endsWith(path, e)) return true;
    return path.find(".so.") != std::string::npos;
}

// Items of a comma-separated value; -Xcompiler "-Wall -Wextra" is split at spaces too.
std::vector<std::string> items(const std::string& v, bool spaces) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : v) {
        if (c == ',' || (spaces && c == ' ')) {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// A GPU architecture as nvcc names them: sm_90, compute_90, sm_90a, lto_90, native, all...
bool archOk(const std::string& a, bool code) {
    static const std::regex named("(sm|compute|lto)_[0-9]{2,3}[af]?");
    if (std::regex_match(a, named)) return true;
    return !code && (a == "native" || a == "all" || a == "all-major");
}

bool archList(const std::string& flag, const std::string& v, bool code) {
    std::string s = v;
    if (s.size() >= 2 && ((s.front() == '[' && s.back() == ']') || (s.front() == '"' && s.back() == '"')))
        s = s.substr(1, s.size() - 2);
    const auto list = items(s, false);
    if (list.empty()) return fail("option '" + flag + "' needs a GPU architecture");
    for (const auto& a : list)
        if (!archOk(a, code)) return fail("unknown GPU architecture '" + a + "' in " + flag);
    return true;
}

// -gencode arch=compute_90,code=sm_90 (code may be a list in [] or "").
bool gencode(const std::string& v) {
    static const std::regex form("arch=([^,]+),code=(.+)");
    std::smatch m;
    if (!std::regex_match(v, m, form)) return fail("-gencode takes arch=compute_XX,code=sm_XX, not '" + v + "'");
    return archList("-gencode", m[1], false) && archList("-gencode", m[2], true);
}

bool oneOf(const std::string& flag, const std::string& v, std::initializer_list<const char*> allowed) {
    for (const char* a : allowed)
        if (v == a) return true;
    std::string list;
    for (const char* a : allowed) list += std::string(list.empty() ? "" : ", ") + a;
    return fail("option '" + flag + "' takes " + list + ", not '" + v + "'");
}

struct Flag {
    std::vector<std::string> names;  // the short name first
    bool value;                      // takes a value (-o X, -o=X, --output-file X)
    std::function<bool(Options&, const std::string&)> apply;
};

bool accept(Options&, const std::string&) { return true; }

const std::vector<Flag>& flags() {
    static const std::vector<Flag> table = {
        {{"-o", "--output-file"}, true, [](Options& o, const std::string& v) { o.output = v; return true; }},
        {{"-c", "--compile"}, false, [](Options& o, const std::string&) { return o.compileOnly = true; }},
        {{"-dc", "--device-c"}, false, [](Options& o, const std::string&) { return o.compileOnly = true; }},
        {{"-dlink", "--device-link"}, false, [](Options& o, const std::string&) { return o.deviceLink = true; }},
        {{"-rdc", "--relocatable-device-code"}, true,
         [](Options&, const std::string& v) { return oneOf("-rdc", v, {"true", "false"}); }},
        {{"-I", "--include-path"}, true, [](Options& o, const std::string& v) { o.hostFlags.push_back("-I" + v); return true; }},
        {{"-isystem", "--system-include"}, true,
         [](Options& o, const std::string& v) { o.hostFlags.insert(o.hostFlags.end(), {"-isystem", v}); return true; }},
        {{"-D", "--define-macro"}, true, [](Options& o, const std::string& v) { o.hostFlags.push_back("-D" + v); return true; }},
        {{"-U", "--undefine-macro"}, true, [](Options& o, const std::string& v) { o.hostFlags.push_back("-U" + v); return true; }},
        {{"-L", "--library-path"}, true, [](Options& o, const std::string& v) { o.linkFlags.push_back("-L" + v); return true; }},
        {{"-l", "--library"}, true, [](Options& o, const std::string& v) { o.linkFlags.push_back("-l" + v); return true; }},
        {{"-O", "--optimize"}, true,
         [](Options& o, const std::string& v) { o.optimize = v; return oneOf("-O", v, {"0", "1", "2", "3"}); }},
        {{"-g", "--debug"}, false, [](Options& o, const std::string&) { return o.debug = true; }},
        {{"-G", "--device-debug"}, false, [](Options& o, const std::string&) { return o.deviceDebug = true; }},
        {{"-lineinfo", "--generate-line-info"}, false, [](Options& o, const std::string&) { return o.lineInfo = true; }},
        {{"-std", "--std"}, true,
         [](Options& o, const std::string& v) {
             o.standard = v;
             return oneOf("-std", v, {"c++11", "c++14", "c++17", "c++20", "c++03"});
         }},
        {{"-x", "--x"}, true, [](Options&, const std::string& v) { return oneOf("-x", v, {"cu", "c", "c++", "none"}); }},
        {{"-arch", "--gpu-architecture"}, true, [](Options&, const std::string& v) { return archList("-arch", v, false); }},
        {{"-code", "--gpu-code"}, true, [](Options&, const std::string& v) { return archList("-code", v, true); }},
        {{"-gencode", "--generate-code"}, true, [](Options&, const std::string& v) { return gencode(v); }},
        {{"-Xcompiler", "--compiler-options"}, true,
         [](Options& o, const std::string& v) {
             for (auto& f : items(v, true)) {
                 o.hostFlags.push_back(f);
                 o.compilerOptions.push_back(f);
             }
             return true;
         }},
        {{"-Xlinker", "--linker-options"}, true,
         [](Options& o, const std::string& v) {
             for (auto& f : items(v, false)) o.linkFlags.insert(o.linkFlags.end(), {"-Xlinker", f});
             return true;
         }},
        {{"-Xptxas", "--ptxas-options"}, true, accept},
        {{"-Xnvlink", "--nvlink-options"}, true, accept},
        {{"-use_fast_math", "--use_fast_math"}, false, accept},
        {{"-fmad", "--fmad"}, true, [](Options&, const std::string& v) { return oneOf("-fmad", v, {"true", "false"}); }},
        {{"-ftz", "--ftz"}, true, [](Options&, const std::string& v) { return oneOf("-ftz", v, {"true", "false"}); }},
        {{"-prec-div", "--prec-div"}, true,
         [](Options&, const std::string& v) { return oneOf("-prec-div", v, {"true", "false"}); }},
        {{"-prec-sqrt", "--prec-sqrt"}, true,
         [](Options&, const std::string& v) { return oneOf("-prec-sqrt", v, {"true", "false"}); }},
        {{"-expt-relaxed-constexpr", "--expt-relaxed-constexpr"}, false, accept},
        {{"-extended-lambda", "--extended-lambda", "--expt-extended-lambda", "-expt-extended-lambda"}, false, accept},
        {{"-Wno-deprecated-gpu-targets", "--Wno-deprecated-gpu-targets"}, false, accept},
        {{"-m64", "--m64"}, false, accept},
        {{"-ccbin", "--compiler-bindir"}, true, [](Options& o, const std::string& v) { o.ccbin = v; return true; }},
        {{"-cudart", "--cudart"}, true,
         [](Options& o, const std::string& v) { o.cudart = v; return oneOf("-cudart", v, {"static", "shared", "none"}); }},
        {{"-shared", "--shared"}, false, [](Options& o, const std::string&) { return o.shared = true; }},
        {{"-w", "--disable-warnings"}, false, [](Options& o, const std::string&) { o.hostFlags.push_back("-w"); return true; }},
        {{"-M", "--generate-dependencies"}, false, [](Options& o, const std::string&) { return o.depsOnly = true; }},
        {{"-MD", "--generate-dependencies-with-compile"}, false,
         [](Options& o, const std::string&) { return o.depsWithCompile = true; }},
        {{"-MF", "--dependency-output"}, true, [](Options& o, const std::string& v) { o.depFile = v; return true; }},
        {{"-MT", "--dependency-target-name"}, true, [](Options& o, const std::string& v) { o.depTarget = v; return true; }},
        {{"-v", "--verbose"}, false, [](Options& o, const std::string&) { return o.verbose = true; }},
        {{"-V", "--version"}, false, [](Options& o, const std::string&) { return o.version = true; }},
        {{"-h", "--help"}, false, [](Options& o, const std::string&) { return o.help = true; }},
        // This driver's own: the runtime and the program built with AddressSanitizer (and
        // UndefinedBehaviorSanitizer) or ThreadSanitizer.
        {{"-fsanitize"}, true,
         [](Options& o, const std::string& v) {
             o.sanitize = v == "address,undefined" ? "address" : v;
             return oneOf("-fsanitize", v, {"address", "address,undefined", "thread"});
         }},
    };
    return table;
}

// Flags whose value may also be glued on: -Idir, -DX, -lm, -O2.
bool glued(const std::string& name) {
    return name == "-I" || name == "-D" || name == "-U" || name == "-L" || name == "-l" || name == "-O";
}

}  // namespace

bool parseOptions(int argc, char** argv, Options& o) {
    bool asCu = false;  // -x cu: the inputs after it are CUDA sources, whatever their suffix
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.empty() || a[0] != '-' || a == "-") {
            if (asCu && !isLinkInput(a)) {
                o.inputs.push_back({a, Kind::Cu});
                continue;
            }
            const Kind k = kindOf(a);
            if (k == Kind::LinkInput && !isLinkInput(a))
                return fail("don't know what to do with '" + a + "' (inputs are .cu, .c, .cpp, .o, .a and .so files)");
            o.inputs.push_back({a, k});
            continue;
        }
        const size_t eq = a.find('=');
        std::string name = a.substr(0, eq), value;
        const Flag* f = nullptr;
        for (const Flag& g : flags())
            for (const std::string& n : g.names)
                if (n == name) f = &g;
        if (!f) {
            for (const Flag& g : flags())
                if (glued(g.names[0]) && a.compare(0, g.names[0].size(), g.names[0]) == 0 && a.size() > g.names[0].size()) {
                    f = &g;
                    name = g.names[0];
                    value = a.substr(name.size());
                }
        } else if (f->value && eq != std::string::npos) {
            value = a.substr(eq + 1);
        } else if (eq != std::string::npos) {
            f = nullptr;  // a value on a flag that takes none
        }
        if (!f)
            return fail("unknown option '" + a + "' (this driver takes nvcc's options; pass the host compiler's "
                        "with -Xcompiler)");
        if (f->value && value.empty()) {
            if (i + 1 >= argc) return fail("option '" + name + "' needs a value");
            value = argv[++i];
        }
        if (!f->apply(o, value)) return false;
        if (f->names[0] == "-x") asCu = value == "cu";
    }
    return true;
}

const char* helpText() {
    return R"(Usage: nvcc [options] <inputs>

nvcc of the gpudemos cpu backend: builds CUDA programs whose kernels run on the CPU cores.
Inputs: .cu (CUDA), .c, .cpp/.cc/.cxx, and .o/.a/.so to link.

  -o <file>               output file (default a.out, or <input>.o with -c)
  -c, -dc                 compile only (-dc: relocatable device code; objects link as usual)
  -dlink                  device link step: writes an empty object (nothing to link here)
  -rdc=true|false         relocatable device code: accepted
  -I, -isystem <dir>      include search path
  -D<name>[=<v>], -U<name>  define or undefine a macro
  -L<dir>, -l<lib>        library search path and libraries, for the link
  -O0 .. -O3              optimization (default for .cu files: -O3, as nvcc's device code)
  -g, -G, -lineinfo       host debug; device debug (-g -O0 for .cu files); line tables (-g1)
  -std=c++11|14|17|20     language standard (default c++17)
  -x cu                   treat the inputs that follow as .cu files
  -arch, -code, -gencode  GPU architectures (sm_XX, compute_XX): checked, accepted; the
                          device code runs on the CPU cores
  -Xcompiler <a,b>        options for the host compiler
  -Xlinker <a,b>          options for the host linker
  -Xptxas, -Xnvlink <a,b> accepted: there is no ptxas or nvlink to pass them to
  --use_fast_math, -fmad, -ftz, -prec-div, -prec-sqrt
                          accepted; every operation stays rounded on its own (IEEE
                          single and double precision, no contraction), so results do
                          not change
  -ccbin <compiler|dir>   host compiler (default: the one this toolkit was built with, else
                          g++ on PATH; also NVCC_CCBIN)
  -cudart static|shared|none  how the CUDA runtime is linked (default static)
  -shared                 link a shared library
  -M, -MD, -MF <f>, -MT <t>   dependency output, naming the .cu files
  -fsanitize=address|thread   this driver's own: the program and the runtime built with
                          AddressSanitizer (with UBSan) or ThreadSanitizer
  -w, -m64, --expt-relaxed-constexpr, --extended-lambda, -Wno-deprecated-gpu-targets
  -v, --version, --help
)";
}

}  // namespace nvcc
