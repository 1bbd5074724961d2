// Helpers for tests of the serial manager: a recording client, resource
// snapshots for leak checks, and a deadline guard for calls that could hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

#include "osal/kova_types.h"
#include "serialmgr/serialmgr.h"

namespace attest {

// What the library handed to one client's callbacks. Callbacks find their
// recorder through userData (an index into a process-wide table), so a block
// recorded here also proves that userData came back unchanged.
struct ClientRecorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<UInt8>> blocks;  // dataCb blocks, copied
    std::vector<UInt32> events;
    std::vector<UInt32> stateAtEvent;  // client->state seen inside eventCb
    std::vector<UInt32> zeroArgs;      // fourth argument of eventCb

    // Optional reaction inside dataCb (runs on the reader, unlocked).
    std::function<void(SerialMgrClientInfo*, const UInt8*, UInt32)> onData;

    size_t blockCount();
    size_t eventCount();
    std::vector<UInt8> allBytes();
    bool waitBlocks(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
    bool waitEvents(size_t n, std::chrono::milliseconds limit = std::chrono::seconds(10));
};

// Registration record wired to rec. userData identifies rec.
SerialMgrClientParams makeParams(ClientRecorder& rec, UInt32 devID, Int32 clientID = 1, UInt32 openParam = 0);

// Live resources of the process.
struct Resources {
    UInt32 tasks;    // OSTASK_GetLiveCount
    UInt32 heap;     // dbHEAP_GetLiveBlocks
    UInt32 sems;     // OSSEMAPHORE_GetLiveCount
    size_t threads;  // entries of /proc/self/task
    size_t fds;      // entries of /proc/self/fd
    std::string describe() const;
};
Resources snapshot();
// Waits until the live resources are back to start (threads may take a
// moment to leave /proc). Returns true when they are. Up to semSlack more
// semaphores than at start are accepted.
bool waitResourcesBack(const Resources& start, UInt32 semSlack = 0,
                       std::chrono::milliseconds limit = std::chrono::seconds(10));

// A call on a thread of its own, for calls that may block or hang: the test
// can wait until it is blocked (still running after some condition holds, or
// its thread tid in a wait) and then finish it under a deadline. A call that
// does not finish is left running (detached) and the test fails.
class Background {
public:
    explicit Background(std::function<void()> f);
    ~Background() { (void)finish(); }
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    bool done() const { return state_->done.load(); }
    pid_t tid() const;  // the thread's id, once it runs (for attest::waitInPselect)
    // Waits until the call has returned; false when limit passed first.
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(20));

private:
    struct State {
        std::atomic<bool> done{false};
        std::atomic<pid_t> tid{0};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

// Runs f on its own thread; false if it has not finished within limit.
inline bool finishesWithin(std::function<void()> f, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Background(std::move(f)).finish(limit);
}

}  // namespace attest
