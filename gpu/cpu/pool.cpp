// The worker pool: one worker per core, made once; the launching thread is one of them.
// The blocks of a launch are handed out through one atomic counter.
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "gpu/cpu/internal.h"

namespace gpu::cpu {
namespace {

// N workers: the launching thread plus N - 1 pool threads, made once. A launch hands out
// block indices through one atomic counter.
class Pool {
public:
    explicit Pool(unsigned workers) {
        for (unsigned i = 1; i < workers; ++i) threads_.emplace_back([this] { loop(); });
    }
    ~Pool() {
        {
            std::lock_guard<std::mutex> l(m_);
            stop_ = true;
        }
        cv_.notify_all();
        for (auto& t : threads_) t.join();
    }
    unsigned workers() const { return (unsigned)threads_.size() + 1; }

    void run(const LaunchDesc& d) {
        const uint64_t blocks = (uint64_t)d.grid.x * d.grid.y * d.grid.z;
        if (threads_.empty() || blocks == 1) {
            for (uint64_t i = 0; i < blocks; ++i) runBlock(d, i);
            return;
        }
        {
            std::lock_guard<std::mutex> l(m_);
            job_ = &d;
            blocks_ = blocks;
            next_.store(0);
            busy_ = (unsigned)threads_.size();
            ++generation_;
        }
        cv_.notify_all();
        work(d, blocks);
        std::unique_lock<std::mutex> l(m_);
        done_.wait(l, [this] { return busy_ == 0; });
        job_ = nullptr;
    }

private:
    void work(const LaunchDesc& d, uint64_t blocks) {
        for (;;) {
            uint64_t i = next_.fetch_add(1, std::memory_order_relaxed);
            if (i >= blocks) break;
            runBlock(d, i);
        }
    }
    void loop() {
        uint64_t seen = 0;
        for (;;) {
            const LaunchDesc* d;
            uint64_t blocks;
            {
                std::unique_lock<std::mutex> l(m_);
                cv_.wait(l, [&] { return stop_ || generation_ != seen; });
                if (stop_) return;
                seen = generation_;
                d = job_;
                blocks = blocks_;
            }
            work(*d, blocks);
            std::lock_guard<std::mutex> l(m_);
            if (--busy_ == 0) done_.notify_one();
        }
    }

    std::vector<std::thread> threads_;
    std::mutex m_;
    std::condition_variable cv_, done_;
    const LaunchDesc* job_ = nullptr;
    uint64_t blocks_ = 0;
    std::atomic<uint64_t> next_{0};
    unsigned busy_ = 0;
    uint64_t generation_ = 0;
    bool stop_ = false;
};

unsigned defaultWorkers() {
    unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

std::mutex poolMutex;
std::unique_ptr<Pool>& pool() {
    static std::unique_ptr<Pool> p;
    return p;
}
unsigned requestedWorkers = 0;

Pool& getPool() {
    auto& p = pool();
    if (!p) p = std::make_unique<Pool>(requestedWorkers ? requestedWorkers : defaultWorkers());
    return *p;
}

}  // namespace

cudaError_t runGrid(const LaunchDesc& d) {
    {
        std::lock_guard<std::mutex> l(poolMutex);
        getPool().run(d);
    }
    return sticky();
}

unsigned workerCount() {
    std::lock_guard<std::mutex> l(poolMutex);
    return getPool().workers();
}

void setWorkerCount(unsigned n) {
    std::lock_guard<std::mutex> l(poolMutex);
    requestedWorkers = n ? n : defaultWorkers();
    pool().reset();
}

}  // namespace gpu::cpu
