// Cooperative launches: every block of the grid runs at the same time, each on a thread of
// its own, so that this_grid().sync() can wait for all of them. A grid with more blocks
// than workers is refused, as a GPU refuses one with more blocks than can be resident.
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "gpu/cpu/queue.h"

namespace gpu::cpu {
namespace {

// The grid-wide barrier of one cooperative grid.
struct GridBarrier {
    std::mutex m;
    std::condition_variable cv;
    uint64_t blocks = 0, arrived = 0, ended = 0, round = 0;
    bool broken = false;  // some block ended while others wait: no round can complete
};

thread_local GridBarrier* currentGrid = nullptr;

}  // namespace

cudaError_t checkCooperative(const LaunchConfig& c) {
    const uint64_t blocks = uint64_t(c.grid.x) * c.grid.y * c.grid.z;
    if (blocks > workerCount()) {
        fprintf(stderr, "cpu backend: a cooperative launch of %llu blocks; at most %u (one a worker) run at once\n",
                (unsigned long long)blocks, workerCount());
        return record(cudaErrorCooperativeLaunchTooLarge);
    }
    return cudaSuccess;
}

void runCooperative(const LaunchDesc& d) {
    GridBarrier g;
    g.blocks = uint64_t(d.grid.x) * d.grid.y * d.grid.z;
    std::vector<std::thread> threads;
    for (uint64_t i = 0; i < g.blocks; ++i)
        threads.emplace_back([&g, &d, i] {
            currentGrid = &g;
            setRunningKernel(true);
            runBlock(d, i);
            setRunningKernel(false);
            currentGrid = nullptr;
            std::lock_guard<std::mutex> l(g.m);
            ++g.ended;
            if (g.arrived > 0 && g.arrived + g.ended == g.blocks) g.broken = true;
            g.cv.notify_all();
        });
    for (auto& t : threads) t.join();
}

bool inCooperativeGrid() { return currentGrid != nullptr; }

void kernelFault(const char* what) {
    if (setSticky(cudaErrorLaunchFailure)) fprintf(stderr, "cpu backend: kernel fault: %s\n", what);
}

// Called by thread 0 of each block once the whole block has reached the grid's sync.
void gridBarrier() {
    GridBarrier* g = currentGrid;
    if (!g) {
        if (setSticky(cudaErrorLaunchFailure))
            fprintf(stderr, "cpu backend: kernel fault: this_grid().sync() in a kernel not launched with "
                            "cudaLaunchCooperativeKernel\n");
        return;
    }
    std::unique_lock<std::mutex> l(g->m);
    const uint64_t round = g->round;
    if (++g->arrived + g->ended == g->blocks) {
        if (g->ended) {
            g->broken = true;
        } else {
            g->arrived = 0;
            ++g->round;
        }
        g->cv.notify_all();
    }
    g->cv.wait(l, [&] { return g->round != round || g->broken; });
    if (g->broken && setSticky(cudaErrorLaunchFailure))
        fprintf(stderr, "cpu backend: kernel fault: a block ended while others wait at this_grid().sync()\n");
}

}  // namespace gpu::cpu
