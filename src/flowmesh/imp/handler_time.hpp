// Where the nodes' time goes. While someone watches, about one handler call
// in `stride` on each thread is picked at random and its own time (less that
// of the handlers it ran inside, which are timed with it) is added to its
// element's busy time, weighted by the stride: an unbiased estimate, exact
// for a thread that calls rarely (stride 1), and for one that calls a million
// times a second costing a countdown per call and two clock reads per pick
// (about 2,000 picks a second).
// Nothing wakes to look: a thread that looked at every thread's mark every
// 1 to 3 ms took 6 to 8 % from a free-running chain on a virtual machine.
// A handler's time counts when it returns.
#pragma once

#include <atomic>
#include <cstdint>

#include "common.hpp"

namespace fm::handler_time {

struct Thread {
    uint32_t countdown = 1;  // calls until the next pick
    uint32_t drawn = 1;      // the stride the countdown was drawn with: a pick's weight
    uint32_t stride = 1;
    int timing = 0;         // handlers being timed on this thread now
    uint64_t children = 0;  // stamps spent in timed handlers inside the innermost one
    uint64_t window_start = 0;
    uint64_t window_calls = 0;  // calls since window_start, as the countdowns drawn
    uint64_t seed = 0;
};

extern __thread Thread this_thread __attribute__((tls_model("initial-exec")));
// How many watch; while none does, a handler touches nothing.
extern std::atomic<int> watchers;
// Nanoseconds per unit of fm::stamp(), found when the first watcher came.
extern double ns_per_stamp;

// Draws the next countdown; every 100 ms or so, sets the stride from the
// thread's rate of calls. Not from the last gap: a stride that followed the
// calls' rhythm within a frame would pick some handlers more than others.
void pick(Thread& t);

// Times the handler run from construction to stop() or the end of scope,
// when picked or inside one that is.
class InHandler {
  public:
    explicit InHandler(int64_t* busy_ns) {
        if (watchers.load(std::memory_order_acquire) == 0) return;
        Thread& t = this_thread;
        bool picked = --t.countdown == 0;
        if (!picked && t.timing == 0) return;
        weight_ = picked ? t.drawn : 0;
        if (picked) pick(t);
        busy_ = busy_ns;
        outer_children_ = t.children;
        t.children = 0;
        ++t.timing;
        start_ = fm::stamp();
    }
    ~InHandler() { stop(); }
    InHandler(const InHandler&) = delete;
    InHandler& operator=(const InHandler&) = delete;
    void stop() {
        if (!busy_) return;
        uint64_t span = fm::stamp() - start_;
        Thread& t = this_thread;
        uint64_t own = span > t.children ? span - t.children : 0;
        if (weight_)
            std::atomic_ref<int64_t>(*busy_).fetch_add(
                static_cast<int64_t>(static_cast<double>(own) * weight_ * ns_per_stamp),
                std::memory_order_relaxed);
        t.children = outer_children_ + span;
        --t.timing;
        busy_ = nullptr;
    }

  private:
    int64_t* busy_ = nullptr;
    uint32_t weight_ = 0;
    uint64_t start_ = 0;
    uint64_t outer_children_ = 0;
};

// One more (on) or one fewer watcher; the count of watchers, or -1 when the
// fork handler cannot be registered. The first one
// ever measures the stamps' rate, for about 10 ms: call it without the GIL.
int watch(bool on);

}  // namespace fm::handler_time
