// UART and USB tty drivers on pseudo-terminals (tty_harness.h), and what they share with the RNDIS UDP driver.
#include <android/log.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <termios.h>

#include "bionic_shim.h"
#include "drivers/rndis_drv_internal.h"
#include "serialmgr/reader_signal.h"
#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_drv_internal.h"
#include "log_capture.h"
#include "serialapi/serialapi.h"
#include "serialmgr_harness.h"
#include "tty_harness.h"

// The drivers' waits reach this pselect: when one is about to wait on g_hookFd, g_hook runs once first.
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

constexpr int I = ANDROID_LOG_INFO, E = ANDROID_LOG_ERROR, kUsb = attest::TtyHarness::kUsb;

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

struct Driver {
    const char* name;
    UInt32 dev;
    int pty;  // harness index of its tty; -1 = none
    Int32 (*open)(UInt32 dev, UInt32 param);
    Int32 (*close)(UInt32 dev);
    UInt16 (*read)(UInt32 dev, UInt8* buf, UInt16 capacity);
    UInt16 (*write)(UInt32 dev, const UInt8* buf, UInt16 len);
    int (*fd)();
    int fdFlags;     // of the open device; -1 = not checked
    UInt16 stopped;  // "nothing, go round": after a stop signal, or a close under the read
    int stoppedErrno, closedErrno;
};

const Driver kDrivers[] = {
    {"Uart", 1, 1, UART_OpenDevice, UART_CloseDevice, UART_Read, UART_Write, [] { return s_uart_fd[1].load(); }, 0, 0,
     EAGAIN, EAGAIN},
    {"Usb", SERIAL_DEVICE_USB, kUsb, [](UInt32, UInt32 p) { return USB_OpenDevice(p); },
     [](UInt32) { return USB_CloseDevice(); }, [](UInt32, UInt8* b, UInt16 n) { return USB_Read(b, n); },
     [](UInt32, const UInt8* b, UInt16 n) { return USB_Write(b, n); },
     [] { return s_usb_fd.load(); }, FD_CLOEXEC, 0, EAGAIN, EAGAIN},
    // The system picks the Rx port: the configuration is all zeros at load.
    {"Udp", SERIAL_DEVICE_RNDIS, -1, RNDIS_OpenDevice, RNDIS_CloseDevice, RNDIS_Read, RNDIS_Write,
     [] { return s_rndis_channel[0].RxSd; }, -1, 65535, EINTR, EBADF},
};
void PrintTo(const Driver& d, std::ostream* os) { *os << d.name; }

// Another file takes the number fd, with a byte waiting in it that nobody else may read.
struct Stranger {
    int fds[2] = {-1, -1}, fd;
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
    void TearDown() override { GetParam().close(GetParam().dev); }
    attest::TtyHarness tty;
    attest::LogCapture log;
};

std::atomic<int> g_handled{0}, g_result{-1}, g_errno{0};

// As the serial manager stops a reader: a close, then SIGUSR2. A signal before or during the wait ends the read
// with "go round"; a descriptor number closed and taken by another file before the wait is never read.
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
            g_result = d->read(d->dev, buf, sizeof buf);
            g_errno = errno;
        });
    };
    auto expectStopped = [](attest::Background& reader) {
        ASSERT_TRUE(reader.finish(std::chrono::seconds(10))) << "the read did not end";
        EXPECT_EQ(d->stopped, g_result.load());
        EXPECT_EQ(d->stoppedErrno, g_errno.load());
    };
    ASSERT_EQ(1, d->open(d->dev, 0));
    expectStopped(*read(true));
    EXPECT_EQ(1, g_handled.load());
    auto reader = read(false);
    ASSERT_TRUE(attest::waitInPselect(reader->tid()));
    syscall(SYS_tgkill, getpid(), reader->tid(), SIGUSR2);
    expectStopped(*reader);
    static Stranger* stranger;
    g_hook = [] { const int number = d->fd(); d->close(d->dev), stranger = new Stranger(number); };
    g_hookFd = d->fd();
    expectStopped(*read(false));
    ASSERT_EQ(-1, g_hookFd.load()) << "the read never waited";
    delete stranger;
}

// No descriptor is touched (not 0, nor a number reused since the close); the read returns 0 at once with the
// errno the reader acts on (EAGAIN: go round). A hung-up tty is an error (EIO), not a spin.
TEST_P(DriverProps, ClosedDeviceIsLeftAloneAndAHangUpIsAnError) {
    const Driver& d = GetParam();
    d.close(d.dev);
    ASSERT_EQ(1, d.open(d.dev, 0));
    EXPECT_TRUE(d.fdFlags < 0 || d.fdFlags == fcntl(d.fd(), F_GETFD)) << "descriptor flags";
    const int number = d.fd();
    d.close(d.dev);
    UInt8 buf[8] = {'x'};
    {
        Stranger stdinStranger(0), stranger(number);
        d.close(d.dev);
        errno = 0;
        EXPECT_EQ(0, d.read(d.dev, buf, sizeof buf));
        EXPECT_EQ(d.closedErrno, errno);
        EXPECT_EQ(0, d.write(d.dev, buf, 1));
    }
    if (d.pty < 0) return;
    ASSERT_EQ(1, d.open(d.dev, 0));  // descriptor 0 is free now, but it means "not open" to the UART
    EXPECT_TRUE(d.dev > SERIAL_DEVICE_UART_C || d.fd() != 0);
    ASSERT_EQ(0, ioctl(tty.slave(d.pty), TIOCVHANGUP));
    EXPECT_EQ(0, d.read(d.dev, buf, 0));  // no room: nothing read, and not taken for an end of file
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(0, d.read(d.dev, buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
}

INSTANTIATE_TEST_SUITE_P(Drivers, DriverProps, testing::ValuesIn(kDrivers),
                         [](const testing::TestParamInfo<Driver>& p) { return p.param.name; });

using TtyTest = attest::TtyHarnessTest;

// Only a space splits arguments; "ttySAC1" counts as port 0. The file is read in pieces of up to 4095 bytes,
// each up to its first NUL.
TEST_F(TtyTest, UartConsoleArgumentsSelectThePorts) {
    attest::LogCapture log;
    ASSERT_TRUE(tty.setCmdline("console=ttyS2\tconsole=ttyS1 console=ttySAC1,115200n8 quiet console=ttyS2\n"));
    EXPECT_EQ(5, UART_GetAvailablePorts());
    ASSERT_TRUE(tty.setCmdline(std::string(4090, 'x') + " console=ttyS1 console=tty0" + '\0' + " console=ttyS2"));
    EXPECT_EQ(0, UART_GetAvailablePorts());
    ASSERT_EQ(0, mount("/proc/self/mem", "/proc/cmdline", nullptr, MS_BIND, nullptr));  // reads fail (EIO)
    EXPECT_EQ(0, UART_GetAvailablePorts());
    ASSERT_EQ(0, mount("/proc/sys/vm/drop_caches", "/proc/cmdline", nullptr, MS_BIND, nullptr));  // opens fail
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_TRUE(log.has(I, "UART_GetAvailablePorts: error while reading file '/proc/cmdline'\n")) << log.dump();
    EXPECT_TRUE(log.has(E, "UART_GetAvailablePorts: error opening '/proc/cmdline'\n")) << log.dump();
}

// 100 ms without a byte: bytes 30 ms apart are one block, 400 ms splits.
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
    auto read = [&buf](UInt16 n) { return std::string(buf, UART_Read(1, reinterpret_cast<UInt8*>(buf), n)); };
    EXPECT_EQ("abcd", read(4));
    const std::string second = read(sizeof buf);
    EXPECT_EQ("e|", second);
    EXPECT_EQ("x", second.find('x') == std::string::npos ? read(sizeof buf) : "x");  // else it would wait for ever
    EXPECT_EQ(EAGAIN, errno);  // a block that ends at a pause leaves EAGAIN
    typist.join();
}

// UART: 115200 8N1; USB: 8 bits, its speed kept; every other setting kept.
TEST_F(TtyTest, OpenSetsRawModeAndCloseRestoresTheOldSettings) {
    auto settings = [](int fd, termios t = {}) {  // of the tty fd, or of t itself for -1
        EXPECT_EQ(0, fd < 0 ? 0 : tcgetattr(fd, &t));
        return std::tuple(t.c_iflag, t.c_oflag, t.c_cflag, t.c_lflag, std::string(t.c_cc, t.c_cc + NCCS));
    };
    for (const auto& [d, cflagClear, cflagSet] : {std::tuple(kDrivers[0], CBAUD | CSIZE | PARENB, B115200 | CS8),
                                                  std::tuple(kDrivers[1], CSIZE | PARENB, CS8)}) {
        SCOPED_TRACE(d.name);
        termios old{};
        tcgetattr(tty.slave(d.pty), &old);
        old.c_iflag |= IGNBRK | BRKINT | ICRNL | IXON | IXOFF;
        old.c_oflag |= OPOST | ONLCR | OCRNL;
        old.c_lflag |= ISIG | ICANON | ECHO | ECHONL | IEXTEN | ECHOE;
        old.c_cflag = (old.c_cflag & ~(CSIZE | PARENB)) | CS7 | PARENB | CSTOPB | CLOCAL;
        old.c_cc[VMIN] = 3;
        cfsetspeed(&old, B9600);
        ASSERT_EQ(0, tcsetattr(tty.slave(d.pty), TCSANOW, &old));
        ASSERT_EQ(0, tcgetattr(tty.master(d.pty), &old));  // as the kernel kept them
        termios raw = old;
        raw.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        raw.c_oflag &= ~tcflag_t(OPOST | ONLCR);
        raw.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
        raw.c_cflag = (raw.c_cflag & ~tcflag_t(cflagClear)) | tcflag_t(cflagSet);
        ASSERT_EQ(1, d.open(d.dev, 0));
        EXPECT_EQ(settings(-1, raw), settings(tty.master(d.pty)));
        d.close(d.dev);
        EXPECT_EQ(settings(-1, old), settings(tty.master(d.pty)));
    }
}

// A port that refuses its settings (/dev/null: ENOTTY) is closed again: nobody closes a port whose open failed.
TEST_F(TtyTest, UartOpenFailures) {
    attest::LogCapture log;
    ASSERT_EQ(0, mount("/dev/null", "/dev/ttyS1", nullptr, MS_BIND, nullptr));
    const int lowestFree = dup(0);
    close(lowestFree);
    EXPECT_EQ(0, UART_OpenDevice(1, 0));
    EXPECT_EQ(-1, fcntl(lowestFree, F_GETFD)) << "the refused port's descriptor was kept";
    umount2("/dev/ttyS2", MNT_DETACH);
    ASSERT_EQ(0, unlink("/dev/ttyS2"));
    EXPECT_EQ(0, UART_OpenDevice(2, 0));
    UInt8 buf[8];
    EXPECT_EQ(0, UART_Read(2, buf, sizeof buf));
    EXPECT_TRUE(log.has(E, "UART_OpenDevice unable to store old settings: retval=-1, errno=25\n")) << log.dump();
    EXPECT_TRUE(log.has(E, "UART_OpenDevice open=/dev/ttyS2 failed: No such file or directory\n")) << log.dump();
}

// Waiting STOPs win over data, as one stop. What is left in the pipes belongs to a pause that is over: an open
// throws it away, even when the tty cannot be opened (six attempts a second apart).
TEST_F(TtyTest, UsbStopsWinOverDataAndAnOpenDrainsTheRest) {
    attest::LogCapture log;
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
    USB_CloseDevice();
    umount2("/dev/ttyGS0", MNT_DETACH);
    ASSERT_EQ(0, unlink("/dev/ttyGS0"));
    EXPECT_EQ(0, USB_OpenDevice(0));
    EXPECT_EQ(6, log.count(E, "USB_OpenDevice failed: No such file or directory\n"));
    EXPECT_FALSE(readable(s_control_pipe[0])) << "a STOP was left";
    EXPECT_FALSE(readable(s_ack_pipe[0])) << "an OK was left";
}

}  // namespace
