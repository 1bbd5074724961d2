// The stress properties over every transport (the ttys, in a private mount namespace: tty_stress_test.cpp).
// Numbered 8-byte records flow from the far end to the clients (on the in-process channel, from the client to
// the host's callback): in order, once, none lost while a client is registered and not paused, none delivered
// between a pause's return and its resume. AT_STRESS_CYCLES: cycles per transport.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <set>

#include "../serialmgr/fixture.h"
#include "drivers/rndis_drv.h"
#include "tty_harness.h"

namespace {

enum class Kind { Fake, Channel, Udp, Uart, Usb };
void PrintTo(Kind k, std::ostream* os) {  // also the test names' suffix
    *os << std::array{"FakeDriver", "InProcessChannel", "UdpOnLoopback", "UartTty", "UsbTty"}[static_cast<int>(k)];
}
constexpr UInt32 kCheck = 2654435761u;

class Stress : public SerialMgrTest, public ::testing::WithParamInterface<Kind> {
protected:
    const Kind kind = GetParam();
    const bool tty = kind == Kind::Uart || kind == Kind::Usb;
    const UInt32 dev = std::array<UInt32, 5>{kDev, SERIAL_DEVICE_SOCKET, SERIAL_DEVICE_RNDIS, SERIAL_DEVICE_UART_B,
                                             SERIAL_DEVICE_USB}[static_cast<int>(kind)];
    const int pty = kind == Kind::Uart ? 1 : attest::TtyHarness::kUsb;
    // The UART ends a block only after 100 ms without a byte: it runs a twentieth.
    const long cycles = std::atol(std::getenv("AT_STRESS_CYCLES") ?: "1000") / (kind == Kind::Uart ? 20 : 1) + 1;

    void SetUp() override {
        if (tty) {
            harness.startForTest();
            if (IsSkipped() || HasFatalFailure()) return;
            ASSERT_TRUE(harness.setCmdline("console=ttyS1\n"));
            // Raw from the start: the settings the drivers save and restore stay raw.
            struct termios raw;
            ASSERT_EQ(tcgetattr(harness.slave(pty), &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(harness.slave(pty), TCSANOW, &raw), 0);
        }
        SerialMgrTest::SetUp();
        if (tty) fcntl(harness.master(pty), F_SETFL, O_NONBLOCK);  // drained after each cycle
        if (kind == Kind::Udp) {  // replies go to the discard port, records to a port that was free
            udpTo = {AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t len = sizeof udpTo;
            udpOut = socket(AF_INET, SOCK_DGRAM, 0);
            ASSERT_EQ(bind(udpOut, reinterpret_cast<sockaddr*>(&udpTo), len), 0);
            ASSERT_EQ(getsockname(udpOut, reinterpret_cast<sockaddr*>(&udpTo), &len), 0);
            RndisConfig cfg;
            for (auto& e : cfg.entry) e = {-1, -1};
            cfg.entry[0] = {9, ntohs(udpTo.sin_port)};
            RNDIS_SetRndisConfig(&cfg);
            close(udpOut);  // the channel binds the port at each open
            udpOut = socket(AF_INET, SOCK_DGRAM, 0);
        }
        AT_STUBS_RegisterCallbacks(hostSend, nullptr);
        onData = [this](SerialMgrClientInfo* client, const UInt8*, UInt32) {
            if (reply) SERIALMGR_SendData(client, reinterpret_cast<const UInt8*>("OK"), 2, 1);
        };
        start = attest::liveResources();
    }
    void TearDown() override {
        AT_STUBS_RegisterCallbacks(nullptr, nullptr);
        if (udpOut >= 0) close(udpOut);
    }

    void received(Int32, const UInt8* data, UInt32 len) override {
        std::lock_guard<std::mutex> g(lock);
        partial.insert(partial.end(), data, data + len);  // a tty block may end inside a record
        for (UInt32 rec[2]; partial.size() >= 8; partial.erase(partial.begin(), partial.begin() + 8)) {
            std::memcpy(rec, partial.data(), 8);
            owed.erase(rec[0]);
            EXPECT_FALSE(paused.load()) << rec[0] << " reached dataCb between a pause's return and its resume";
            const bool lost = !owed.empty() && *owed.begin() < rec[0];
            EXPECT_EQ(rec[1], rec[0] * kCheck) << "record " << rec[0] << " corrupt";
            EXPECT_GT(rec[0], last) << "record " << rec[0] << " out of order";
            EXPECT_FALSE(lost) << "record " << *owed.begin() << " skipped before " << rec[0];
            last = std::max(last, rec[0]);
        }
    }
    static Int32 hostSend(UInt32, const UInt8* data, UInt32 len) {
        if (len % 8 == 0) static_cast<Stress*>(current)->received(0, data, len);  // not the senders' 3-byte lines
        return static_cast<Int32>(len);
    }
    template <typename F>
    auto locked(F f) {
        std::lock_guard<std::mutex> g(lock);
        return f();
    }
    void forgive() {  // the device was closed under the stream: what is in flight may be lost
        locked([&] { owed.clear(), partial.clear(); });
    }

    SerialMgrClientInfo* registerClient(Int32 id, UInt32 on = 0) {
        const SerialMgrClientParams p = params(on != 0 ? on : dev, id);
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
        EXPECT_NE(client, nullptr);
        // A pause before the USB reader is in its loop skips the handshake.
        EXPECT_TRUE(kind != Kind::Usb || on != 0 || attest::waitUntil([] {
                        const SerialMgrOpening* opening = gDevList[SERIAL_DEVICE_USB].live.load();
                        return opening != nullptr && opening->life.enteredLoop();
                    }));
        return client;
    }
    // One block of records from the far end (the channel: from the client).
    void feed(SerialMgrClientInfo* client, bool mustArrive) {
        std::vector<UInt8> block(8 + rng() % 150 * 8);
        locked([&] {
            for (size_t k = 0; k < block.size(); k += 8, ++next) {
                const UInt32 rec[2] = {next, next * kCheck};
                std::memcpy(&block[k], rec, 8);
                if (mustArrive) owed.insert(next);
            }
        });
        const auto size = static_cast<UInt16>(block.size());
        if (kind == Kind::Fake) {
            for (UInt16 empty : {0, 1537, 0xFFFF}) {
                if (rng() % 7 == 0) fake::push(kDev, "", empty, EAGAIN);
            }
            fake::push(kDev, std::string(block.begin(), block.end()));
        } else if (kind == Kind::Channel) {
            const Int32 sent = SERIALMGR_SendData(client, block.data(), size, 1);
            EXPECT_TRUE(sent == 0 || sent == size) << sent;
        } else if (kind == Kind::Udp) {
            if (rng() % 7 == 0) (void)sendto(udpOut, "", 0, 0, reinterpret_cast<sockaddr*>(&udpTo), sizeof udpTo);
            (void)sendto(udpOut, block.data(), size, 0, reinterpret_cast<sockaddr*>(&udpTo), sizeof udpTo);
        } else {
            EXPECT_EQ(write(harness.master(pty), block.data(), size), size);
        }
    }
    // After a resume records must arrive (a reopened UDP socket lost what came before: send until one does).
    void resumed(SerialMgrClientInfo* client) {
        const UInt32 seen = locked([&] { return last; });
        EXPECT_TRUE(kind != Kind::Udp || attest::waitUntil([&] {
                        feed(client, false);
                        return locked([&] { return last > seen; });
                    }, std::chrono::seconds(5)));
        if (kind == Kind::Udp) forgive();
        for (int n = 1 + rng() % 4; n > 0; --n) feed(client, true);
        EXPECT_TRUE(attest::waitUntil([&] { return locked([&] { return owed.empty(); }); }, std::chrono::seconds(5)))
            << "records lost";
    }
    bool deregister(SerialMgrClientInfo* client) {
        return client == nullptr || attest::finishesWithin([client] { SERIALMGR_DeRegisterClient(client); });
    }

    attest::TtyHarness harness;
    std::atomic<bool> reply{false}, paused{false};  // paused: from a pause's return to its resume
    UInt32 next = 1, last = 0;
    std::set<UInt32> owed;  // sent, must arrive, not seen yet
    std::vector<UInt8> partial;
    std::mt19937 rng{std::random_device{}()};
    int udpOut = -1;
    sockaddr_in udpTo{};
};

// Random first registrations (sometimes two at once), pauses and resumes, replacements and deregistrations,
// while a client thread sends and dataCb may answer. The fake driver's close wakes its read or not.
TEST_P(Stress, RecordsArriveInOrderOnceAndNoneIsLostWhileReceiving) {
    // A paused channel refuses the client's sends; a paused UDP socket loses what comes.
    const bool lossyPause = kind == Kind::Udp || kind == Kind::Channel;
    for (long cycle = cycles; cycle > 0 && !HasFailure(); --cycle) {
        log.clear();  // only this cycle's lines for a failure message
        fake::with(kDev, [&](fake::Device& d) { d.closeWakes = rng() % 2 == 0; });
        reply = kind != Kind::Channel && rng() % 2 == 0;
        SerialMgrClientInfo *a = nullptr, *b = nullptr, *c = nullptr;
        const bool twoFirst = rng() % 4 == 0;  // two first registrations take turns; the later one reads
        attest::Background first([&] { b = twoFirst ? registerClient(2) : nullptr; });
        a = registerClient(1);
        ASSERT_TRUE(first.finish());
        SerialMgrClientInfo* cur = b != nullptr && gDevList[dev].currentClient.load() == b ? b : a;
        std::atomic<bool> stop{false};
        attest::Background sender([&, a, seed = rng()] {
            std::mt19937 r(seed);
            // A bounded burst: a sender spinning all cycle long starves the reader on a small machine.
            for (int i = 0; i < 30 && !stop; ++i) {
                const Int32 n = SERIALMGR_SendData(a, reinterpret_cast<const UInt8*>("ok\n"), 3, r() % 2);
                EXPECT_TRUE(n <= 3 || n == 0xFFFF) << n;  // 65535: a failed write
            }
        });
        resumed(cur);
        for (int step = rng() % 4; step > 0; --step) {
            const unsigned what = rng() % 4;
            if (what == 1) {  // pause with traffic; resume, pause, resume... (on USB a reopen may drain a STOP)
                SERIALMGR_SetFlowControl(cur, 1);
                paused = true;
                feed(cur, !lossyPause);
                for (int i = rng() % 20; i > 0; --i) {
                    paused = false;
                    SERIALMGR_SetFlowControl(cur, 0);
                    SERIALMGR_SetFlowControl(cur, 1);
                    paused = true;
                }
                paused = false;
                SERIALMGR_SetFlowControl(cur, 0);
            } else if (what == 2 && b == nullptr) {  // replace, maybe a paused client
                if (rng() % 2) SERIALMGR_SetFlowControl(cur, 1);
                cur = b = registerClient(2);
            } else if (what == 3) {  // pauses and resumes from a second thread under traffic
                attest::Background flipper([&, c = cur, seed = rng()] {
                    std::mt19937 r(seed);
                    for (int i = 0; i < 20; ++i) SERIALMGR_SetFlowControl(c, r() % 2);
                });
                // At most two blocks: a pty takes only 4 KB unread before the far end's write waits.
                // Resumes from this thread race the flipper's pauses (and a reopen of the device).
                for (int i = 0; i < 2 && !flipper.done(); ++i) {
                    feed(cur, !lossyPause);
                    if (rng() % 2) SERIALMGR_SetFlowControl(cur, 0);
                }
                ASSERT_TRUE(flipper.finish());
                SERIALMGR_SetFlowControl(cur, 0);
            }
            resumed(cur);
        }
        const unsigned end = rng() % 5;
        if (end == 0) SERIALMGR_SetFlowControl(cur, 1);
        if (end == 1) feed(cur, false);  // in flight at the close
        {
            // A registration before the deregistrations (the device stopped under it) or after (it has it open);
            // a pause of the replaced client must not wait for an answer that cannot come.
            attest::Background racing([&] {
                if (end == 2) c = registerClient(3, dev);
                if (end == 3 && b != nullptr) SERIALMGR_SetFlowControl(a, 1);
            });
            stop = true;
            ASSERT_TRUE(sender.finish());
            ASSERT_TRUE(deregister(b));
            ASSERT_TRUE(deregister(a));
            ASSERT_TRUE(racing.finish());
        }
        forgive();
        if (c != nullptr) {
            const bool isCurrent = gDevList[dev].currentClient.load() == c;
            EXPECT_EQ(SERIALMGR_GetSerialDeviceHandle(c) != -1, isCurrent);
            if (isCurrent) resumed(c);
            ASSERT_TRUE(deregister(c));
            forgive();
        }
        if (kind == Kind::Fake) fake::install(kDev);  // the next reader starts from an empty script
        for (char buf[4096]; tty && read(harness.master(pty), buf, sizeof buf) > 0;) {
        }
        if (tty) tcflush(harness.slave(pty), TCIOFLUSH);
    }
    EXPECT_FALSE(HasFailure()) << log.dump();  // the failing cycle's lines
    EXPECT_THAT(events, ::testing::Each(Pair(::testing::_, SERIALMGR_EVENT_DEREGISTERED)));
    expectNothingLeft(kind == Kind::Channel ? 4 : 0);
}

// A process that exits while its readers are reading or parked ends.
TEST_P(Stress, ExitWithLiveReadersEnds) {
    // No other thread runs at the fork: the thread sanitizer starts none in a child of several threads.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        installFake(8);
        SerialMgrClientInfo* parked = registerClient(2, 8);
        const bool ok = registerClient(1) != nullptr && fake::waitIdle(8) && SERIALMGR_SetFlowControl(parked, 1) == 1;
        fake::push(8, "x");  // read, then the reader parks
        const bool parkedNow = waitParked();
        __android_log_set_logger(__android_log_stderr_logger);  // the capture goes with the static objects
        std::exit(ok && parkedNow ? 0 : 3);
    }
    int status = 0;
    const bool ended = attest::waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; });
    if (!ended) kill(child, SIGKILL);
    ASSERT_TRUE(ended);
    EXPECT_EQ(status, 0);  // exited with 0
}

}  // namespace
