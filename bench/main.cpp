// The benchmark program: runs every registered section (or those whose name contains
// one of the arguments) and prints one table, each row as soon as it is measured, so a
// run cut short keeps the rows it finished; the bars and the sweeps' fits come at the end.
// --csv FILE writes the same rows, one line each, as they come.
#include <algorithm>
#include <cerrno>
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
std::vector<Bar>& bars() {
    static std::vector<Bar> all;
    return all;
}
std::vector<Fit>& fits() {
    static std::vector<Fit> all;
    return all;
}
bool quickMode = false;
const char* currentSection = "";
FILE* csv = nullptr;

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

// The 1-minute load average: how much else ran on the machine beside the benchmark.
std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    std::string first;
    return in >> first ? first : "unknown";
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

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string csvField(const std::string& v) {
    if (v.find_first_of(",\"\n") == std::string::npos) return v;
    std::string q = "\"";
    for (char c : v) q += c == '"' ? std::string("\"\"") : std::string(1, c);
    return q + "\"";
}

void printRow(const Row& r) {
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
    if (r.stats.reps == 0)  // a row that could not run: its note says why
        printf("| %s | %s | skipped |  |  |  | %s |  | %s |\n", r.group.c_str(), r.name.c_str(), r.math.c_str(),
               r.note.c_str());
    else
        printf("| %s | %s | %s | %.0f%% | %d | %s | %s | %s | %s |\n", r.group.c_str(), r.name.c_str(),
               fmtMs(r.stats.median_ms).c_str(), spread, r.stats.reps, vs.c_str(), r.math.c_str(), of.c_str(),
               r.note.c_str());
    fflush(stdout);
    if (csv) {
        // The free-text columns last, so that a reader splitting on commas gets the numbers right.
        fprintf(csv, "%s,%s,%s,%.10g,%.9g,%.9g,%.9g,%d,%s,%s\n", csvField(currentSection).c_str(),
                csvField(r.group).c_str(), csvField(r.series).c_str(), r.n, r.stats.median_ms, r.stats.min_ms,
                r.stats.max_ms, r.stats.reps, csvField(r.name).c_str(), csvField(r.note).c_str());
        fflush(csv);
    }
}

}  // namespace

Register::Register(const char* name, Section section) { sections().push_back({name, section}); }
void addRow(const Row& row) {
    fprintf(stderr, "  %-12s %-44s %s\n", row.group.c_str(), row.name.c_str(),
            row.stats.reps ? fmtMs(row.stats.median_ms).c_str() : "skipped");
    printRow(row);
}
void addBar(const Bar& bar) { bars().push_back(bar); }
void addFit(const Fit& fit) { fits().push_back(fit); }
bool quick() { return quickMode; }
void keep(const void* p) { asm volatile("" : : "g"(p) : "memory"); }

namespace {

double medianOf(std::vector<double> t) {
    std::sort(t.begin(), t.end());
    return t.size() % 2 ? t[t.size() / 2] : (t[t.size() / 2 - 1] + t[t.size() / 2]) / 2;
}

Stats statsOf(const std::vector<double>& t) {
    Stats s;
    s.reps = (int)t.size();
    s.min_ms = *std::min_element(t.begin(), t.end());
    s.max_ms = *std::max_element(t.begin(), t.end());
    s.median_ms = medianOf(t);
    return s;
}

// Runs each step of `steps` once per round, timing each, until the limits are reached;
// the times of each step, in the order of the rounds.
std::vector<std::vector<double>> timeInTurns(const std::vector<const std::function<void()>*>& steps,
                                             int minReps, double budgetSeconds, int warmup, int maxReps) {
    using clock = std::chrono::steady_clock;
    if (quickMode) {
        warmup = std::min(warmup, 1);
        minReps = maxReps = 2;
    }
    for (int i = 0; i < warmup; ++i)
        for (auto* fn : steps) (*fn)();
    std::vector<std::vector<double>> t(steps.size());
    auto start = clock::now();
    for (int rep = 0; rep < minReps || (rep < maxReps &&
                                        std::chrono::duration<double>(clock::now() - start).count() < budgetSeconds);
         ++rep) {
        for (size_t k = 0; k < steps.size(); ++k) {
            auto a = clock::now();
            (*steps[k])();
            auto b = clock::now();
            t[k].push_back(std::chrono::duration<double, std::milli>(b - a).count());
        }
    }
    return t;
}

}  // namespace

Stats measure(const std::function<void()>& fn, int minReps, double budgetSeconds, int warmup, int maxReps) {
    return statsOf(timeInTurns({&fn}, minReps, budgetSeconds, warmup, maxReps)[0]);
}

Pair measureInTurns(const std::function<void()>& a, const std::function<void()>& b, int minReps,
                    double budgetSeconds, int maxReps) {
    const auto t = timeInTurns({&a, &b}, minReps, budgetSeconds, 1, maxReps);
    std::vector<double> ratios(t[0].size()), differences(t[0].size());
    for (size_t i = 0; i < ratios.size(); ++i) {
        ratios[i] = t[0][i] / t[1][i];
        differences[i] = t[0][i] - t[1][i];
    }
    return {statsOf(t[0]), statsOf(t[1]), medianOf(ratios), statsOf(differences)};
}

Judged judgeKernel(const std::function<void()>& loop, const std::function<void()>& split,
                   const std::function<void()>& kernel, int minReps, double budgetSeconds, int maxReps) {
    const auto t = timeInTurns({&loop, &split, &kernel}, minReps, budgetSeconds, 1, maxReps);
    std::vector<double> speedUp(t[0].size()), overSplit(t[0].size());
    for (size_t i = 0; i < t[0].size(); ++i) {
        speedUp[i] = t[0][i] / t[2][i];
        overSplit[i] = t[2][i] / t[1][i];
    }
    return {statsOf(t[0]), statsOf(t[1]), statsOf(t[2]), medianOf(speedUp), medianOf(overSplit)};
}

}  // namespace bench

int main(int argc, char** argv) {
    using namespace bench;
    std::vector<std::string> filters;
    const char* csvPath = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--quick"))
            quickMode = true;
        else if (!strcmp(argv[i], "--list")) {
            for (auto& e : sections()) printf("%s\n", e.name);
            return 0;
        } else if (!strcmp(argv[i], "--csv")) {
            if (++i == argc) {
                fprintf(stderr, "gpudemos_bench: --csv needs a file name\n");
                return 2;
            }
            csvPath = argv[i];
        } else
            filters.push_back(argv[i]);
    }
    if (csvPath) {
        csv = fopen(csvPath, "w");
        if (!csv) {
            fprintf(stderr, "gpudemos_bench: cannot write %s: %s\n", csvPath, strerror(errno));
            return 2;
        }
        fprintf(csv, "section,group,series,n,median_ms,min_ms,max_ms,reps,row,note\n");
        fflush(csv);
    }

    printf("Machine: %s, %u hardware threads; load average %s at the start\n", cpuModel().c_str(),
           std::thread::hardware_concurrency(), loadAverage().c_str());
    printf("Backend: %s; kernels run on %s\n", GPU_BACKEND_NAME, gpu::deviceName());
    if (quickMode) printf("Quick mode: timings are single samples, not measurements.\n");
    printf("\n| area | row | median | spread | reps | vs reference | napkin math | of bound | note |\n");
    printf("|---|---|---:|---:|---:|---|---|---:|---|\n");
    fflush(stdout);

    fprintf(stderr, "running benchmark sections%s...\n", quickMode ? " (quick)" : "");
    for (auto& e : sections()) {
        bool run = filters.empty();
        for (auto& f : filters) run = run || strstr(e.name, f.c_str()) != nullptr;
        if (!run) continue;
        fprintf(stderr, "[%s]\n", e.name);
        currentSection = e.name;
        e.section();
    }

    if (!fits().empty()) {
        printf("\n| sweep | mode | fastest ms per frame at each count | exponent (fit) | exponent (two largest) |\n");
        printf("|---|---|---|---:|---:|\n");
        for (auto& f : fits()) {
            std::string points;
            for (size_t k = 0; k < f.n.size(); ++k) {
                char b[64];
                snprintf(b, sizeof b, "%s%.0f: %.3g", k ? ", " : "", f.n[k], f.ms[k]);
                points += b;
            }
            printf("| %s | %s | %s | %.2f | %.2f |\n", f.group.c_str(), f.series.c_str(), points.c_str(), f.exponent,
                   f.topExponent);
        }
    }
    if (!bars().empty()) {
        printf("\n| bar | measured | limit | verdict |\n|---|---:|---:|---|\n");
        for (auto& b : bars()) {
            const bool met = b.atLeast ? b.measured >= b.limit : b.measured <= b.limit;
            printf("| %s | %.2f | %s %.2f | %s |\n", b.what.c_str(), b.measured, b.atLeast ? ">=" : "<=", b.limit,
                   met ? "met" : "MISSED");
        }
    }
    printf("\nLoad average %s at the end.\n", loadAverage().c_str());
    if (csv && (ferror(csv) | fclose(csv)) != 0) {
        fprintf(stderr, "gpudemos_bench: writing %s failed\n", csvPath);
        return 2;
    }
    return 0;
}
