// The gate through which calls that use a client record enter a device.
#pragma once

#include <atomic>

#include "../osal/at_mutex.h"
#include "../osal/kova_types.h"

// The gate of one device: the registrations and deregistrations under way on
// it ("closers") and the calls in flight that use one of its client records,
// in one word, so that admitting a call and closing the gate are decided in
// one total order.
//
// A call enters with one compare-and-swap that succeeds only while no closer
// is there; a closer adds itself and then drains: it waits until no call is
// in flight. Both are read-modify-writes of the same word, so either the
// call's entry comes first in the word's modification order (and the closer's
// drain sees it counted) or the closer's does (and the call sees the gate
// closed). No other memory order is relied on; acq_rel makes what a call did
// before it left visible to the closer that drains it.
class CallGate {
   public:
    // Enters when the gate is open, or whatever it is with bypass. False when
    // it is closed: the caller waits (waitOpen) or gives up.
    bool tryEnter(bool bypass) {
        UInt32 seen = word_.load(std::memory_order_acquire);
        do {
            if (closers(seen) != 0 && !bypass) return false;
        } while (!word_.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel));
        return true;
    }
    void leave() {
        word_.fetch_sub(1, std::memory_order_acq_rel);
        word_.notify_all();
    }
    // Blocks while a closer is there.
    void waitOpen() {
        for (UInt32 seen = word_.load(); closers(seen) != 0; seen = word_.load()) word_.wait(seen);
    }
    void close() { word_.fetch_add(kCloser, std::memory_order_acq_rel); }
    void open() {
        word_.fetch_sub(kCloser, std::memory_order_acq_rel);
        word_.notify_all();
    }
    // Blocks until no call is in flight. The caller has closed the gate, so
    // only calls that bypass it can enter meanwhile.
    void drain() {
        for (UInt32 seen = word_.load(); inFlight(seen) != 0; seen = word_.load()) word_.wait(seen);
    }
    bool closed() const { return closers(word_.load()) != 0; }
    void reset() { word_.store(0); }

   private:
    static constexpr UInt32 kCloser = 1u << 16;
    static UInt32 closers(UInt32 word) { return word >> 16; }
    static UInt32 inFlight(UInt32 word) { return word & (kCloser - 1); }
    std::atomic<UInt32> word_{0};
};

// A registration or deregistration under way: closes the gate for its scope.
class GateClosed {
   public:
    explicit GateClosed(CallGate& gate) : gate_(gate) { gate_.close(); }
    ~GateClosed() { gate_.open(); }
    GateClosed(const GateClosed&) = delete;
    GateClosed& operator=(const GateClosed&) = delete;

   private:
    CallGate& gate_;
};
