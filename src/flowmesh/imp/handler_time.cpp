// The sampling thread of handler_time.hpp and the registry of thread slots.
// None of it touches Python objects or needs the GIL.
#include "handler_time.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "common.hpp"

namespace fm::handler_time {

__thread Slot* this_thread_slot = nullptr;
std::atomic<int> watchers{0};

namespace {

// A look after a stall (a suspended process) adds no more than this.
constexpr int64_t kMaxLookNs = 10'000'000;

struct Registry {
    // Guards everything here, and every look: an element's memory waits on
    // it (quiesce) before it goes.
    std::mutex mu;
    std::vector<Slot*> slots;
    std::condition_variable wake;   // the sampler: a stop
    std::condition_variable ended;  // watch(false): the sampler is gone
    int count = 0;
    bool running = false;
    bool stop = false;
};

// Made once and never destroyed: a sampler still looking while the process
// exits must not find it gone. A forked child gets a fresh one.
Registry* registry = new Registry;
std::atomic<bool> ever_started{false};
pthread_key_t slot_key;

void sample(Registry* r) {
    pthread_setname_np(pthread_self(), "flowmesh-timing");  // as top and ps show it
    std::unique_lock lock(r->mu);
    uint64_t seed = static_cast<uint64_t>(fm::monotonic_ns()) | 1;
    int64_t last = fm::monotonic_ns();
    while (!r->stop) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        auto pause = std::chrono::microseconds(1000 + static_cast<int64_t>(seed % 2000));
        r->wake.wait_for(lock, pause, [r] { return r->stop; });
        if (r->stop) break;
        int64_t now = fm::monotonic_ns();
        int64_t span = std::min(now - last, kMaxLookNs);
        last = now;
        for (Slot* slot : r->slots)
            if (int64_t* busy = slot->current.load(std::memory_order_relaxed))
                std::atomic_ref<int64_t>(*busy).fetch_add(span, std::memory_order_relaxed);
    }
    r->running = false;
    r->ended.notify_all();
}

void forget_slot(void* p) {
    auto* slot = static_cast<Slot*>(p);
    {
        std::lock_guard g(registry->mu);
        auto& slots = registry->slots;
        slots.erase(std::remove(slots.begin(), slots.end(), slot), slots.end());
    }
    this_thread_slot = nullptr;
    delete slot;
}

// Fork: the sampler does not cross into the child, and the registry's lock
// may be held by it at that moment. The child starts with a fresh registry
// that holds its one thread's slot, and nobody watching.
void before_fork() {
    if (registry) registry->mu.lock();
}
void after_fork_in_parent() {
    if (registry) registry->mu.unlock();
}
void after_fork_in_child() {
    registry = new (std::nothrow) Registry;
    watchers.store(0, std::memory_order_relaxed);
    if (registry && this_thread_slot) {
        try {
            registry->slots.push_back(this_thread_slot);
        } catch (const std::bad_alloc&) {
            this_thread_slot = nullptr;  // uncounted from now on
        }
    }
}

bool set_up_once() {
    static const bool ready =
        pthread_key_create(&slot_key, forget_slot) == 0 &&
        pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
    return ready && registry;
}

}  // namespace

Slot* register_this_thread() {
    if (!set_up_once()) return nullptr;
    auto* slot = new (std::nothrow) Slot;
    if (!slot) return nullptr;
    try {
        std::lock_guard g(registry->mu);
        registry->slots.push_back(slot);
    } catch (const std::bad_alloc&) {
        delete slot;
        return nullptr;
    }
    if (pthread_setspecific(slot_key, slot) != 0) {
        forget_slot(slot);
        return nullptr;
    }
    this_thread_slot = slot;
    return slot;
}

int watch(bool on) {
    if (!set_up_once()) return -1;
    Registry* r = registry;
    std::unique_lock lock(r->mu);
    if (on) {
        if (r->count == 0) {
            // A sampler told to stop by a watch(false) that has not returned
            // yet is still there: it goes on looking, and that call, which
            // waits for it to end, is told to stop waiting.
            r->stop = false;
            r->ended.notify_all();
            if (!r->running) {
                ever_started.store(true, std::memory_order_seq_cst);
                try {
                    std::thread(sample, r).detach();
                } catch (...) {
                    return -1;
                }
                r->running = true;
            }
        }
        ++r->count;
    } else if (r->count > 0 && --r->count == 0) {
        r->stop = true;
        r->wake.notify_all();
        r->ended.wait(lock, [r] { return !r->running || r->count > 0; });
    }
    watchers.store(r->count, std::memory_order_release);
    return r->count;
}

void quiesce() {
    if (!ever_started.load(std::memory_order_seq_cst)) return;
    Registry* r = registry;
    if (r) std::lock_guard g(r->mu);
}

}  // namespace fm::handler_time
