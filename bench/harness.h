// A small benchmark harness: each bench_<area> file registers sections that measure
// rows; main() prints each row of the one table as soon as it is measured, then the bars.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace bench {

struct Stats {
    double median_ms = 0;
    double min_ms = 0;
    double max_ms = 0;
    int reps = 0;
};

// Runs fn `warmup` times unmeasured, then at least minReps times and until about
// budgetSeconds have passed (never more than maxReps). Quick mode (--quick) caps it at
// one warm-up and two repetitions.
Stats measure(const std::function<void()>& fn, int minReps = 5, double budgetSeconds = 1.0, int warmup = 1,
              int maxReps = 200);

// Two steps timed in turns (a, b, a, b, ...), each warmed up once, with the same limits
// counted in pairs: other load on the machine then hits both alike, so the ratio of the two
// means more than that of two rows measured a minute apart. Every bar that compares two
// times measures them this way and takes aOverB: the median over the turns of a's time over
// b's in the same turn, which a machine that speeds up and slows down between turns leaves
// alone.
struct Pair {
    Stats a, b;
    double aOverB = 0;
};
Pair measureInTurns(const std::function<void()>& a, const std::function<void()>& b, int minReps = 5,
                    double budgetSeconds = 1.0, int maxReps = 200);

struct Row {
    std::string group;        // program or area: "fractview", "cpu backend", ...
    std::string name;         // what was timed: "renderGPU per frame"
    Stats stats;
    double baseline_ms = 0;   // its CPU reference measured in the same run (0: none)
    std::string baseline;     // the reference's name, printed beside the speed-up
    std::string math;         // napkin math: work and bytes of one run
    double bound_ms = 0;      // time the napkin math allows (0: none)
    std::string note;         // anything else worth one line (copy share, ratio, ...)
    double n = 0;             // the count a sweep set for this row (0: none)
    std::string series;       // the curve the row belongs to, "stepCPU (mode 1)" (sweeps only)
};

void addRow(const Row& row);

// A performance bar the cpu backend must clear, printed with its verdict after the table.
struct Bar {
    std::string what;      // "fractview kernel speed-up over renderCPU"
    double measured = 0;   // from this run's rows
    double limit = 0;
    bool atLeast = true;   // met when measured >= limit (else when measured <= limit)
};
void addBar(const Bar& bar);

// One curve of a sweep, printed in the summary after the table: cost ~ n^exponent.
struct Fit {
    std::string group;               // "gravsim"
    std::string series;              // "stepCPU (mode 1)"
    std::vector<double> n, ms;       // the counts and their fastest times
    double exponent = 0;             // least squares on log(ms) against log(n)
    double topExponent = 0;          // between the two largest counts
};
void addFit(const Fit& fit);

using Section = void (*)();
struct Register {
    Register(const char* name, Section section);
};

bool quick();

// A value the optimiser must not drop.
void keep(const void* p);

}  // namespace bench

#define BENCH_SECTION(fn)                              \
    static void fn();                                  \
    static ::bench::Register fn##_registration(#fn, fn); \
    static void fn()
