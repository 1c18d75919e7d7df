// Warp calls on fibers: when every lane a call's mask names waits at it, the call gives
// each lane its result, as the GPU's instruction would. The lanes' side (leaving a value
// and waiting) is in blocks.cpp, which runs a block's lanes warp by warp.
#include <algorithm>
#include <cstdio>

#include "gpu/cpu/fibers.h"

namespace gpu::cpu {
namespace {

// The lane a shuffle of `lane` reads, picked as the GPU's shfl instruction picks it: the
// warp is cut into segments of `width` lanes; a source outside the lane's segment (above
// it for down and xor, below it for up) gives the lane its own value.
unsigned sourceLane(const WarpRequest& r, unsigned lane) {
    const unsigned seg = unsigned(warpSize - r.width);  // the bits that pick the segment
    const unsigned b = unsigned(r.arg) & 31u;
    const int first = int(lane & seg), last = int((lane & seg) | (31u & ~seg));
    int j = int(lane);
    bool inside = true;
    switch (r.op) {
        case WarpOp::Up: j = int(lane) - int(b); inside = j >= first; break;
        case WarpOp::Down: j = int(lane + b); inside = j <= last; break;
        case WarpOp::Xor: j = int(lane ^ b); inside = j <= last; break;
        default: j = first | int(b & ~seg); break;
    }
    return inside ? unsigned(j) : lane;
}

bool isShuffle(WarpOp op) { return op == WarpOp::Idx || op == WarpOp::Up || op == WarpOp::Down || op == WarpOp::Xor; }

// Neither ended nor waiting at a warp call or at the barrier of round `round`.
bool running(const GpuThread& t, unsigned round) { return !t.done && !t.atWarp && t.arrivedIn != round + 1; }

// The result of a reduction or match over the lanes of `group`, for the lane with `value`.
uint64_t combine(const GpuThread* lanes, unsigned group, const WarpRequest& r, uint64_t value) {
    if (r.op == WarpOp::MatchAny || r.op == WarpOp::MatchAll) {
        unsigned same = 0;
        for (unsigned g = group; g; g &= g - 1)
            if (lanes[__builtin_ctz(g)].warp.value == value) same |= 1u << __builtin_ctz(g);
        return r.op == WarpOp::MatchAny ? same : same == group ? group : 0;
    }
    const bool isSigned = r.arg & ReduceSigned;
    uint32_t acc = uint32_t(lanes[__builtin_ctz(group)].warp.value);
    for (unsigned g = group & (group - 1); g; g &= g - 1) {
        const uint32_t v = uint32_t(lanes[__builtin_ctz(g)].warp.value);
        switch (r.arg & 7) {
            case ReduceAdd: acc += v; break;
            case ReduceMin: acc = isSigned ? uint32_t(std::min(int32_t(acc), int32_t(v))) : std::min(acc, v); break;
            case ReduceMax: acc = isSigned ? uint32_t(std::max(int32_t(acc), int32_t(v))) : std::max(acc, v); break;
            case ReduceAnd: acc &= v; break;
            case ReduceOr: acc |= v; break;
            default: acc ^= v; break;
        }
    }
    return acc;
}

}  // namespace

const char* warpOpName(WarpOp op) {
    switch (op) {
        case WarpOp::Sync: return "__syncwarp";
        case WarpOp::Ballot: return "__ballot_sync";
        case WarpOp::All: return "__all_sync";
        case WarpOp::Any: return "__any_sync";
        case WarpOp::Idx: return "__shfl_sync";
        case WarpOp::Up: return "__shfl_up_sync";
        case WarpOp::Down: return "__shfl_down_sync";
        case WarpOp::Xor: return "__shfl_xor_sync";
        case WarpOp::MatchAny: return "__match_any_sync";
        case WarpOp::MatchAll: return "__match_all_sync";
        case WarpOp::Reduce: return "__reduce_*_sync";
        case WarpOp::Active: return "__activemask";
    }
    return "a warp function";
}


bool completeWarpCalls(Worker& w, GpuThread* lanes, unsigned count, unsigned round, char* why, size_t whySize) {
    const unsigned present = count >= 32 ? ~0u : (1u << count) - 1;  // a block's last warp may be partial
    bool ok = true;
    for (unsigned l = 0; l < count; ++l) {
        const WarpRequest r = lanes[l].warp;
        if (!lanes[l].atWarp) continue;
        // Lanes past the block's end do not exist: a GPU leaves them out of the call.
        unsigned group = r.mask & present;
        bool all = true;
        if (r.op == WarpOp::Active) {
            // Complete once no lane of the warp can go on: the lanes here are the active ones.
            group = 0;
            for (unsigned k = 0; k < count && all; ++k) {
                all = !running(lanes[k], round);
                if (lanes[k].atWarp && lanes[k].warp.op == WarpOp::Active) group |= 1u << k;
            }
        }
        for (unsigned g = group; g && all; g &= g - 1) {
            const GpuThread& o = lanes[__builtin_ctz(g)];
            all = o.atWarp && o.warp.op == r.op && o.warp.mask == r.mask &&
                  (r.op != WarpOp::Reduce || o.warp.arg == r.arg);
        }
        if (!all) continue;
        unsigned ballot = 0;
        for (unsigned g = group; g; g &= g - 1)
            if (lanes[__builtin_ctz(g)].warp.value) ballot |= 1u << __builtin_ctz(g);
        const bool widthOk = r.width >= 1 && r.width <= warpSize && (r.width & (r.width - 1)) == 0;
        for (unsigned g = group; g; g &= g - 1) {
            const unsigned lane = __builtin_ctz(g);
            WarpRequest& q = lanes[lane].warp;
            q.result = r.op == WarpOp::Ballot ? ballot
                       : r.op == WarpOp::All  ? uint64_t(ballot == group)
                       : r.op == WarpOp::Any  ? uint64_t(ballot != 0)
                       : r.op == WarpOp::Active ? group
                       : r.op == WarpOp::MatchAny || r.op == WarpOp::MatchAll || r.op == WarpOp::Reduce
                           ? combine(lanes, group, r, q.value)
                           : q.value;
            if (!isShuffle(r.op)) continue;
            const unsigned src = widthOk ? sourceLane(q, lane) : lane;
            if (widthOk && (group >> src & 1u)) {
                q.result = lanes[src].warp.value;
            } else if (ok) {
                ok = false;
                if (!widthOk)
                    snprintf(why, whySize, "%s with width %d (a power of two up to 32 is required)", warpOpName(r.op),
                             r.width);
                else
                    snprintf(why, whySize, "%s(0x%08x): lane %u reads lane %u, which %s", warpOpName(r.op), r.mask,
                             lane, src,
                             r.mask >> src & 1u ? "lies past the block's last thread" : "the mask does not name");
            }
        }
        // Under TSan the call orders what each lane did before it before what every lane
        // of the mask does after it, and nothing else: each lane acquires, on its own
        // TSan fiber, the arrivals of all (tsanArrive holds nothing later: none has run on).
        if (GPU_TSAN_ON) {
            for (unsigned g = group; g; g &= g - 1) {
                tsanSwitch(lanes[__builtin_ctz(g)].tsanFiber);
                for (unsigned h = group; h; h &= h - 1) tsanAcquire(&lanes[__builtin_ctz(h)].tsanArrive);
            }
            tsanSwitch(w.tsanSelf);
        }
        for (unsigned g = group; g; g &= g - 1) lanes[__builtin_ctz(g)].atWarp = false;
    }
    return ok;
}

}  // namespace gpu::cpu
