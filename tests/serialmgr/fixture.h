// Common set-up of the serial manager tests: the library started, the fake
// driver on a free device ID, log lines captured, and the live resources
// noted for the one leak check, expectNothingLeft.
#pragma once

#include <android/log.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

#include "fake_driver.h"
#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"
#include "serialmgr/serialmgr.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace fake = attest::fake;

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;

inline std::string rxLine(UInt32 devID, const std::string& what) {
    return "SERIALMGR_RX_Entry: devID=" + std::to_string(devID) + ", " + what + "\r\n";
}

inline std::string addressText(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%p", p);
    return text;
}

class SerialMgrTest : public ::testing::Test {
protected:
    static constexpr UInt32 kDev = 7;

    void SetUp() override {
        ::testing::GTEST_FLAG(death_test_style) = "threadsafe";
        ASSERT_EQ(SERIALMGR_Init(), 1);
        fake::install(kDev);
        // A first thread makes sanitizer runtimes start their own helper
        // threads now, so that they are not counted as left behind.
        std::thread([] {}).join();
        start = attest::snapshot();
    }

    // Puts the fake on one more device; its wake pipe is no leak.
    void installFake(UInt32 devID) {
        fake::install(devID);
        start = attest::snapshot();
    }

    // Registers rec and waits until its reader is idle in the driver's read.
    SerialMgrClientInfo* registerIdle(attest::ClientRecorder& rec, UInt32 devID = kDev, Int32 clientID = 1) {
        SerialMgrClientParams params = attest::makeParams(rec, devID, clientID);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
        EXPECT_NE(client, nullptr);
        EXPECT_TRUE(fake::waitIdle(devID));
        return client;
    }

    void deregisterAndCheck(SerialMgrClientInfo* client) {
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }))
            << "deregistration hung\n"
            << log.dump();
        expectNothingLeft();
    }

    // semSlack: semaphores that drivers may keep on purpose after their close.
    void expectNothingLeft(UInt32 semSlack = 0) {
        EXPECT_TRUE(attest::waitResourcesBack(start, semSlack))
            << "start: " << start.describe() << " (+" << semSlack << " sems allowed)\nnow:   "
            << attest::snapshot().describe();
        for (UInt32 id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
            EXPECT_FALSE(gDevList[id].rxLife.has(ReaderLife::kStarted)) << "reader of device " << id << " not joined";
            // A reader that ends on its own before the stop signal reaches it
            // must not leave the signal's flag set for a later signal.
            EXPECT_EQ(gShutdownList[id].pending.load(), 0u) << "shutdown of device " << id << " left pending";
        }
    }

    attest::LogCapture log;
    attest::Resources start{};
};
