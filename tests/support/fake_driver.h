// A scriptable serial driver, installed as a host driver on a device ID: one
// that Serial_Init leaves free (6 to 13) or over a real device's entry.
// Its read takes the next scripted step; with none it waits in select() or
// poll() until there is one or the device closes (if closeWakes); SIGUSR2
// ends the wait (0 with EAGAIN). A read of a closed device returns 0 with EBADF.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "osal/kova_types.h"

namespace attest::fake {

struct State {
    bool closeWakes = true;
    bool poll = false;
    UInt16 writeLimit = 0xFFFF;  // a write takes at most this much
    bool open = false;
    std::vector<UInt32> openParams;  // one per open
    int writes = 0;
    struct Step {
        std::string bytes;
        UInt16 result;  // when there are no bytes
        int err;
    };
    std::deque<Step> script;
    int waiting = 0;  // reads waiting for a step
};

struct Device : State {
    std::mutex lock;
    int wakePipe[2] = {-1, -1};
};

Device& device(UInt32 devId);
// Runs f on devId's record under its lock.
template <typename F>
auto with(UInt32 devId, F f) {
    Device& d = device(devId);
    std::lock_guard<std::mutex> guard(d.lock);
    return f(d);
}
void install(UInt32 devId);  // registers the fake on devId and resets it (a read may go on waiting)
void push(UInt32 devId, const std::string& bytes, UInt16 result = 0, int err = 0);
bool waitIdle(UInt32 devId);  // until a read waits with nothing scripted

}  // namespace attest::fake
