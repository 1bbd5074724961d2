// Common set-up of the serial manager tests: the library started, the fake
// driver on a free device ID, log lines captured, the clients' callbacks
// recorded, and the live resources noted for the leak check, expectNothingLeft.
#pragma once

#include <android/log.h>
#include <gmock/gmock.h>

#include <condition_variable>

#include "fake_driver.h"
#include "log_capture.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "stubs/other_stubs.h"

namespace fake = attest::fake;
using ::testing::ElementsAre;
using ::testing::Pair;
constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;

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
        EXPECT_TRUE(client != nullptr && fake::waitIdle(devID));
        return client;
    }
    void deregister(SerialMgrClientInfo* client) {
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); })) << log.dump();
    }
    // semSlack: semaphores that a driver keeps on purpose after its close.
    void expectNothingLeft(size_t semSlack = 0) {
        EXPECT_TRUE(attest::resourcesBack(start, semSlack))
            << ::testing::PrintToString(start) << " now " << ::testing::PrintToString(attest::liveResources());
        for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
            EXPECT_FALSE(gDevList[id].rxLife.has(ReaderLife::kStarted)) << "reader of device " << id << " not joined";
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
        std::lock_guard<std::mutex> guard(current->lock);
        current->events.emplace_back(client->params.clientID, event);
        current->changed.notify_all();
    }
    std::function<void(SerialMgrClientInfo*, const UInt8*, UInt32)> onData;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<Int32, std::string>> blocks;
    std::vector<std::pair<Int32, UInt32>> events;

    attest::LogCapture log;
    attest::Resources start{};
};
