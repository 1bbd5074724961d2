// A scriptable serial driver, installed as a host driver on a device ID: one
// that Serial_Init leaves free (6 to 13) or over a real device's entry.
//
// Its read takes the next scripted step: bytes, or a bare result with an
// errno. With nothing scripted it waits until more is scripted or the device
// closes (unless closeWakes is false, as with a tty whose close another
// thread's select misses); SIGUSR2 ends the wait (0 with EAGAIN), and a read
// of a closed device returns 0 with EBADF. It waits in plain select() or
// poll(), as a host's driver may. A write returns the next of writeResults,
// or else min(len, writeLimit).
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "osal/kova_types.h"

namespace attest::fake {

struct WriteCall {
    const UInt8* buf;
    UInt16 len;
    std::vector<UInt8> data;  // what the result says was taken
};

struct Device {
    // Settings, reset by install.
    bool closeWakes = true;
    bool poll = false;  // wait in poll(), not select()
    Int32 openResult = 1;  // 1 opens, anything else fails
    std::deque<UInt16> writeResults;
    UInt16 writeLimit = 0xFFFF;
    // Observations.
    bool open = false;
    std::vector<UInt32> openParams;  // one per open
    std::vector<WriteCall> writes;
    struct Step {
        std::vector<UInt8> bytes;
        UInt16 result;  // when bytes is empty
        int err;
    };
    std::deque<Step> script;
    int waiting = 0;  // reads waiting for a step
    int wakePipe[2] = {-1, -1};
    std::mutex lock;
};

void install(UInt32 devId);  // registers the fake on devId and resets it
Device& device(UInt32 devId);
// Runs f on devId's record under its lock.
template <typename F>
auto with(UInt32 devId, F f) {
    Device& d = device(devId);
    std::lock_guard<std::mutex> guard(d.lock);
    return f(d);
}
void push(UInt32 devId, const std::string& bytes);
void push(UInt32 devId, UInt16 result, int err);
std::vector<UInt8> writtenBytes(UInt32 devId);
bool waitIdle(UInt32 devId);  // until a read waits with nothing scripted

}  // namespace attest::fake
