// A small benchmark harness: each bench_<area> file registers sections that measure
// rows; main() prints each row of the one table as soon as it is measured, then the bars.
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
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
    Stats aMinusB;  // of each turn's difference
};
Pair measureInTurns(const std::function<void()>& a, const std::function<void()>& b, int minReps = 5,
                    double budgetSeconds = 1.0, int maxReps = 200);

// The plain split a kernel is judged against: [0, n) in chunks of `chunk` elements handed
// out through one atomic counter to `threads` host threads (the caller and threads - 1
// std::threads started for the call), as the cpu backend hands out a grid's blocks to its
// workers. body(first, end) runs one chunk: the CPU loop's body over those elements.
template <typename Body>
void splitLoop(unsigned threads, size_t n, size_t chunk, const Body& body) {
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) * chunk < n;)
            body(c * chunk, std::min(n, (c + 1) * chunk));
    };
    std::vector<std::thread> others;
    for (unsigned i = 1; i < threads; ++i) others.emplace_back(work);
    work();
    for (std::thread& t : others) t.join();
}

// A kernel timed in turns with its CPU loop on one thread and with the same loop split
// over as many threads as the kernel has workers (splitLoop). Ratios are medians over the
// turns; a kernel's bar is kernelOverSplit <= 1.05: it judges the runtime against what the
// machine gives a plain split, not against an assumed share of its cores.
struct Judged {
    Stats loop, split, kernel;
    double loopOverKernel = 0;   // the speed-up over one thread
    double kernelOverSplit = 0;  // the bar's measure
};
Judged judgeKernel(const std::function<void()>& loop, const std::function<void()>& split,
                   const std::function<void()>& kernel, int minReps = 5, double budgetSeconds = 1.5,
                   int maxReps = 200);
constexpr double kSplitBar = 1.05;

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
