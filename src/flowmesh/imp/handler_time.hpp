// Where the nodes' time goes, found by sampling. While someone watches, each
// thread marks the element whose handlers it is running, and a thread of
// ours looks at the marks every 1 to 3 ms, adding the time since its
// last look to the busy time of the element each thread is in. A handler
// pays two stores for it: reading a clock on entry and exit cost two reads
// of the cycle counter (about 20 ns a handler in a virtual machine, a sixth
// of a free-running chain's frame). The figure is an estimate, good to a
// look's length per look; a fixed spacing would alias with a 1 kHz source.
#pragma once

#include <atomic>
#include <cstdint>

namespace fm::handler_time {

// The busy-time counter of the element whose handlers run on one thread now.
struct Slot {
    std::atomic<int64_t*> current{nullptr};
};

// This thread's slot once it has run a handler while watched.
extern __thread Slot* this_thread_slot __attribute__((tls_model("initial-exec")));
// How many watch; while none does, a handler touches no slot.
extern std::atomic<int> watchers;

// Registers this thread's slot (released when the thread ends); null when
// that is impossible (no memory), and the handlers then go uncounted.
Slot* register_this_thread();

// Marks the element's counter as the one being run here, from construction
// to stop() or the end of scope; a handler that runs another element's
// cycle on this thread hands the mark back when that one is done.
class InHandler {
  public:
    explicit InHandler(int64_t* busy_ns) {
        if (watchers.load(std::memory_order_acquire) == 0) return;
        slot_ = this_thread_slot ? this_thread_slot : register_this_thread();
        if (!slot_) return;
        previous_ = slot_->current.load(std::memory_order_relaxed);
        slot_->current.store(busy_ns, std::memory_order_relaxed);
    }
    ~InHandler() { stop(); }
    InHandler(const InHandler&) = delete;
    InHandler& operator=(const InHandler&) = delete;
    void stop() {
        if (!slot_) return;
        slot_->current.store(previous_, std::memory_order_relaxed);
        slot_ = nullptr;
    }

  private:
    Slot* slot_ = nullptr;
    int64_t* previous_ = nullptr;
};

// One more (on) or one fewer watcher: the sampling thread starts with the
// first and has ended when the last one's call returns, so that no time is
// added after it. The count of watchers, or -1 when the thread could not
// start. Blocks briefly: call it without the GIL.
int watch(bool on);

// Waits out a look in progress: called before an element's memory goes, so
// that a look that found its counter in a slot has finished adding to it.
void quiesce();

}  // namespace fm::handler_time
