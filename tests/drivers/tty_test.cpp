// UART and USB gadget tty drivers on pseudo-terminals at the real device
// paths (tty_harness.h), and what they share with the RNDIS UDP driver. The
// program defines pselect, to act between a driver taking its descriptor and
// its wait; the drivers' calls reach it, and it calls the C library's.
#include <android/log.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>

#include "bionic_shim.h"
#include "drivers/rndis_drv_internal.h"
#include "drivers/signal_wait.h"
#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_drv_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "serialmgr_harness.h"
#include "wait.h"
#include "tty_harness.h"

// When a pselect is about to wait on descriptor g_hookFd, g_hook runs once on the waiting thread.
static std::atomic<int> g_hookFd{-1};
static void (*g_hook)() = nullptr;

extern "C" int pselect(int n, fd_set* r, fd_set* w, fd_set* e, const timespec* limit, const sigset_t* mask) {
    using Fn = int (*)(int, fd_set*, fd_set*, fd_set*, const timespec*, const sigset_t*);
    static const Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "pselect"));
    int fd = g_hookFd.load();
    if (fd >= 0 && fd < n && FD_ISSET(fd, r) && g_hookFd.compare_exchange_strong(fd, -1)) g_hook();
    return real(n, r, w, e, limit, mask);
}

namespace {

using attest::Lines;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::Pair;
constexpr int I = ANDROID_LOG_INFO, E = ANDROID_LOG_ERROR, kUsb = attest::TtyHarness::kUsb;

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
    int fdFlags;  // of the open device; -1 = not checked
    UInt16 stopped;  // "nothing, go round": after a stop signal, or a close under the read
    int stoppedErrno, closedErrno;
    Lines closedLog, hungUpLog;  // a read and a write of a closed device; a read of a hung-up tty
};

const Driver kDrivers[] = {
    {"Uart", 1, [] { return UART_OpenDevice(1, 0); }, [] { UART_CloseDevice(1); },
     [](UInt8* b, UInt16 n) { return UART_Read(1, b, n); }, [](const UInt8* b, UInt16 n) { return UART_Write(1, b, n); },
     [] { return s_uart_fd[1].load(); }, 0, 0, EAGAIN, EAGAIN, {}, {{E, "Read: read errno [5]\n"}}},
    {"Usb", kUsb, [] { return USB_OpenDevice(0); }, [] { USB_CloseDevice(); },
     [](UInt8* b, UInt16 n) { return USB_Read(b, n); }, [](const UInt8* b, UInt16 n) { return USB_Write(b, n); },
     [] { return s_usb_fd.load(); }, FD_CLOEXEC, 0, EAGAIN, EAGAIN, {{I, "  ReadUsbTtyData: read bytes =0\n"}},
     {{I, "  ReadUsbTtyData: select=1\n"}, {I, "  ReadUsbTtyData: read bytes =0\n"}}},
    // The system picks the Rx port: the configuration is all zeros at load.
    {"Udp", -1, [] { return RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0); }, [] { RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS); },
     [](UInt8* b, UInt16 n) { return RNDIS_Read(SERIAL_DEVICE_RNDIS, b, n); },
     [](const UInt8* b, UInt16 n) { return RNDIS_Write(SERIAL_DEVICE_RNDIS, b, n); },
     [] { return s_rndis_channel[0].RxSd; }, -1, 65535, EINTR, EBADF,
     {{I, "RNDIS_Read\n"}, {E, "Could not receive datagram (errno 9).\n"}, {I, "RNDIS_Write\n"},
      {E, "RNDIS_Write() server/client not ready yet\n"}},
     {}},
};
void PrintTo(const Driver& d, std::ostream* os) { *os << d.name; }

// Another file takes the number fd, with a byte waiting in it that nobody else may read.
struct Stranger {
    int fds[2] = {-1, -1};
    int fd;
    explicit Stranger(int number) : fd(number) {
        EXPECT_EQ(0, pipe(fds));
        EXPECT_EQ(1, write(fds[1], "R", 1));
        EXPECT_EQ(fd, dup2(fds[0], fd));
    }
    ~Stranger() {
        EXPECT_TRUE(readable(fd)) << "the stranger's byte at " << fd << " was taken";
        for (int f : {fd, fds[0], fds[1]}) close(f);
    }
};

class DriverProps : public testing::TestWithParam<Driver> {
protected:
    void SetUp() override {
        if (GetParam().pty >= 0) tty.startForTest();
        if (!IsSkipped() && !HasFatalFailure()) USB_Control_Pipe_Init();
    }
    void TearDown() override { GetParam().close(); }
    attest::TtyHarness tty;
    attest::LogCapture log;
};

std::atomic<int> g_handled{0}, g_result{-1}, g_errno{0};

// The serial manager stops a reader by closing its device and then sending
// SIGUSR2 (signal_wait.h). Whether the signal is pending before the wait or
// comes during it, the read ends with "go round"; a descriptor number that is
// closed and taken by another file before the wait is never read (guarded_fd.h).
TEST_P(DriverProps, StopBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    static const Driver* d;
    d = &GetParam();
    bsd_signal(SIGUSR2, [](int) { g_handled.fetch_add(1); });  // SA_RESTART, as the serial manager's
    auto read = [](bool signalFirst) {
        return std::make_unique<attest::Background>([signalFirst] {
            at_block_shutdown_signal(nullptr);  // as the serial manager's readers
            if (signalFirst) pthread_kill(pthread_self(), SIGUSR2);  // pending when the read begins
            UInt8 buf[64];
            errno = 0;
            g_result = d->read(buf, sizeof buf);
            g_errno = errno;
        });
    };
    auto expectStopped = [](attest::Background& reader) {
        ASSERT_TRUE(reader.finish(std::chrono::seconds(10))) << "the read did not end";
        EXPECT_EQ(std::pair(int(d->stopped), d->stoppedErrno), std::pair(g_result.load(), g_errno.load()));
    };
    ASSERT_EQ(1, d->open());
    expectStopped(*read(true));
    EXPECT_EQ(1, g_handled.load());
    auto reader = read(false);
    ASSERT_TRUE(attest::waitInPselect(reader->tid()));
    syscall(SYS_tgkill, getpid(), reader->tid(), SIGUSR2);
    expectStopped(*reader);
    static Stranger* stranger;
    g_hook = [] {
        const int number = d->fd();
        d->close();
        stranger = new Stranger(number);
    };
    g_hookFd = d->fd();
    expectStopped(*read(false));
    ASSERT_EQ(-1, g_hookFd.load()) << "the read never waited";
    delete stranger;
    EXPECT_EQ(0, log.countContaining("Read: read errno") + log.countContaining("Could not receive")) << log.dump();
}

// A device that is not open: close closes no descriptor (not 0, the UART's
// and UDP's "none", nor a number reused since the last close); a read returns
// 0 at once with the errno that the serial manager's reader acts on (EAGAIN:
// go round; else it ends); a write sends nothing. A hung-up tty is an error
// (EIO), not a "go round" that would spin.
TEST_P(DriverProps, ClosedDeviceIsLeftAloneAndAHangUpIsAnError) {
    const Driver& d = GetParam();
    d.close();
    ASSERT_EQ(1, d.open());
    EXPECT_TRUE(d.fdFlags < 0 || d.fdFlags == fcntl(d.fd(), F_GETFD)) << "descriptor flags";
    const int number = d.fd();
    d.close();
    UInt8 buf[8] = {'x'};
    {
        Stranger stdinStranger(0), stranger(number);
        d.close();
        log.clear();
        errno = 0;
        EXPECT_EQ(0, d.read(buf, sizeof buf));
        EXPECT_EQ(d.closedErrno, errno);
        EXPECT_EQ(0, d.write(buf, 1));
        EXPECT_THAT(attest::linesOf(log), ElementsAreArray(d.closedLog));
    }
    if (d.pty < 0) return;
    ASSERT_EQ(1, d.open());
    ASSERT_EQ(0, ioctl(tty.slave(d.pty), TIOCVHANGUP));
    log.clear();
    errno = 0;
    EXPECT_EQ(0, d.read(buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
    EXPECT_THAT(attest::linesOf(log), ElementsAreArray(d.hungUpLog));
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverProps, testing::ValuesIn(kDrivers),
                         [](const testing::TestParamInfo<Driver>& p) { return p.param.name; });

class TtyTest : public attest::TtyHarnessTest {
protected:
    attest::LogCapture log;
};

// Only the space splits arguments: a tab and the line end stay inside the
// token. "ttySAC1" has no digit after "ttyS" and counts as port 0. The file
// is read in fgets pieces of up to 4095 bytes, each up to its first NUL.
TEST_F(TtyTest, UartConsoleArgumentsSelectThePorts) {
    ASSERT_TRUE(tty.setCmdline("console=ttySAC1,115200n8 console=tty0 quiet console=ttyS2\tconsole=ttyS1\n"));
    EXPECT_EQ(5, UART_GetAvailablePorts());
    ASSERT_TRUE(tty.setCmdline(std::string(4090, 'x') + " console=ttyS1 " + std::string("console=ttyS0\0 ttyS2", 20)));
    EXPECT_EQ(1, UART_GetAvailablePorts());
    ASSERT_EQ(0, mount("/proc/self/mem", "/proc/cmdline", nullptr, MS_BIND, nullptr));  // reads fail (EIO)
    EXPECT_EQ(0, UART_GetAvailablePorts());
    ASSERT_EQ(0, mount("/proc/sys/vm/drop_caches", "/proc/cmdline", nullptr, MS_BIND, nullptr));  // opens fail
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_THAT(attest::linesOf(log),
                ElementsAre(Pair(I, "GetConsoleFromStr: portNum:AC1 consoleFlag: 1\n"),
                            Pair(I, "GetConsoleFromStr: portNum: consoleFlag: 0\n"),
                            Pair(I, "GetConsoleFromStr: portNum:2\tconsole=ttyS1\n consoleFlag: 4\n"),
                            Pair(I, "GetConsoleFromStr: portNum:0 consoleFlag: 1\n"),
                            Pair(I, "UART_GetAvailablePorts: error while reading file '/proc/cmdline'\n"),
                            Pair(E, "UART_GetAvailablePorts: error opening '/proc/cmdline'\n")));
}

// A block ends after 100 ms without a byte (bytes 30 ms apart are one block,
// a pause of 400 ms splits it), or at the capacity.
TEST_F(TtyTest, UartBlockEndsAtAPauseOrAtTheCapacity) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    const int master = tty.master(1);
    std::thread typist([master] {
        for (const char* byte : {"a", "b", "c", "d", "e", "|", "x"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(*byte == 'x' ? 400 : 30));
            EXPECT_EQ(1, write(master, byte, 1));
        }
    });
    char buf[16];
    auto read = [&buf](UInt16 capacity) { return std::string(buf, UART_Read(1, reinterpret_cast<UInt8*>(buf), capacity)); };
    const std::string first = read(sizeof buf);
    EXPECT_EQ("abcde|", first);
    EXPECT_EQ("x", first.find('x') == std::string::npos ? read(sizeof buf) : "x");  // else it would wait for ever
    EXPECT_EQ(EAGAIN, errno);  // a block that ends at a pause leaves EAGAIN
    typist.join();
    ASSERT_EQ(6, write(master, "012345", 6));
    ASSERT_TRUE(attest::waitUntil([&] {
        int n = 0;
        return ioctl(tty.slave(1), FIONREAD, &n) == 0 && n == 6;
    }));
    EXPECT_EQ("0123", read(4));
    EXPECT_EQ("45", read(sizeof buf));
}

// Waiting STOPs win over waiting tty data, as one stop. Whatever a reader
// left in the control pipes belongs to a pause that is over: an open throws
// it away, even when the tty cannot be opened (six attempts a second apart);
// a second open of the open tty changes and drains nothing.
TEST_F(TtyTest, UsbStopsWinOverDataAndAnOpenDrainsTheRest) {
    USB_Control_Pipe_Init();
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_EQ(4, write(tty.master(kUsb), "data", 4));
    ASSERT_TRUE(attest::waitUntil([&] { return readable(tty.slave(kUsb)); }));
    for (int i = 0; i < 3; ++i) USB_Control_Pipe_Send_Stop();
    UInt8 buf[16];
    EXPECT_EQ(STOP_READING_USB_TTY, USB_Read(buf, sizeof buf));
    EXPECT_EQ(4, USB_Read(buf, sizeof buf));
    USB_Control_Pipe_Send_Stop();
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_OpenDevice(0));
    USB_CloseDevice();
    USB_CloseDevice();  // closed already: nothing to say
    umount2("/dev/ttyGS0", MNT_DETACH);
    ASSERT_EQ(0, unlink("/dev/ttyGS0"));
    EXPECT_EQ(0, USB_OpenDevice(0));
    const std::pair<int, std::string> open = {I, "USB_OpenDevice\n"}, stop = {I, "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n"};
    Lines want = {{I, "USB_Control_Pipe_Init: ok\n"}, open, stop, stop, stop,
                  {I, "  isUsbDataAvailable: flowcontrol:STOPSTOPSTOP\n"}, {I, "  ReadUsbTtyData: select=-1\n"},
                  {I, "  ReadUsbTtyData: select=1\n"}, {I, "  ReadUsbTtyData: read bytes =4\n"}, stop,
                  {I, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"}, open, {I, "USB_CloseDevice\n"}, open};
    want.insert(want.end(), 6, {E, "USB_OpenDevice failed: No such file or directory\n"});
    want.insert(want.end(), {{E, "USB_OpenDevice failed: 6 times\n"},
                             {I, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n"},
                             {I, "  USB_OpenDevice: s_ack_pipe has remaining data=OK!\n"}});
    EXPECT_THAT(attest::linesOf(log), ElementsAreArray(want));
}

}  // namespace
