// Helpers for tests of the serial manager: a recording client, resource
// snapshots for leak checks, and a deadline guard for calls that could hang.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Runs f on its own thread; returns false if it has not finished in limit
// (the thread is then left running and the test should fail).
bool finishesWithin(std::function<void()> f, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace attest
