// Test helpers: the live resources of the process for leak checks, and calls under a deadline.
#pragma once

#include <dirent.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <memory>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace attest {

// Live tasks, heap blocks, semaphores, threads and descriptors.
using Resources = std::array<size_t, 5>;
inline Resources liveResources() {
    auto entries = [](const char* path) {
        size_t n = 0;
        DIR* dir = opendir(path);
        while (struct dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
        closedir(dir);
        return n;
    };
    return {OSTASK_GetLiveCount(), dbHEAP_GetLiveBlocks(), OSSEMAPHORE_GetLiveCount(), entries("/proc/self/task"),
            entries("/proc/self/fd")};
}
// Waits until the resources are back to start, with up to semSlack more semaphores. Threads may end
// up fewer (a sanitizer's helper may have ended); the library's threads are also counted as tasks.
inline bool resourcesBack(const Resources& start, size_t semSlack) {
    return waitUntil([&] {
        const Resources now = liveResources();
        return now[0] == start[0] && now[1] == start[1] && now[2] >= start[2] && now[2] <= start[2] + semSlack &&
               now[3] <= start[3] && now[4] == start[4];
    });
}

// A call on a thread of its own, for calls that may block or hang. A call
// that does not finish in time is left running (detached) and the test fails.
class Background {
public:
    explicit Background(std::function<void()> f)
        : thread_([f = std::move(f), done = done_, tid = tid_] {
              tid->store(gettid());
              tid->notify_all();
              f();
              *done = true;
          }) {}
    ~Background() { (void)finish(); }
    bool done() const { return *done_; }
    // The thread's id, once it runs (for signals and for waitInPselect).
    pid_t tid() const {
        tid_->wait(0);
        return tid_->load();
    }
    // Waits until the call has returned; false when limit passed first.
    bool finish(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
        if (!thread_.joinable()) return done();
        if (!waitUntil([this] { return done(); }, limit)) {
            thread_.detach();
            return false;
        }
        thread_.join();
        return true;
    }

private:
    std::shared_ptr<std::atomic<bool>> done_ = std::make_shared<std::atomic<bool>>(false);
    std::shared_ptr<std::atomic<pid_t>> tid_ = std::make_shared<std::atomic<pid_t>>(0);
    std::thread thread_;
};

// Runs f on its own thread; false if it has not finished within limit.
inline bool finishesWithin(std::function<void()> f, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return Background(std::move(f)).finish(limit);
}

}  // namespace attest
