// The cost curves: each viewer's count swept in every mode (bodies, points, spheres,
// iteration cap), the time per frame at each count, and the exponent of cost against
// count, fitted on log-log and between the two largest counts. The fits take the fastest
// run at each count, the one least disturbed by other load on the machine.
//
// Each program is one row of the table below: its viewer program (whose mode table enters,
// steps and leaves each mode, as the window does) and how to set its count.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "clusterview/kernel.h"
#include "fractview/kernel.h"
#include "gpu/runtime.h"
#include "gravsim/kernel.h"
#include "harness.h"
#include "spherecast/kernel.h"
#include "viewer/frame.h"

namespace {

struct Mode {
    int number;          // the key that selects it in the viewer
    const char* label;   // its step function
    int maxCount;        // the largest count the mode can show (0: every count of the sweep)
};

struct Program {
    const char* name;
    const char* countFormat;  // the count in a row's name: "%d bodies"
    std::vector<int> counts;
    std::vector<Mode> modes;
    viewer::Program (*program)(void (*draw)());
    void (*setCount)(int n);  // before entering: the mode's state is made at this count
    void (*entered)(int mode, int n);  // after entering, or null
    std::string (*work)(int n);  // napkin math: the work of one frame at count n
};

std::string text(const char* f, double a) {
    char b[160];
    snprintf(b, sizeof b, f, a);
    return b;
}

// ---- the adapter table -----------------------------------------------------------------

namespace fv = fractview;
namespace sc = spherecast;
namespace gs = gravsim;
namespace cv = clusterview;

std::vector<int> doublings(int from, int to) {
    std::vector<int> v;
    for (int n = from; n <= to; n *= 2) v.push_back(n);
    return v;
}

const Program programs[] = {
    {"fractview", "iteration cap %d", {1, 2, 5, 10, 20, 50},
     {{1, "renderCPU", 0}, {2, "renderGPU", 0}},
     fv::program,
     [](int n) {
         fv::resetView();
         fv::prec = n;
     },
     nullptr,
     [](int n) { return text("786432 px, at most %.0f iterations each", n); }},
    {"spherecast", "%d spheres", {1, 2, 5, 10, 20, 50, sc::maxSphereCount},
     {{1, "renderCPU", 0}, {2, "renderGPU", 0}, {3, "renderGPUConstant", sc::constantSphereCount}},
     sc::program,
     [](int n) {
         srand(2024);
         sc::spheres_count = n;
         sc::scale = 1.0f;
         sc::offsetX = sc::offsetY = 0.0f;
     },
     // Mode 3 always uploads 20 records and draws the first spheres_count of them, as
     // after the down arrow: the count is set again once the mode is in.
     [](int, int n) { sc::spheres_count = n; },
     [](int n) { return text("786,432 px x %.0f spheres", n); }},
    {"gravsim", "%d bodies", doublings(256, 16384),
     {{1, "stepCPU", 0}, {2, "stepGPU", 0}, {3, "stepGPUBuffer", 0}, {4, "stepGPUShared", 0}},
     gs::program,
     [](int n) {
         srand(1);
         gs::bodyCount = n;
     },
     nullptr,
     [](int n) { return text("%.4g interactions (N^2)", (double)n * n); }},
    {"clusterview", "%d points", doublings(1 << 14, 1 << 21),
     {{1, "stepCPU", 0}, {2, "stepGPU", 0}},
     cv::program,
     [](int n) {
         srand(1);
         cv::pointCount = n;
     },
     nullptr,
     [](int n) { return text("%.4g distances (N x 128)", n * 128.0); }},
};

// Restores the start state the other sections assume.
void restoreCounts() {
    fv::resetView();
    sc::spheres_count = sc::startSphereCount;
    gs::bodyCount = gs::startBodyCount;
    cv::pointCount = cv::startPointCount;
}

// ---- the sweep -----------------------------------------------------------------------

// Least squares slope of log(ms) on log(n), and the slope between the last two points.
void fitExponents(bench::Fit& f) {
    const size_t k = f.n.size();
    f.exponent = f.topExponent = 0;
    if (k < 2) return;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < k; ++i) {
        const double x = std::log(f.n[i]), y = std::log(f.ms[i]);
        sx += x, sy += y, sxx += x * x, sxy += x * y;
    }
    f.exponent = (k * sxy - sx * sy) / (k * sxx - sx * sx);
    f.topExponent = std::log(f.ms[k - 1] / f.ms[k - 2]) / std::log(f.n[k - 1] / f.n[k - 2]);
}

// The timed frames of one visit: one frame unmeasured first (it also sizes the rest);
// frames over a quarter second get two repetitions, shorter ones as many as a quarter
// second holds (3 to 15). Quick mode: two.
void timeFrames(const Program& p, int mode, int n, std::vector<double>& ms) {
    using clock = std::chrono::steady_clock;
    const viewer::Program program = p.program(nullptr);
    void (*const step)() = program.params->modes[mode - 1].compute;
    auto frame = [&] {
        const auto a = clock::now();
        step();
        return std::chrono::duration<double, std::milli>(clock::now() - a).count();
    };
    p.setCount(n);
    viewer::enter(program, mode);
    if (p.entered) p.entered(mode, n);
    const double first = frame();
    const int minReps = bench::quick() || first > 250 ? 2 : 3, maxReps = bench::quick() || first > 250 ? 2 : 15;
    const auto start = clock::now();
    for (int r = 0; r < maxReps; ++r) {
        if (r >= minReps && std::chrono::duration<double>(clock::now() - start).count() > 0.25) break;
        ms.push_back(frame());
    }
    viewer::releaseMode();
}

bench::Stats statsOf(std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    bench::Stats s;
    s.reps = (int)ms.size();
    s.min_ms = ms.front();
    s.max_ms = ms.back();
    s.median_ms = ms.size() % 2 ? ms[ms.size() / 2] : (ms[ms.size() / 2 - 1] + ms[ms.size() / 2]) / 2;
    return s;
}

}  // namespace

// Every mode's counts are visited twice, in two passes up the sweep, so that a burst of
// other load on the machine is unlikely to hit both visits of one count; each row holds
// the frames of both and is printed in the second pass. Quick mode: one pass over the
// two smallest counts, enough to walk every mode once.
BENCH_SECTION(scaling) {
    const bool device = gpu::deviceAvailable();
    const int passes = bench::quick() ? 1 : 2;
    for (const Program& p : programs) {
        for (const Mode& mode : p.modes) {
            const std::string series = std::string(mode.label) + " (mode " + std::to_string(mode.number) + ")";
            if (mode.number > 1 && !device) {
                fprintf(stderr, "  %s %s: no CUDA device, skipped\n", p.name, series.c_str());
                continue;
            }
            std::vector<int> counts;
            for (int n : p.counts)
                if (!mode.maxCount || n <= mode.maxCount) counts.push_back(n);
            if (bench::quick()) counts.resize(2);
            std::vector<std::vector<double>> frames(counts.size());
            bench::Fit fit{p.name, series, {}, {}, 0, 0};
            for (int pass = 1; pass <= passes; ++pass) {
                for (size_t k = 0; k < counts.size(); ++k) {
                    const int n = counts[k];
                    timeFrames(p, mode.number, n, frames[k]);
                    if (pass < passes) continue;
                    const bench::Stats s = statsOf(frames[k]);
                    fit.n.push_back(n);
                    fit.ms.push_back(s.min_ms);
                    char count[64];
                    snprintf(count, sizeof count, p.countFormat, n);
                    bench::Row row{p.name, series + ", " + count, s};
                    row.math = p.work(n);
                    row.n = n;
                    row.series = series;
                    if (fit.n.size() >= 2) {
                        fitExponents(fit);
                        char note[120];
                        snprintf(note, sizeof note, "so far cost ~ n^%.2f (fit), n^%.2f between the last two counts",
                                 fit.exponent, fit.topExponent);
                        row.note = note;
                    }
                    bench::addRow(row);
                }
            }
            fitExponents(fit);
            bench::addFit(fit);
        }
    }
    restoreCounts();
}
