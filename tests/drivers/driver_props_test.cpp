// What the three reading drivers share, checked on each of them: the UART and
// the USB gadget tty on pseudo-terminals (tty_harness.h), the RNDIS UDP
// channel on loopback.
//
// This program defines pselect itself, to act between a driver taking its
// descriptor and its wait: the drivers' objects are linked into the program,
// so their calls reach this definition, which calls the C library's through
// dlsym(RTLD_NEXT).
#include <android/log.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/select.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_drv_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "tty_harness.h"
#include "tty_test_util.h"

namespace {
// When a pselect is about to wait on this descriptor, g_beforeWait runs once
// on the waiting thread; -1 = none.
std::atomic<int> g_beforeWaitOn{-1};
void (*g_beforeWait)() = nullptr;
using PselectFn = int (*)(int, fd_set*, fd_set*, fd_set*, const struct timespec*, const sigset_t*);
}  // namespace

extern "C" int pselect(int nfds, fd_set* readfds, fd_set* writefds, fd_set* exceptfds,
                       const struct timespec* timeout, const sigset_t* sigmask) {
    static const PselectFn real = reinterpret_cast<PselectFn>(dlsym(RTLD_NEXT, "pselect"));
    int fd = g_beforeWaitOn.load();
    if (fd >= 0 && fd < nfds && readfds != nullptr && FD_ISSET(fd, readfds) &&
        g_beforeWaitOn.compare_exchange_strong(fd, -1)) {
        g_beforeWait();
    }
    return real(nfds, readfds, writefds, exceptfds, timeout, sigmask);
}

namespace {

using ttytest::ReaderThread;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

struct Driver {
    const char* name;
    int pty;  // harness index of its tty; -1 = none
    Int32 (*open)();
    void (*close)();
    UInt16 (*read)(UInt8* buf, UInt16 capacity);
    UInt16 (*write)(const UInt8* buf, UInt16 len);
    int (*fd)();
    // "Nothing, go round": after a stop signal, or when the port was closed
    // under the read.
    UInt16 stopped;
    int stoppedErrno;
    // A read of a closed device: its errno and the line it logs; the line a
    // read of a hung-up tty logs. A line of priority 0 is none.
    int closedErrno;
    attest::LogLine closedLine, hungUpLine;
};

constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

const Driver kDrivers[] = {
    {"Uart", 1, [] { return UART_OpenDevice(1, 0); }, [] { UART_CloseDevice(1); },
     [](UInt8* b, UInt16 n) { return UART_Read(1, b, n); }, [](const UInt8* b, UInt16 n) { return UART_Write(1, b, n); },
     [] { return s_uart_fd[1].load(); }, 0, EAGAIN, EAGAIN, {}, {E, "", "Read: read errno [5]\n"}},
    {"Usb", attest::TtyHarness::kUsb, [] { return USB_OpenDevice(0); }, [] { USB_CloseDevice(); },
     [](UInt8* b, UInt16 n) { return USB_Read(b, n); }, [](const UInt8* b, UInt16 n) { return USB_Write(b, n); },
     [] { return s_usb_fd.load(); }, 0, EAGAIN, EAGAIN, {I, "", "  ReadUsbTtyData: read bytes =0\n"},
     {I, "", "  ReadUsbTtyData: read bytes =0\n"}},
    // The system picks the Rx port: the configuration is all zeros at load.
    {"Udp", -1, [] { return RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0); }, [] { RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS); },
     [](UInt8* b, UInt16 n) { return RNDIS_Read(SERIAL_DEVICE_RNDIS, b, n); },
     [](const UInt8* b, UInt16 n) { return RNDIS_Write(SERIAL_DEVICE_RNDIS, b, n); },
     [] { return s_rndis_channel[0].RxSd; }, 65535, EINTR, EBADF, {E, "", "Could not receive datagram (errno 9).\n"}, {}},
};

// Another file takes the number fd, with a byte waiting in it.
struct Stranger {
    int fds[2] = {-1, -1};
    int fd;
    explicit Stranger(int number) : fd(number) {
        EXPECT_EQ(0, pipe(fds));
        EXPECT_EQ(1, write(fds[1], "R", 1));
        EXPECT_EQ(fd, dup2(fds[0], fd));
    }
    ~Stranger() {
        EXPECT_TRUE(readable(fd)) << "the stranger's byte was taken";
        close(fd);
        close(fds[0]);
        close(fds[1]);
    }
};

class DriverProps : public testing::TestWithParam<Driver> {
protected:
    void SetUp() override {
        if (GetParam().pty >= 0) tty.startForTest();
        if (IsSkipped() || HasFatalFailure()) return;
        USB_Control_Pipe_Init();
    }
    void TearDown() override { GetParam().close(); }
    attest::TtyHarness tty;
    attest::LogCapture log;
};

// The serial manager stops a reader by closing its device and then sending
// SIGUSR2 (signal_wait.h). Whenever the signal comes, whether pending before
// the wait or during it, the read ends with "go round"; and a read whose
// descriptor number was closed and taken by another file before the wait
// never reads that file (guarded_fd.h).
TEST_P(DriverProps, StopBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    const Driver& d = GetParam();
    ttytest::installSigusr2Handler();
    ASSERT_EQ(1, d.open());
    static UInt8 buf[64];
    auto read = [&d] { return d.read(buf, sizeof buf); };
    auto expectStopped = [&d](const ReaderThread& r) {
        ASSERT_TRUE(r.waitDone()) << "the read did not end";
        EXPECT_EQ(d.stopped, r.result);
        EXPECT_EQ(d.stoppedErrno, r.error);
    };
    {
        SCOPED_TRACE("signal pending before the wait");
        ReaderThread reader(read, /*signalFirst=*/true);
        expectStopped(reader);
        EXPECT_EQ(0, reader.handledBefore);
        EXPECT_EQ(1, ttytest::g_handled.load());
    }
    {
        SCOPED_TRACE("closed during the wait, then the signal");
        ReaderThread reader(read);
        ASSERT_TRUE(attest::waitInPselect(reader.tid()));
        const int number = d.fd();
        d.close();
        Stranger stranger(number);
        reader.signal();
        expectStopped(reader);
    }
    {
        SCOPED_TRACE("closed and the number reused before the wait, no signal");
        ASSERT_EQ(1, d.open());
        static const Driver* current;
        static Stranger* stranger;
        current = &d;
        g_beforeWait = [] {
            const int number = current->fd();
            current->close();
            stranger = new Stranger(number);
        };
        g_beforeWaitOn = d.fd();
        {
            ReaderThread reader(read);
            expectStopped(reader);
        }
        ASSERT_EQ(-1, g_beforeWaitOn.load()) << "the read never waited";
        delete stranger;
    }
    EXPECT_EQ(0, log.countContaining("Read: read errno")) << log.dump();
    EXPECT_EQ(0, log.countContaining("Could not receive")) << log.dump();
}

// A device that is not open: its close returns 1 and closes no descriptor
// (not 0, which the UART and UDP tables use for "none", nor a number reused
// since the last close); a read returns 0 at once with the errno that the
// serial manager's reader acts on (EAGAIN: go round, else: end), reading
// nothing; a write sends nothing.
TEST_P(DriverProps, ClosedDeviceIsLeftAloneAndClosesTwiceHarmlessly) {
    const Driver& d = GetParam();
    int stdinPipe[2];
    ASSERT_EQ(0, pipe(stdinPipe));
    const int savedStdin = dup(0);
    ASSERT_EQ(0, dup2(stdinPipe[0], 0));
    ASSERT_EQ(1, write(stdinPipe[1], "s", 1));
    d.close();
    ASSERT_EQ(1, d.open());
    const int number = d.fd();
    d.close();
    {
        Stranger stranger(number);
        d.close();
        log.clear();
        UInt8 buf[8] = {'x'};
        errno = 0;
        EXPECT_EQ(0, d.read(buf, sizeof buf));
        EXPECT_EQ(d.closedErrno, errno);
        EXPECT_EQ(0, d.write(buf, 1));
        EXPECT_TRUE(d.closedLine.priority == 0 || log.has(d.closedLine.priority, d.closedLine.text)) << log.dump();
    }
    EXPECT_TRUE(readable(0)) << "standard input was read or closed";
    dup2(savedStdin, 0);
    close(savedStdin);
    close(stdinPipe[0]);
    close(stdinPipe[1]);
    if (d.pty < 0) return;
    // A hung-up tty reads as an end of file; that is an error (EIO) that
    // ends the reader, not a "go round" that would spin for ever.
    ASSERT_EQ(1, d.open());
    ASSERT_EQ(0, ioctl(tty.slave(d.pty), TIOCVHANGUP));
    UInt8 buf[8];
    log.clear();
    errno = 0;
    EXPECT_EQ(0, d.read(buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log.has(d.hungUpLine.priority, d.hungUpLine.text)) << log.dump();
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverProps, testing::ValuesIn(kDrivers),
                         [](const testing::TestParamInfo<Driver>& p) { return p.param.name; });

}  // namespace
