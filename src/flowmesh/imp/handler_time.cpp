// The picks of handler_time.hpp and the count of watchers. None of it
// touches Python objects or needs the GIL.
#include "handler_time.hpp"

#include <pthread.h>

#include <mutex>
#include <new>
#include <thread>

namespace fm::handler_time {

__thread Thread this_thread;
std::atomic<int> watchers{0};
double ns_per_stamp = 1.0;

namespace {

// Picks about this far apart on a busy thread: a few thousand timed calls
// a second at most, so timing costs it little; a thread that calls less
// often has every call timed. The stride follows the rate of calls over
// windows of kWindowNs.
constexpr double kNsApart = 500'000;
constexpr double kWindowNs = 100'000'000;
constexpr uint32_t kMaxStride = 1u << 16;

std::mutex watch_lock;
int watch_count = 0;  // under watch_lock
bool measured = false;

// The stamps' rate against the monotonic clock, over about 10 ms.
void measure_stamps() {
    if (!fm::counter_is_a_clock()) return;  // the stamps are nanoseconds already
    uint64_t s0 = fm::stamp();
    int64_t t0 = fm::monotonic_ns();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    uint64_t s1 = fm::stamp();
    int64_t t1 = fm::monotonic_ns();
    if (s1 > s0 && t1 > t0)
        ns_per_stamp = static_cast<double>(t1 - t0) / static_cast<double>(s1 - s0);
}

// A forked child starts with nobody watching: its parent's watchers (pages,
// a run's status line) did not come along to stop. The lock may have been
// held by another thread at the fork.
void after_fork_in_child() {
    new (&watch_lock) std::mutex;
    watch_count = 0;
    watchers.store(0, std::memory_order_relaxed);
}

}  // namespace

void pick(Thread& t) {
    uint64_t now = fm::stamp();
    if (t.seed == 0) t.seed = (now ^ reinterpret_cast<uintptr_t>(&t)) | 1;
    if (t.window_start == 0) t.window_start = now;
    double elapsed = static_cast<double>(now - t.window_start) * ns_per_stamp;
    if (elapsed >= kWindowNs) {
        double per_pick = static_cast<double>(t.window_calls) / elapsed * kNsApart;
        uint32_t stride = 1;
        while (stride < kMaxStride && 2.0 * stride <= per_pick) stride *= 2;
        t.stride = stride;
        t.window_start = now;
        t.window_calls = 0;
    }
    t.seed ^= t.seed << 13;
    t.seed ^= t.seed >> 7;
    t.seed ^= t.seed << 17;
    // Uniform over 1 .. 2 * stride - 1: a stride on average, with no period a
    // rotation of handlers on the thread could line up with.
    t.drawn = t.stride;
    t.countdown = 1 + static_cast<uint32_t>(t.seed % (2 * static_cast<uint64_t>(t.stride) - 1));
    t.window_calls += t.countdown;
}

int watch(bool on) {
    static const bool forks_handled = pthread_atfork(nullptr, nullptr, after_fork_in_child) == 0;
    if (!forks_handled) return -1;
    std::lock_guard g(watch_lock);
    if (on) {
        if (!measured) {
            measure_stamps();
            measured = true;
        }
        ++watch_count;
    } else if (watch_count > 0) {
        --watch_count;
    }
    watchers.store(watch_count, std::memory_order_release);
    return watch_count;
}

}  // namespace fm::handler_time
