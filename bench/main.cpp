// The benchmark program: runs every registered section (or those whose name contains
// one of the arguments) and prints one table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "gpu/runtime.h"
#include "harness.h"

namespace bench {
namespace {

struct Entry {
    const char* name;
    Section section;
};

std::vector<Entry>& sections() {
    static std::vector<Entry> all;
    return all;
}
std::vector<Row>& rows() {
    static std::vector<Row> all;
    return all;
}
std::vector<Bar>& bars() {
    static std::vector<Bar> all;
    return all;
}
bool quickMode = false;

std::string cpuModel() {
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("model name", 0) == 0) {
            auto p = line.find(':');
            if (p != std::string::npos) return line.substr(p + 2);
        }
    }
    return "unknown CPU";
}

std::string fmtMs(double ms) {
    char b[32];
    if (ms >= 100)
        snprintf(b, sizeof b, "%.1f ms", ms);
    else if (ms >= 1)
        snprintf(b, sizeof b, "%.2f ms", ms);
    else if (ms >= 0.001)
        snprintf(b, sizeof b, "%.2f us", ms * 1e3);
    else
        snprintf(b, sizeof b, "%.1f ns", ms * 1e6);
    return b;
}

}  // namespace

Register::Register(const char* name, Section section) { sections().push_back({name, section}); }
void addRow(const Row& row) {
    rows().push_back(row);
    fprintf(stderr, "  %-12s %-44s %s\n", row.group.c_str(), row.name.c_str(), fmtMs(row.stats.median_ms).c_str());
}
void addBar(const Bar& bar) { bars().push_back(bar); }
bool quick() { return quickMode; }
void keep(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

Stats measure(const std::function<void()>& fn, int minReps, double budgetSeconds, int warmup, int maxReps) {
    using clock = std::chrono::steady_clock;
    if (quickMode) {
        warmup = std::min(warmup, 1);
        minReps = maxReps = 2;
    }
    for (int i = 0; i < warmup; ++i) fn();
    std::vector<double> t;
    auto start = clock::now();
    while ((int)t.size() < minReps ||
           ((int)t.size() < maxReps && std::chrono::duration<double>(clock::now() - start).count() < budgetSeconds)) {
        auto a = clock::now();
        fn();
        auto b = clock::now();
        t.push_back(std::chrono::duration<double, std::milli>(b - a).count());
    }
    std::sort(t.begin(), t.end());
    Stats s;
    s.reps = (int)t.size();
    s.min_ms = t.front();
    s.max_ms = t.back();
    s.median_ms = t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
    return s;
}

}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    std::vector<std::string> filters;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--quick"))
            quickMode = true;
        else if (!strcmp(argv[i], "--list")) {
            for (auto& e : sections()) printf("%s\n", e.name);
            return 0;
        } else
            filters.push_back(argv[i]);
    }
    fprintf(stderr, "running benchmark sections%s...\n", quickMode ? " (quick)" : "");
    for (auto& e : sections()) {
        bool run = filters.empty();
        for (auto& f : filters) run = run || strstr(e.name, f.c_str()) != nullptr;
        if (!run) continue;
        fprintf(stderr, "[%s]\n", e.name);
        e.section();
    }

    printf("Machine: %s, %u hardware threads\n", cpuModel().c_str(), std::thread::hardware_concurrency());
    printf("Backend: %s; kernels run on %s\n", GPU_BACKEND_NAME, gpu::deviceName());
    if (quickMode) printf("Quick mode: timings are single samples, not measurements.\n");
    printf("\n| area | row | median | spread | reps | vs reference | napkin math | of bound | note |\n");
    printf("|---|---|---:|---:|---:|---|---|---:|---|\n");
    for (auto& r : rows()) {
        double spread = r.stats.median_ms > 0 ? 100.0 * (r.stats.max_ms - r.stats.min_ms) / r.stats.median_ms : 0;
        std::string vs = "";
        if (r.baseline_ms > 0) {
            char b[96];
            snprintf(b, sizeof b, "%.2fx vs %s", r.baseline_ms / r.stats.median_ms, r.baseline.c_str());
            vs = b;
        }
        std::string of = "";
        if (r.bound_ms > 0) {
            char b[32];
            snprintf(b, sizeof b, "%.0f%%", 100.0 * r.bound_ms / r.stats.median_ms);
            of = b;
        }
        printf("| %s | %s | %s | %.0f%% | %d | %s | %s | %s | %s |\n", r.group.c_str(), r.name.c_str(),
               fmtMs(r.stats.median_ms).c_str(), spread, r.stats.reps, vs.c_str(), r.math.c_str(), of.c_str(),
               r.note.c_str());
    }
    if (!bars().empty()) {
        printf("\n| bar | measured | limit | verdict |\n|---|---:|---:|---|\n");
        for (auto& b : bars()) {
            const bool met = b.atLeast ? b.measured >= b.limit : b.measured <= b.limit;
            printf("| %s | %.2f | %s %.2f | %s |\n", b.what.c_str(), b.measured, b.atLeast ? ">=" : "<=", b.limit,
                   met ? "met" : "MISSED");
        }
    }
    return 0;
}
