// The launch translation of the cpu backend: a .cu file's text as C++, with every launch
// `K<<<C>>>(ARGS)` rewritten as a call of the runtime,
//
//   ::gpu::cpu::launchNamed("K", "ARGS", K, [&](const auto&... gpuArgs) { K(gpuArgs...); },
//                           ::gpu::cpu::LaunchConfig(C))(ARGS)
//
// and every `extern __shared__ T name[];` (dynamic shared memory) rewritten as
//
//   extern __thread T name[] __asm__("gpudemos_dynamic_shared");
//
// the per-worker array the runtime defines (blocks.cpp). The configuration and the argument
// list stay where they are, so every token keeps its line and `#line 1 "<the .cu>"` makes
// the compiler's messages and the debugger point at the .cu file. Comments, string and
// character literals are copied untouched.
//
// The launch brackets may be written with spaces or comments between their characters
// (`k << < grid, block >> > (args)`), as nvcc takes them. A malformed launch is reported
// as "<in.cu>:LINE: error: ...". Used by the build (translate_launches.cpp) and by the
// toolkit folder's nvcc (toolkit/nvcc.cpp).
#include "gpu/cpu/translate.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

struct Translator {
    std::string path;
    const std::string& s;
    std::string out;
    size_t copied = 0;  // s[0, copied) is in `out`
    int errors = 0;

    int lineOf(size_t pos) const { return 1 + int(std::count(s.begin(), s.begin() + pos, '\n')); }

    void error(size_t pos, const std::string& what) {
        std::fprintf(stderr, "%s:%d: error: %s\n", path.c_str(), lineOf(pos), what.c_str());
        ++errors;
    }

    static bool identChar(char c) { return std::isalnum((unsigned char)c) || c == '_'; }

    // The end of the comment or literal that starts at i, or i when none does.
    size_t skipOpaque(size_t i) const {
        const size_t n = s.size();
        if (s.compare(i, 2, "//") == 0) {
            size_t e = s.find('\n', i);
            return e == std::string::npos ? n : e;
        }
        if (s.compare(i, 2, "/*") == 0) {
            size_t e = s.find("*/", i + 2);
            return e == std::string::npos ? n : e + 2;
        }
        if (s[i] == '"' || s[i] == '\'') {
            // A raw string: an encoding prefix ending in R right before the quote.
            if (s[i] == '"' && i > 0 && s[i - 1] == 'R') {
                size_t open = s.find('(', i);
                if (open != std::string::npos) {
                    std::string close = ")" + s.substr(i + 1, open - i - 1) + "\"";
                    size_t e = s.find(close, open);
                    return e == std::string::npos ? n : e + close.size();
                }
            }
            size_t j = i + 1;
            while (j < n && s[j] != s[i] && s[j] != '\n') j += s[j] == '\\' ? 2 : 1;
            return j < n ? j + 1 : n;
        }
        return i;
    }

    // The end of the identifier or number at i (a number may hold digit separators: 1'000).
    size_t skipWord(size_t i) const {
        const size_t n = s.size();
        const bool number = std::isdigit((unsigned char)s[i]) ||
                            (s[i] == '.' && i + 1 < n && std::isdigit((unsigned char)s[i + 1]));
        if (!number && !identChar(s[i])) return i;
        size_t j = i + 1;
        while (j < n) {
            if (identChar(s[j]) || (number && s[j] == '.')) {
                ++j;
            } else if (number && (s[j] == '+' || s[j] == '-') && std::strchr("eEpP", s[j - 1])) {
                ++j;
            } else if (number && s[j] == '\'' && j + 1 < n && identChar(s[j + 1])) {
                j += 2;
            } else {
                break;
            }
        }
        return j;
    }

    // Moves i past whitespace and comments.
    size_t skipSpace(size_t i) const {
        while (i < s.size()) {
            if (std::isspace((unsigned char)s[i])) {
                ++i;
            } else if (s.compare(i, 2, "//") == 0 || s.compare(i, 2, "/*") == 0) {
                i = skipOpaque(i);
            } else {
                break;
            }
        }
        return i;
    }

    // The tokens of code seen so far (no comments or spaces): [start, end) in s.
    std::vector<std::pair<size_t, size_t>> toks;
    // The open braces, each true when it opens device code: the body of a __global__ or
    // __device__ (not __host__ __device__) function, or anything inside one.
    std::vector<bool> scopes;

    bool tokText(size_t t, const char* text) const {
        return s.compare(toks[t].first, toks[t].second - toks[t].first, text) == 0 &&
               std::strlen(text) == toks[t].second - toks[t].first;
    }

    // The brace just added to toks opens a scope: device code if its head (the tokens
    // back to the last ; { or }) declares a kernel or a device-only function.
    void openScope() {
        bool device = !scopes.empty() && scopes.back(), host = false, devicePart = false;
        for (size_t t = toks.size() - 1; t-- > 0 && !tokIs(t, ';') && !tokIs(t, '{') && !tokIs(t, '}');) {
            devicePart = devicePart || tokText(t, "__global__") || tokText(t, "__device__");
            host = host || tokText(t, "__host__");
        }
        scopes.push_back(device || (devicePart && !host));
    }

    bool tokIs(size_t t, char c) const { return toks[t].second - toks[t].first == 1 && s[toks[t].first] == c; }
    bool tokIdent(size_t t) const { return identChar(s[toks[t].first]) && !std::isdigit((unsigned char)s[toks[t].first]); }
    // Tokens t - 1 and t are one two-character operator a b (::, ->), written without a space.
    bool pairAt(size_t t, char a, char b) const {
        return t >= 1 && t < toks.size() && tokIs(t - 1, a) && tokIs(t, b) && toks[t - 1].first + 1 == toks[t].first;
    }

    // The start of the kernel expression before the <<< at `end`: identifiers joined by
    // ::, . or ->, each with optional template arguments. `end` itself when there is none.
    size_t kernelStart(size_t end) const {
        size_t t = toks.size();  // one past the token being looked at
        for (;;) {
            if (t > 0 && tokIs(t - 1, '>') && !pairAt(t - 1, '-', '>')) {
                int depth = 0;  // template arguments, matched back to their '<'
                while (t > 0) {
                    --t;
                    if (tokIs(t, '>') || tokIs(t, ')') || tokIs(t, ']')) ++depth;
                    if ((tokIs(t, '<') || tokIs(t, '(') || tokIs(t, '[')) && --depth == 0) break;
                    if (tokIs(t, ';') || tokIs(t, '{') || tokIs(t, '}')) return end;
                }
                if (depth != 0) return end;
            }
            if (t == 0 || !tokIdent(t - 1)) return end;
            const size_t start = toks[--t].first;
            size_t sep;
            if (t >= 2 && (pairAt(t - 1, ':', ':') || pairAt(t - 1, '-', '>'))) {
                sep = t - 2;
            } else if (t >= 1 && tokIs(t - 1, '.')) {
                sep = t - 1;
            } else {
                return start;
            }
            const bool more = sep > 0 && (tokIdent(sep - 1) || tokIs(sep - 1, '>'));
            if (!more) return s[toks[sep].first] == ':' ? toks[sep].first : end;  // ::k is the global k
            t = sep;
        }
    }

    // Three `c` in a row from i, with nothing but spaces and comments between them (nvcc
    // takes `<< <` and `>> >` as it takes `<<<` and `>>>`): the position after the third,
    // or npos. No C++ expression holds such a run, so it is always a launch bracket.
    size_t triple(size_t i, char c) const {
        for (int k = 0; k < 3; ++k) {
            if (k > 0) i = skipSpace(i);
            if (i >= s.size() || s[i] != c) return std::string::npos;
            ++i;
        }
        return i;
    }

    // Finds the first of `stops` at depth 0 from i, past literals, comments and nested
    // brackets; npos at an unbalanced closer, a ';' or the end of the file.
    size_t findAtDepth0(size_t i, const std::string& stop, std::vector<size_t>* commas) const {
        int depth = 0;
        while (i < s.size()) {
            size_t e = skipOpaque(i);
            if (e != i) {
                i = e;
                continue;
            }
            if (depth == 0 && (stop == ">>>" ? triple(i, '>') != std::string::npos : s.compare(i, stop.size(), stop) == 0))
                return i;
            char c = s[i];
            if (c == '(' || c == '[' || c == '{') ++depth;
            if (c == ')' || c == ']' || c == '}') {
                if (depth == 0) return std::string::npos;
                --depth;
            }
            if (depth == 0 && c == ';') return std::string::npos;
            if (depth == 0 && c == ',' && commas) commas->push_back(i);
            i = std::max(i + 1, skipWord(i));
        }
        return std::string::npos;
    }

    // The text as one line for a message: comments and line breaks become single spaces;
    // escaped for a string literal.
    std::string oneLine(size_t b, size_t e) const {
        std::string t;
        for (size_t i = b; i < e;) {
            size_t o = skipOpaque(i);
            if (o != i && s[i] == '/') {
                t += ' ';
                i = o;
                continue;
            }
            o = std::max(o, i + 1);
            for (; i < o; ++i) {
                const char c = std::isspace((unsigned char)s[i]) ? ' ' : s[i];
                if (c == ' ' && (t.empty() || t.back() == ' ')) continue;
                if (c == '"' || c == '\\') t += '\\';
                t += c;
            }
        }
        while (!t.empty() && t.back() == ' ') t.pop_back();
        return t;
    }

    // Rewrites the launch whose <<< is at p and ends at q; returns where scanning goes on.
    size_t launch(size_t p, size_t q) {
        const size_t k = kernelStart(p);
        const size_t kEnd = k == p ? p : toks.back().second;
        const std::string kernel = oneLine(k, kEnd);
        if (kernel == "operator") return q;  // operator<< <T>, not a launch
        if (!scopes.empty() && scopes.back()) {
            error(p, "a kernel launch in device code (dynamic parallelism) is not supported by the cpu backend: "
                     "launch " + kernel + " from host code");
            return q;
        }
        if (k == p) {
            error(p, "a kernel launch needs a kernel (k, a::k, c.k, p->k, k<T>) before <<<");
            return q;
        }
        std::vector<size_t> commas;
        const size_t close = findAtDepth0(q, ">>>", &commas);
        if (close == std::string::npos) {
            error(p, "a kernel launch's <<< has no matching >>>");
            return q;
        }
        const size_t closeEnd = triple(close, '>');
        commas.insert(commas.begin(), q - 1);
        commas.push_back(close);
        for (size_t c = 1; c < commas.size(); ++c)
            if (skipSpace(commas[c - 1] + 1) >= commas[c]) {
                error(p, "a kernel launch has an empty launch parameter in <<<...>>>");
                return closeEnd;
            }
        if (commas.size() < 3 || commas.size() > 5) {
            error(p, "a kernel launch takes 2 to 4 launch parameters in <<<...>>> (grid, block, shared "
                     "bytes, stream), not " + std::to_string(commas.size() - 1));
            return closeEnd;
        }
        const size_t open = skipSpace(closeEnd);
        if (open >= s.size() || s[open] != '(') {
            error(close, "a kernel launch needs an argument list after >>>: " + kernel + "<<<...>>>(...)");
            return closeEnd;
        }
        const size_t end = findAtDepth0(open + 1, ")", nullptr);
        if (end == std::string::npos) {
            error(open, "a kernel launch's argument list has no closing )");
            return open + 1;
        }
        // K's own line breaks (rare) go after the call's head, so no later token moves.
        const std::string breaks(std::count(s.begin() + k, s.begin() + kEnd, '\n'), '\n');
        out.append(s, copied, k - copied);
        out += "::gpu::cpu::launchNamed(\"" + kernel + "\", \"" + oneLine(open + 1, end) + "\", " + kernel +
               ", [&](const auto&... gpuArgs) { " + kernel + "(gpuArgs...); }," + breaks;
        out.append(s, kEnd, p - kEnd);
        out += " ::gpu::cpu::LaunchConfig(";
        out.append(s, q, close - q);
        out += "))";
        copied = closeEnd;
        return copied;
    }

    // Rewrites the `extern __shared__` declaration whose __shared__ is [p, e); returns where
    // scanning goes on.
    size_t dynamicShared(size_t p, size_t e) {
        std::vector<size_t> commas;
        const size_t semi = findAtDepth0(e, ";", &commas);
        if (semi == std::string::npos || !commas.empty()) {
            error(p, "an extern __shared__ declaration declares one array: extern __shared__ T name[];");
            return e;
        }
        out.append(s, copied, p - copied);
        out += "__thread";
        out.append(s, e, semi - e);
        out += " __asm__(\"gpudemos_dynamic_shared\")";
        copied = semi;
        return semi;
    }

    size_t lambdaKeywords = 0;  // toks.size() right after a lambda's keyword made spaces

    void run() {
        for (size_t i = 0; i < s.size();) {
            size_t e = skipOpaque(i);
            if (e != i && s[i] == '/') {
                i = e;  // a comment
                continue;
            }
            if (e == i) e = skipWord(i);
            if (e == i && s[i] == '<') {
                const size_t q = triple(i, '<');
                if (q != std::string::npos) {
                    i = launch(i, q);
                    continue;
                }
            }
            if (e - i == 10 && s.compare(i, 10, "__shared__") == 0 && !toks.empty() &&
                s.compare(toks.back().first, toks.back().second - toks.back().first, "extern") == 0 &&
                toks.back().second - toks.back().first == 6) {
                toks.emplace_back(i, e);
                i = dynamicShared(i, e);
                continue;
            }
            // An extended lambda's `[] __device__` (or `__host__ __device__`): the keywords
            // mean nothing on this backend, and the kernel parser, which marks __device__ with
            // an attribute, could not parse one there; they become spaces.
            const bool keyword = (e - i == 10 && s.compare(i, 10, "__device__") == 0) ||
                                 (e - i == 8 && s.compare(i, 8, "__host__") == 0);
            const size_t n = toks.size();  // (`]]` ends an attribute, not a lambda's captures)
            if (keyword && n && ((tokIs(n - 1, ']') && !pairAt(n - 1, ']', ']')) || lambdaKeywords == n)) {
                out.append(s, copied, i - copied);
                out.append(e - i, ' ');
                copied = e;
                lambdaKeywords = toks.size() + 1;
            }
            if (e == i) e = i + 1;
            if (!std::isspace((unsigned char)s[i])) {
                toks.emplace_back(i, e);
                if (tokIs(toks.size() - 1, '{')) openScope();
                if (tokIs(toks.size() - 1, '}') && !scopes.empty()) scopes.pop_back();
            }
            i = e;
        }
        out.append(s, copied, std::string::npos);
    }
};

}  // namespace

namespace gpu::cpu {

bool translateLaunches(const std::string& path, const std::string& text, const std::string& lineName, std::string& out) {
    Translator t{path, text};
    t.run();
    if (t.errors) return false;
    std::string quoted;
    for (char c : lineName) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    out = "#line 1 \"" + quoted + "\"\n" + t.out;
    return true;
}

}  // namespace gpu::cpu
