// A reader blocked in a tty driver must end whenever the serial manager stops
// it: close the device from another thread, then send SIGUSR2 to the reader.
// The moments are drawn from a seeded generator, so a failure can be replayed;
// each round has a deadline, and the stranger that reuses the closed number
// must keep its data.
#include <android/log.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>

#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_drv_internal.h"
#include "log_capture.h"
#include "tty_harness.h"
#include "tty_test_util.h"

namespace {

using attest::TtyHarness;

constexpr int kRounds = 300;
constexpr unsigned kSeed = 20240611u;

struct Driver {
    int ptyIndex;
    Int32 (*open)();
    void (*close)();
    UInt16 (*read)(UInt8* buf, UInt16 capacity);
};

class TtyStopStress : public attest::TtyHarnessTest {
protected:
    // Runs kRounds rounds of: open, start a reader that loops on the driver's
    // read like the serial manager's reader, let it run for a random moment
    // (sometimes with a burst of input on the way), then stop it the way a
    // deregistration does and let a pipe take the freed descriptor number.
    void run(const Driver& d) {
        ttytest::installSigusr2Handler();
        std::mt19937 rng(kSeed);
        std::uniform_int_distribution<int> delayUs(0, 400);
        std::uniform_int_distribution<int> burst(0, 6);
        std::uniform_int_distribution<int> stopKind(0, 2);
        const int master = tty.master(d.ptyIndex);
        const int slave = tty.slave(d.ptyIndex);
        static UInt8 buf[1536];
        for (int round = 0; round < kRounds; ++round) {
            SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(kSeed));
            ASSERT_EQ(1, d.open());
            std::atomic<bool> running{true};
            std::atomic<int> failure{0};
            std::atomic<bool> stranger{false};
            auto readFn = d.read;
            ttytest::ReaderThread reader([&running, &failure, &stranger, readFn]() -> UInt16 {
                while (running.load()) {
                    const UInt16 n = readFn(buf, sizeof buf);
                    if (n == 0 && errno != EAGAIN) {
                        failure.store(errno);
                        break;
                    }
                    for (UInt16 i = 0; n <= sizeof buf && i < n; ++i) {
                        if (buf[i] != 'x') stranger.store(true);
                    }
                }
                return 0;
            });
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));
            const int bytes = burst(rng);
            if (bytes > 0) {
                ASSERT_TRUE(ttytest::writeAll(master, std::string(static_cast<size_t>(bytes), 'x')));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs(rng)));

            // The serial manager closes and then signals. Closing alone
            // already wakes a waiting reader (restoring the settings wakes
            // the tty's waiters), so some rounds stop the reader with the
            // signal alone and close only afterwards: there nothing but the
            // signal can end the wait, and a signal lost before the wait
            // shows as a round that never ends.
            const bool signalOnly = stopKind(rng) == 0;
            running.store(false);
            int fds[2] = {-1, -1};
            if (signalOnly) {
                reader.signal();
                ASSERT_TRUE(reader.waitDone(std::chrono::seconds(5))) << "the signal did not end the read";
                d.close();
                ASSERT_EQ(0, pipe(fds));
            } else {
                d.close();
                ASSERT_EQ(0, pipe(fds));  // most likely gets the number just closed
                ASSERT_TRUE(ttytest::writeAll(fds[1], "R"));
                reader.signal();
                ASSERT_TRUE(reader.waitDone(std::chrono::seconds(5))) << "the reader did not end";
            }

            EXPECT_EQ(0, failure.load());
            EXPECT_FALSE(stranger.load()) << "the reader read a descriptor that was no longer its own";
            if (!signalOnly) {
                EXPECT_TRUE(ttytest::readable(fds[0])) << "the stranger's byte was taken";
            }
            close(fds[0]);
            close(fds[1]);
            tcflush(slave, TCIFLUSH);
            if (HasFailure()) return;
        }
        // Every stop signal was handled exactly once: none was lost before a
        // wait, none was left pending at the reader's end.
        EXPECT_EQ(kRounds, ttytest::sigusr2Count().load());
    }
    attest::LogCapture log;  // keeps the drivers' lines off the test output
};

TEST_F(TtyStopStress, UartReaderEndsWheneverItIsStopped) {
    run(Driver{1, [] { return UART_OpenDevice(1, 0); }, [] { UART_CloseDevice(1); },
               [](UInt8* buf, UInt16 capacity) { return UART_Read(1, buf, capacity); }});
}

TEST_F(TtyStopStress, UsbReaderEndsWheneverItIsStopped) {
    USB_Control_Pipe_Init();
    run(Driver{TtyHarness::kUsb, [] { return USB_OpenDevice(0); }, [] { USB_CloseDevice(); },
               [](UInt8* buf, UInt16 capacity) { return USB_Read(buf, capacity); }});
}

}  // namespace
