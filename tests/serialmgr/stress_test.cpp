// Registration and deregistration at random moments while data comes in and
// clients send. Every call runs under a deadline; at the end nothing may be
// left. AT_STRESS_CYCLES raises the number of cycles.
#include <errno.h>

#include <cstdlib>
#include <random>
#include <thread>

#include "fixture.h"
#include "stubs/other_stubs.h"

namespace {

int cycles() {
    const char* text = std::getenv("AT_STRESS_CYCLES");
    const int n = text != nullptr ? std::atoi(text) : 0;
    return n > 0 ? n : 300;
}

unsigned seed() {
    const unsigned s = std::random_device{}();
    std::printf("stress seed %u\n", s);
    return s;
}

std::atomic<uint64_t> g_hostBytes{0};
Int32 hostSend(UInt32, const UInt8*, UInt32 len) {
    g_hostBytes += len;
    return static_cast<Int32>(len);
}

// Senders on one client until told to stop; they are joined before the
// client deregisters, as the client contract requires.
class Senders {
public:
    Senders(SerialMgrClientInfo* client, int count, unsigned s) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, client, s, i] {
                std::mt19937 rng(s + static_cast<unsigned>(i));
                UInt8 data[200];
                for (UInt8& b : data) b = static_cast<UInt8>(rng());
                while (!stop_.load()) {
                    const UInt32 len = rng() % sizeof data;
                    const Int32 sent = SERIALMGR_SendData(client, data, len, rng() % 2);
                    if (sent < 0 || static_cast<UInt32>(sent) > len) {
                        if (!(sent == 0xFFFF)) bad_ = true;
                    }
                }
            });
        }
    }
    ~Senders() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& t : threads_) {
            if (t.joinable()) t.join();
        }
    }
    bool bad() const { return bad_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> bad_{false};
    std::vector<std::thread> threads_;
};

using Stress = SerialMgrTest;

TEST_F(Stress, FakeDeviceRegisterDeregisterUnderTraffic) {
    std::mt19937 rng(seed());
    std::atomic<bool> trafficOn{true};
    const unsigned trafficSeed = static_cast<unsigned>(rng());
    std::thread traffic([&, trafficSeed] {
        std::mt19937 r(trafficSeed);
        while (trafficOn.load()) {
            if (fake::scriptLeft(kDev) < 8) {
                switch (r() % 6) {
                case 0: fake::pushResult(kDev, 0, EAGAIN); break;
                case 1: fake::pushResult(kDev, 1537, 0); break;
                default: fake::pushText(kDev, "AT+CGMI\r"); break;
                }
            }
            std::this_thread::sleep_for(std::chrono::microseconds(r() % 300));
        }
    });

    const int n = cycles();
    for (int cycle = 0; cycle < n; ++cycle) {
        fake::setCloseWakesRead(kDev, rng() % 2 == 0);  // close path or signal path
        attest::ClientRecorder rec;
        const bool replyFromReader = rng() % 2 == 0;
        rec.onData = [replyFromReader](SerialMgrClientInfo* c, const UInt8*, UInt32) {
            static const UInt8 ok[] = "\r\nOK\r\n";
            if (replyFromReader) SERIALMGR_SendData(c, ok, 6, 1);
        };
        SerialMgrClientParams params = attest::makeParams(rec, kDev, 1 + cycle % 3);
        SerialMgrClientInfo* client = nullptr;
        ASSERT_TRUE(attest::finishesWithin([&] { client = SERIALMGR_RegisterClient(&params); }))
            << "registration hung in cycle " << cycle;
        ASSERT_NE(client, nullptr) << "cycle " << cycle << "\n" << log.dump();
        {
            Senders senders(client, static_cast<int>(rng() % 3), static_cast<unsigned>(rng()));
            const unsigned mode = rng() % 4;
            if (mode == 1) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
            } else if (mode == 2) {
                // Pause and resume while data arrives.
                SERIALMGR_SetFlowControl(client, 1);
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
                SERIALMGR_SetFlowControl(client, 0);
            } else if (mode == 3) {
                SERIALMGR_SetFlowControl(client, 1);  // deregister while paused
            }
            senders.stop();
            EXPECT_FALSE(senders.bad());
        }
        // The randomness of the moment is in the reader: it may not have
        // started, be reading, delivering, parked or replying.
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }))
            << "deregistration hung in cycle " << cycle << "\n"
            << log.dump();
        ASSERT_EQ(rec.eventCount() >= 1, true);
        if (cycle % 50 == 0) log.clear();  // keep the capture small
    }
    trafficOn = false;
    traffic.join();
    expectNothingLeft();
}

TEST_F(Stress, InProcessChannelRegisterDeregisterWithSenders) {
    AT_STUBS_RegisterCallbacks(hostSend, nullptr);
    std::mt19937 rng(seed());
    const int n = cycles();
    for (int cycle = 0; cycle < n; ++cycle) {
        attest::ClientRecorder rec;
        SerialMgrClientParams params = attest::makeParams(rec, SERIAL_DEVICE_SOCKET + cycle % 4, 1);
        SerialMgrClientInfo* client = nullptr;
        ASSERT_TRUE(attest::finishesWithin([&] { client = SERIALMGR_RegisterClient(&params); }));
        ASSERT_NE(client, nullptr);
        {
            Senders senders(client, static_cast<int>(rng() % 3), static_cast<unsigned>(rng()));
            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 1000));
            senders.stop();
            EXPECT_FALSE(senders.bad());
        }
        ASSERT_TRUE(attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); }))
            << "deregistration hung in cycle " << cycle << "\n"
            << log.dump();
        if (cycle % 50 == 0) log.clear();
    }
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    expectNothingLeftButChannelMutexes();
}

}  // namespace
