// The serial manager tests' set-up: a fake driver on a free device ID, log lines and callbacks recorded, and
// the live resources noted for the leak check, expectNothingLeft.
#pragma once

#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>

#include "log_capture.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "stubs/other_stubs.h"

using ::testing::ElementsAre;
using ::testing::Pair;
constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;
constexpr UInt32 kUsb = SERIAL_DEVICE_USB;
inline const UInt8 kData[5] = {1, 2, 3, 4, 5};
inline const char kBadRecord[] = "assertion \"pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE\" failed";
inline const char kStopLine[] = "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n";

// A scriptable host driver. Its read takes the next scripted step, or waits in poll() for one, for the close
// (if closeWakes) or for SIGUSR2 (0 with EAGAIN). A closed device reads 0 with EBADF.
namespace fake {
struct State {
    bool closeWakes = true, open = false;
    UInt16 writeLimit = 0xFFFF;  // a write takes at most this much
    int writes = 0, waiting = 0;  // waiting: reads waiting for a step
    std::deque<UInt16> writeResults;  // results of the next writes, before the limit applies again
    std::vector<const UInt8*> writtenFrom;  // where each write started
    std::vector<UInt32> openParams;
    std::deque<std::tuple<std::string, UInt16, int>> script;  // bytes, or else a result and errno
    std::function<void()> beforeWait;  // runs once, unlocked, before a read waits in poll()
};
struct Device : State {
    std::mutex lock;
    int wakePipe[2] = {-1, -1};
};
inline Device devices[SERIAL_DEVICE_MAX_DEVICE_NUM];

template <typename F>
auto with(UInt32 devId, F f) {  // runs f on the device's record, locked
    std::lock_guard<std::mutex> guard(devices[devId].lock);
    return f(devices[devId]);
}
inline void push(UInt32 devId, const std::string& bytes, UInt16 result = 0, int err = 0) {
    with(devId, [&](Device& d) {
        d.script.emplace_back(bytes, result, err);
        (void)!write(d.wakePipe[1], "", 1);
    });
}
inline bool waitIdle(UInt32 devId) {
    return attest::waitUntil([=] { return with(devId, [](Device& d) { return d.waiting > 0 && d.script.empty(); }); });
}
inline UInt16 read(SerialDeviceId devId, UInt8* buf, UInt16 len) {
    Device& d = devices[devId];
    std::unique_lock<std::mutex> guard(d.lock);
    while (d.script.empty() && d.open) {
        ++d.waiting;
        pollfd p{d.wakePipe[0], POLLIN, 0};
        const auto hook = std::exchange(d.beforeWait, nullptr);
        guard.unlock();
        if (hook) hook();
        const bool signalled = poll(&p, 1, -1) < 0 && errno == EINTR;
        guard.lock();
        --d.waiting;
        char drained[64];
        while (::read(p.fd, drained, sizeof drained) > 0) {
        }
        if (signalled) {
            errno = EAGAIN;
            return 0;
        }
    }
    if (d.script.empty()) {
        errno = EBADF;
        return 0;
    }
    const auto [bytes, result, err] = d.script.front();
    d.script.pop_front();
    errno = err;
    std::copy_n(bytes.begin(), std::min<size_t>(bytes.size(), len), buf);
    return bytes.empty() ? result : static_cast<UInt16>(std::min<size_t>(bytes.size(), len));
}
// Registers the fake on devId and resets it; an open device and a waiting read stay.
inline void install(UInt32 devId) {
    with(devId, [](Device& d) {
        if (d.wakePipe[0] < 0 && pipe2(d.wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) abort();
        const bool open = d.open;
        const int waiting = d.waiting;
        static_cast<State&>(d) = State{};
        d.open = open, d.waiting = waiting;
    });
    auto fakeOpen = [](SerialDeviceId id, UInt32 param) {
        with(id, [&](Device& d) { d.openParams.push_back(param), d.open = true; });
        return Int32{1};
    };
    auto fakeClose = [](SerialDeviceId id) {
        with(id, [](Device& d) {
            d.open = false;
            if (d.closeWakes) (void)!write(d.wakePipe[1], "", 1);
        });
        return Int32{1};
    };
    auto fakeWrite = [](SerialDeviceId id, const UInt8* buf, UInt16 len) {
        return with(id, [&](Device& d) {
            ++d.writes;
            d.writtenFrom.push_back(buf);
            if (d.writeResults.empty()) return std::min(len, d.writeLimit);
            const UInt16 result = d.writeResults.front();
            d.writeResults.pop_front();
            return result;
        });
    };
    Serial_ConfigureDeviceEx(devId, fakeOpen, fakeClose, read, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0, 0, 0);
}
}  // namespace fake

class SerialMgrTest : public ::testing::Test {
protected:
    static constexpr UInt32 kDev = 7;
    static inline SerialMgrTest* current = nullptr;

    void SetUp() override {
        ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
        ASSERT_EQ(SERIALMGR_Init(), 1);
        std::thread([] {}).join();  // a sanitizer starts its helper threads now
        current = this;
        installFake(kDev);
    }
    // Puts the fake on one more device; its wake pipe is no leak.
    void installFake(UInt32 devID) {
        fake::install(devID);
        start = attest::liveResources();
    }
    // A registration record for the callbacks below; they check that userData came back.
    static SerialMgrClientParams params(UInt32 devID, Int32 clientID = 1, UInt32 openParam = 0) {
        return {dataCb, eventCb, 0, static_cast<UInt32>(clientID) * 3, clientID, 0, devID, openParam};
    }
    // Registers a client and waits until its reader waits in the fake's read.
    SerialMgrClientInfo* registerIdle(UInt32 devID = kDev, Int32 clientID = 1) {
        const SerialMgrClientParams p = params(devID, clientID);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
        EXPECT_NE(client, nullptr);
        EXPECT_TRUE(fake::waitIdle(devID));
        return client;
    }
    // The reader logs a wait line before each obtain of wait_sem, in its pause loop.
    bool waitParked(int before = 0) {
        return attest::waitUntil([&] { return log.countContaining("wait_sem=") > before; });
    }
    void deregister(SerialMgrClientInfo* client) {
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
    }
    // semSlack: semaphores that a driver keeps on purpose after its close.
    void expectNothingLeft(size_t semSlack = 0) {
        EXPECT_TRUE(attest::resourcesBack(start, semSlack))
            << ::testing::PrintToString(start) << " now " << ::testing::PrintToString(attest::liveResources());
        EXPECT_TRUE(attest::waitUntil([] { return SerialMgr_LiveOpenings() == 0; })) << "a reader was not reaped";
        for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
            // A reader that ends before the stop signal reaches it leaves no flag for a later signal.
            EXPECT_EQ(gShutdownList[id].pending.load(), 0u) << "shutdown of device " << id << " left pending";
        }
    }

    // What the callbacks got, with the client's ID. onData runs first, unlocked.
    virtual void received(Int32 clientID, const UInt8* data, UInt32 length) {
        std::lock_guard<std::mutex> guard(lock);
        blocks.emplace_back(clientID, std::string(data, data + length));
        changed.notify_all();
    }
    bool wait(const std::function<bool()>& pred) {  // pred reads blocks or events
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::seconds(10), pred);
    }
    static void dataCb(SerialMgrClientInfo* client, UInt32 userData, UInt8* data, UInt32 length) {
        EXPECT_EQ(userData, static_cast<UInt32>(client->params.clientID) * 3);
        if (current->onData) current->onData(client, data, length);
        current->received(client->params.clientID, data, length);
    }
    static void eventCb(SerialMgrClientInfo* client, UInt32 userData, UInt32 event, UInt32) {
        EXPECT_EQ(userData, static_cast<UInt32>(client->params.clientID) * 3);
        {
            std::lock_guard<std::mutex> guard(current->lock);
            current->events.emplace_back(client->params.clientID, event);
            current->changed.notify_all();
        }
        if (current->onEvent) current->onEvent(client, event);
    }
    std::function<void(SerialMgrClientInfo*, const UInt8*, UInt32)> onData;
    std::function<void(SerialMgrClientInfo*, UInt32)> onEvent;  // runs after the event is recorded, unlocked
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<Int32, std::string>> blocks;
    std::vector<std::pair<Int32, UInt32>> events;

    attest::LogCapture log;
    attest::Resources start{};
};
