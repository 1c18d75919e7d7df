// The toolkit folder's nvcc: a driver with nvcc's command line that builds .cu files for
// the cpu backend (nvcc.cpp: the steps; nvcc_options.cpp: the command line).
#pragma once

#include <string>
#include <vector>

namespace nvcc {

enum class Kind { Cu, C, Cpp, LinkInput };

struct Input {
    std::string path;
    Kind kind;
};

// The command line, read. Host compiler flags are kept in the order given.
struct Options {
    std::vector<Input> inputs;
    std::string output;            // -o
    bool compileOnly = false;      // -c, -dc
    bool deviceLink = false;       // -dlink
    bool shared = false;           // -shared
    std::vector<std::string> hostFlags;  // -I, -isystem, -D, -U, -w, and -Xcompiler's
    std::vector<std::string> compilerOptions;  // -Xcompiler's alone: they reach the link too
    std::vector<std::string> linkFlags;  // -L, -l, -Xlinker ...
    std::string optimize;          // "0".."3", or empty: the default
    std::string standard;          // c++17, ... (empty: c++17)
    bool debug = false;            // -g
    bool deviceDebug = false;      // -G
    bool lineInfo = false;         // -lineinfo
    std::string ccbin;             // -ccbin
    std::string cudart = "static"; // -cudart static|shared|none
    std::string sanitize;          // -fsanitize=address|thread (this driver's own)
    bool verbose = false;          // -v
    bool depsOnly = false;         // -M
    bool depsWithCompile = false;  // -MD
    std::string depFile, depTarget;  // -MF, -MT
    bool help = false, version = false;
};

// Reads argv[1..]. On a fault (an unknown flag, a missing or bad value) prints one line
// "nvcc: error: ..." and returns false.
bool parseOptions(int argc, char** argv, Options& o);

// The help text of --help.
const char* helpText();

}  // namespace nvcc
