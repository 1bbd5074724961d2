// Common set-up of the serial manager tests: the library started, the fake
// driver on a free device ID, log lines captured, and the live resources
// noted for the leak check, expectNothingLeft.
#pragma once

#include <android/log.h>
#include <gmock/gmock.h>

#include "fake_driver.h"
#include "log_capture.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "stubs/other_stubs.h"

namespace fake = attest::fake;
using ::testing::ElementsAre;
using ::testing::Pair;
using Blocks = std::vector<std::vector<UInt8>>;
constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;

class SerialMgrTest : public ::testing::Test {
protected:
    static constexpr UInt32 kDev = 7;

    void SetUp() override {
        ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
        ASSERT_EQ(SERIALMGR_Init(), 1);
        std::thread([] {}).join();  // a sanitizer starts its helper threads now
        installFake(kDev);
    }
    // Puts the fake on one more device; its wake pipe is no leak.
    void installFake(UInt32 devID) {
        fake::install(devID);
        start = attest::liveResources();
    }
    // Registers rec and waits until its reader waits in the fake's read.
    SerialMgrClientInfo* registerIdle(attest::ClientRecorder& rec, UInt32 devID = kDev, Int32 clientID = 1) {
        const SerialMgrClientParams params = rec.params(devID, clientID);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
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

    attest::LogCapture log;
    attest::Resources start{};
};
