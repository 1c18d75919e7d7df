// The launch translation of the cpu backend (translate.cpp): a .cu file's text as C++, its
// kernel<<<...>>>(...) launches and `extern __shared__` arrays rewritten as calls of the
// runtime, every line where it was.
#pragma once

#include <string>

namespace gpu::cpu {

// Translates `text`, the contents of the .cu file `path` (named so in error messages, one
// "path:LINE: error: ..." line each on stderr). On success `out` starts with a #line
// directive naming `lineName`, so the compiler's messages and the debugger point at the
// .cu file. Returns false, with `out` untouched, when a launch is malformed.
bool translateLaunches(const std::string& path, const std::string& text, const std::string& lineName,
                       std::string& out);

}  // namespace gpu::cpu
