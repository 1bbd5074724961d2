#include "serialmgr_harness.h"

#include <dirent.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>

#include "platform/kovacutils/kovacutils_host.h"
#include "wait.h"

namespace attest {
namespace {

constexpr size_t kMaxRecorders = 256;
std::atomic<ClientRecorder*> g_recorders[kMaxRecorders];
std::atomic<UInt32> g_nextRecorder{1};

ClientRecorder* recorderFor(UInt32 userData) {
    return userData < kMaxRecorders ? g_recorders[userData].load() : nullptr;
}

void dataCb(SerialMgrClientInfo* client, UInt32 userData, UInt8* data, UInt32 length) {
    ClientRecorder* rec = recorderFor(userData);
    if (rec == nullptr) return;
    if (rec->onData) rec->onData(client, data, length);
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->blocks.emplace_back(data, data + length);
    rec->changed.notify_all();
}

void eventCb(SerialMgrClientInfo* client, UInt32 userData, UInt32 event, UInt32 zero) {
    ClientRecorder* rec = recorderFor(userData);
    if (rec == nullptr) return;
    std::lock_guard<std::mutex> guard(rec->lock);
    rec->events.push_back(event);
    rec->stateAtEvent.push_back(client->state);
    rec->zeroArgs.push_back(zero);
    rec->changed.notify_all();
}

size_t countDir(const char* path) {
    DIR* dir = opendir(path);
    if (dir == nullptr) return 0;
    size_t n = 0;
    while (struct dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' ? 1 : 0;
    closedir(dir);
    return n;
}

}  // namespace

size_t ClientRecorder::blockCount() {
    std::lock_guard<std::mutex> guard(lock);
    return blocks.size();
}

size_t ClientRecorder::eventCount() {
    std::lock_guard<std::mutex> guard(lock);
    return events.size();
}

std::vector<UInt8> ClientRecorder::allBytes() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<UInt8> all;
    for (const auto& block : blocks) all.insert(all.end(), block.begin(), block.end());
    return all;
}

bool ClientRecorder::waitBlocks(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] { return blocks.size() >= n; });
}

bool ClientRecorder::waitEvents(size_t n, std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] { return events.size() >= n; });
}

SerialMgrClientParams makeParams(ClientRecorder& rec, UInt32 devID, Int32 clientID, UInt32 openParam) {
    UInt32 index = 0;
    for (UInt32 i = 1; i < kMaxRecorders && index == 0; ++i) index = g_recorders[i].load() == &rec ? i : 0;
    if (index == 0) {
        index = g_nextRecorder.fetch_add(1);
        if (index >= kMaxRecorders) abort();
        g_recorders[index].store(&rec);
    }
    SerialMgrClientParams params{};
    params.dataCb = dataCb;
    params.eventCb = eventCb;
    params.spare = 0x5A5A5A5Au;
    params.userData = index;
    params.clientID = clientID;
    params.devID = devID;
    params.openParam = openParam;
    return params;
}

std::string Resources::describe() const {
    char text[160];
    std::snprintf(text, sizeof text, "tasks=%u heap=%u sems=%u threads=%zu fds=%zu", tasks, heap, sems, threads, fds);
    return text;
}

Resources snapshot() {
    return Resources{OSTASK_GetLiveCount(), dbHEAP_GetLiveBlocks(), OSSEMAPHORE_GetLiveCount(),
                     countDir("/proc/self/task"), countDir("/proc/self/fd")};
}

bool waitResourcesBack(const Resources& start, UInt32 semSlack, std::chrono::milliseconds limit) {
    // Threads may end up fewer than at the start, never more: a thread that
    // is not ours and existed at the snapshot (an emulator's or a sanitizer's
    // helper) may have ended meanwhile, while every thread the library starts
    // is also counted as a task.
    return waitUntil(
        [&] {
            const Resources now = snapshot();
            return now.tasks == start.tasks && now.heap == start.heap && now.sems >= start.sems &&
                   now.sems <= start.sems + semSlack && now.threads <= start.threads && now.fds == start.fds;
        },
        limit);
}

Background::Background(std::function<void()> f) {
    thread_ = std::thread([f = std::move(f), state = state_] {
        state->tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
        f();
        state->done.store(true);
    });
}

pid_t Background::tid() const {
    waitUntil([this] { return state_->tid.load() != 0; });
    return state_->tid.load();
}

bool Background::finish(std::chrono::milliseconds limit) {
    if (!thread_.joinable()) return done();
    if (!waitUntil([this] { return done(); }, limit)) {
        thread_.detach();
        return false;
    }
    thread_.join();
    return true;
}

}  // namespace attest
