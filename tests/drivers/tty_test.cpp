// UART and USB gadget tty drivers on real pseudo-terminals bound over
// /dev/ttyS0../dev/ttyS2 and /dev/ttyGS0 (tty_harness.h), and what they share
// with the RNDIS UDP driver, checked on all three.
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
#include <rapidcheck.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bionic_shim.h"
#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "drivers/signal_wait.h"
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
#include "wait.h"

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

using attest::TtyHarness;
using attest::Lines;
constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;
constexpr int kUartPty = 1;  // /dev/ttyS1

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}
bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}
std::string text(const UInt8* buf, size_t n) { return std::string(reinterpret_cast<const char*>(buf), n); }

// ---- what the three reading drivers share ----

std::atomic<int> g_handled{0};  // calls of the SIGUSR2 handler

// A driver read on a thread of its own that keeps SIGUSR2 blocked, as the
// serial manager's reader threads do. With signalFirst the thread sends itself
// the signal before it reads, so that it is pending when the wait begins. The
// thread stays until the test is done with it, so that no signal goes to a
// thread that has gone; a signal still pending then is handled.
class ReaderThread {
public:
    ReaderThread(std::function<UInt16()> read, bool signalFirst) : read_(std::move(read)), signalFirst_(signalFirst) {
        attest::waitUntil([this] { return tid_.load() != 0; });
    }
    ~ReaderThread() {
        finishing_ = true;
        waitDone() ? thread_.join() : thread_.detach();  // detached: the test has failed; do not hang
    }
    pid_t tid() const { return tid_.load(); }
    void signal() { pthread_kill(thread_.native_handle(), SIGUSR2); }
    bool waitDone() const { return attest::waitUntil([this] { return done_.load(); }); }
    UInt16 result = 0;
    int error = 0, handledBefore = -1;

private:
    void run() {
        at_block_shutdown_signal(nullptr);
        if (signalFirst_) pthread_kill(pthread_self(), SIGUSR2);
        handledBefore = g_handled.load();
        tid_ = static_cast<pid_t>(syscall(SYS_gettid));
        errno = 0;
        result = read_();
        error = errno;
        done_ = true;
        attest::waitUntil([this] { return finishing_.load(); }, std::chrono::seconds(30));
        sigset_t usr2;
        sigemptyset(&usr2);
        sigaddset(&usr2, SIGUSR2);
        pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
    }
    std::function<UInt16()> read_;
    bool signalFirst_;
    std::atomic<bool> done_{false}, finishing_{false};
    std::atomic<pid_t> tid_{0};
    std::thread thread_{[this] { run(); }};  // last: starts once the rest is set
};

struct Driver {
    const char* name;
    int pty;  // harness index of its tty; -1 = none
    Int32 (*open)();
    void (*close)();
    UInt16 (*read)(UInt8* buf, UInt16 capacity);
    UInt16 (*write)(const UInt8* buf, UInt16 len);
    int (*fd)();
    // "Nothing, go round": after a stop signal, or a close under the read.
    UInt16 stopped;
    int stoppedErrno;
    // A read of a closed device: its errno and its line; the line of a read
    // of a hung-up tty. Priority 0: no line.
    int closedErrno;
    attest::LogLine closedLine, hungUpLine;
};

void PrintTo(const Driver& d, std::ostream* os) { *os << d.name; }

const Driver kDrivers[] = {
    {"Uart", kUartPty, [] { return UART_OpenDevice(1, 0); }, [] { UART_CloseDevice(1); },
     [](UInt8* b, UInt16 n) { return UART_Read(1, b, n); }, [](const UInt8* b, UInt16 n) { return UART_Write(1, b, n); },
     [] { return s_uart_fd[1].load(); }, 0, EAGAIN, EAGAIN, {}, {E, "", "Read: read errno [5]\n"}},
    {"Usb", TtyHarness::kUsb, [] { return USB_OpenDevice(0); }, [] { USB_CloseDevice(); },
     [](UInt8* b, UInt16 n) { return USB_Read(b, n); }, [](const UInt8* b, UInt16 n) { return USB_Write(b, n); },
     [] { return s_usb_fd.load(); }, 0, EAGAIN, EAGAIN, {I, "", "  ReadUsbTtyData: read bytes =0\n"},
     {I, "", "  ReadUsbTtyData: read bytes =0\n"}},
    // The system picks the Rx port: the configuration is all zeros at load.
    {"Udp", -1, [] { return RNDIS_OpenDevice(SERIAL_DEVICE_RNDIS, 0); }, [] { RNDIS_CloseDevice(SERIAL_DEVICE_RNDIS); },
     [](UInt8* b, UInt16 n) { return RNDIS_Read(SERIAL_DEVICE_RNDIS, b, n); },
     [](const UInt8* b, UInt16 n) { return RNDIS_Write(SERIAL_DEVICE_RNDIS, b, n); },
     [] { return s_rndis_channel[0].RxSd; }, 65535, EINTR, EBADF, {E, "", "Could not receive datagram (errno 9).\n"}, {}},
};

// Another file takes the number fd, with a byte waiting in it that nobody
// else may read.
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
    TtyHarness tty;
    attest::LogCapture log;
};

// The serial manager stops a reader by closing its device and then sending
// SIGUSR2 (signal_wait.h). Whether the signal is pending before the wait or
// comes during it, the read ends with "go round"; a read whose descriptor
// number was closed and taken by another file before the wait never reads
// that file (guarded_fd.h).
TEST_P(DriverProps, StopBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    const Driver& d = GetParam();
    bsd_signal(SIGUSR2, [](int) { g_handled.fetch_add(1); });  // SA_RESTART, as the serial manager's
    ASSERT_EQ(1, d.open());
    static UInt8 buf[64];
    auto read = [&d] { return d.read(buf, sizeof buf); };
    auto expectStopped = [&d](const ReaderThread& r) {
        ASSERT_TRUE(r.waitDone()) << "the read did not end";
        EXPECT_EQ(d.stopped, r.result);
        EXPECT_EQ(d.stoppedErrno, r.error);
    };
    {
        ReaderThread reader(read, /*signalFirst=*/true);
        expectStopped(reader);
        EXPECT_EQ(0, reader.handledBefore);
        EXPECT_EQ(1, g_handled.load());
    }
    {
        ReaderThread reader(read, false);
        ASSERT_TRUE(attest::waitInPselect(reader.tid()));
        const int number = d.fd();
        d.close();
        Stranger stranger(number);
        reader.signal();
        expectStopped(reader);
    }
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
        ReaderThread reader(read, false);
        expectStopped(reader);
    }
    ASSERT_EQ(-1, g_beforeWaitOn.load()) << "the read never waited";
    delete stranger;
    EXPECT_EQ(0, log.countContaining("Read: read errno") + log.countContaining("Could not receive")) << log.dump();
}

// A device that is not open: close returns 1 and closes no descriptor (not 0,
// the UART's and UDP's "none", nor a number reused since the last close); a
// read returns 0 at once, reading nothing, with the errno that the serial
// manager's reader acts on (EAGAIN: go round; else it ends); a write sends
// nothing. A hung-up tty is an error (EIO), not a "go round" that would spin.
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
    for (int f : {savedStdin, stdinPipe[0], stdinPipe[1]}) close(f);
    if (d.pty < 0) return;
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

// ---- UART and USB ----

class TtyTest : public attest::TtyHarnessTest {
protected:
    void SetUp() override {
        TtyHarnessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        USB_Control_Pipe_Init();
        log.clear();
    }
    void TearDown() override {
        for (UInt32 id = 0; id < 3; ++id) UART_CloseDevice(id);
        USB_CloseDevice();
    }
    attest::LogCapture log;
};

// The port scan as the rules state it: the file in fgets pieces (at most 4095
// bytes, a piece ends after a newline), each up to its first NUL; tokens split
// on single spaces; a token that begins with "console=" is cut at its first
// comma, and atoi of the text after "ttyS" (0 when no digit follows) picks
// bit 0, 1 or 2.
int referenceMask(const std::string& file) {
    int mask = 0;
    for (size_t pos = 0; pos < file.size();) {
        size_t end = pos;
        while (end < file.size() && end - pos < 4095 && file[end++] != '\n') {
        }
        const std::string line = file.substr(pos, end - pos).c_str();
        pos = end;
        for (size_t start = 0; start <= line.size();) {
            const size_t space = std::min(line.find(' ', start), line.size());
            std::string token = line.substr(start, space - start);
            start = space + 1;
            if (token.rfind("console=", 0) != 0) continue;
            token = token.substr(0, token.find(','));
            const size_t at = token.find("ttyS");
            const int n = at == std::string::npos ? -1 : std::atoi(token.c_str() + at + 4);
            if (n >= 0 && n <= 2) mask |= 1 << n;
        }
    }
    return mask;
}

TEST_F(TtyTest, UartConsoleArgumentsSelectThePorts) {
    // Only the space splits arguments: a tab and the line end stay inside the
    // token. A token without "ttyS" logs an empty port text. "ttySAC1" has no
    // digit after "ttyS" and counts as port 0.
    ASSERT_TRUE(tty.setCmdline("console=ttySAC1,115200n8 console=tty0 quiet console=ttyS2\tconsole=ttyS1\n"));
    EXPECT_EQ(5, UART_GetAvailablePorts());
    EXPECT_EQ(Lines({{I, "GetConsoleFromStr: portNum:AC1 consoleFlag: 1\n"},
                     {I, "GetConsoleFromStr: portNum: consoleFlag: 0\n"},
                     {I, "GetConsoleFromStr: portNum:2\tconsole=ttyS1\n consoleFlag: 4\n"}}),
              linesOf(log));
    // A few arguments, each after a separator that may or may not split, with
    // NULs and lines longer than one fgets piece.
    const std::string nul(1, '\0'), longText(4090, 'x');
    EXPECT_TRUE(rc::check("the mask is the reference scan's", [&] {
        std::string file;
        for (int n = *rc::gen::inRange(1, 5); n > 0; --n) {
            file += *rc::gen::element<std::string>(" ", " ", "\t", "\n", nul) +
                    *rc::gen::element<std::string>("console=ttyS", "console=ttySAC", "console=tty", "quiet",
                                                   "androidboot.console=ttyS") +
                    *rc::gen::element<std::string>("0", "1", "2", "3", "-1", "") +
                    *rc::gen::element<std::string>("", ",115200n8", "\n", nul, longText);
        }
        RC_ASSERT(tty.setCmdline(file));
        RC_ASSERT(UART_GetAvailablePorts() == referenceMask(file));
    }));
    ASSERT_TRUE(tty.makeCmdlineUnreadable());
    log.clear();
    EXPECT_EQ(0, UART_GetAvailablePorts());
    ASSERT_TRUE(tty.makeCmdlineUnopenable());
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_EQ(Lines({{I, "UART_GetAvailablePorts: error while reading file '/proc/cmdline'\n"},
                     {E, "UART_GetAvailablePorts: error opening '/proc/cmdline'\n"}}),
              linesOf(log));
}

// Open puts the line into raw mode (UART: 115200 8N1 on a blocking descriptor
// kept across exec; USB: 8 bits, the speed kept, non-blocking, close-on-exec)
// and keeps everything else; close restores the settings exactly.
TEST_F(TtyTest, OpenSetsRawModeAndCloseRestoresTheOldSettings) {
    struct Case {
        const Driver& d;
        tcflag_t cflagClear, cflagSet;
        int flags, fdFlags;
    };
    auto expectSame = [](const termios& a, const termios& b) {
        EXPECT_EQ(std::vector<tcflag_t>({a.c_iflag, a.c_oflag, a.c_cflag, a.c_lflag, a.c_line}),
                  std::vector<tcflag_t>({b.c_iflag, b.c_oflag, b.c_cflag, b.c_lflag, b.c_line}));
        EXPECT_EQ(0, std::memcmp(a.c_cc, b.c_cc, NCCS));
    };
    for (const Case& c : {Case{kDrivers[0], CBAUD | CSIZE | PARENB, B115200 | CS8, O_RDWR, 0},
                          Case{kDrivers[1], CSIZE | PARENB, CS8, O_RDWR | O_NONBLOCK, FD_CLOEXEC}}) {
        SCOPED_TRACE(c.d.name);
        termios before{}, now{};
        tcgetattr(tty.slave(c.d.pty), &before);
        before.c_iflag |= IGNBRK | BRKINT | ICRNL | IXON | IXOFF | IUTF8;
        before.c_oflag |= OPOST | ONLCR | OCRNL;
        before.c_lflag |= ISIG | ICANON | ECHO | ECHONL | IEXTEN | ECHOE;
        before.c_cflag = (before.c_cflag & ~(CSIZE | PARENB)) | CS7 | PARENB | CSTOPB | CLOCAL | CRTSCTS;
        before.c_cc[VINTR] = 0x05;
        before.c_cc[VMIN] = 3;
        cfsetspeed(&before, B9600);
        ASSERT_EQ(0, tcsetattr(tty.slave(c.d.pty), TCSANOW, &before));
        ASSERT_EQ(0, tcgetattr(tty.master(c.d.pty), &before));  // as the kernel kept them
        termios raw = before;
        raw.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON);
        raw.c_oflag &= ~tcflag_t(OPOST | ONLCR);
        raw.c_lflag &= ~tcflag_t(ISIG | ICANON | ECHO | ECHONL | IEXTEN);
        raw.c_cflag = (raw.c_cflag & ~c.cflagClear) | c.cflagSet;
        ASSERT_EQ(1, c.d.open());
        ASSERT_EQ(0, tcgetattr(tty.master(c.d.pty), &now));
        expectSame(raw, now);
        EXPECT_EQ(c.flags, fcntl(c.d.fd(), F_GETFL) & (O_ACCMODE | O_NONBLOCK));
        EXPECT_EQ(c.fdFlags, fcntl(c.d.fd(), F_GETFD));
        c.d.close();
        ASSERT_EQ(0, tcgetattr(tty.master(c.d.pty), &now));
        expectSame(before, now);
    }
}

// A block ends after 100 ms without a byte, or at the capacity.
TEST_F(TtyTest, UartBlockEndsAtAPauseOrAtTheCapacity) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    const int master = tty.master(kUartPty);
    // Bytes 30 ms apart are one block; a pause of 400 ms splits it.
    std::thread typist([master] {
        for (const char* byte : {"a", "b", "c", "d", "e", "|", "x"}) {
            std::this_thread::sleep_for(std::chrono::milliseconds(*byte == 'x' ? 400 : 30));
            writeAll(master, byte);
        }
    });
    UInt8 buf[16];
    const std::string first = text(buf, UART_Read(1, buf, sizeof buf));
    EXPECT_EQ("abcde|", first);
    if (first.find('x') == std::string::npos) {  // else a second read would wait for ever
        EXPECT_EQ("x", text(buf, UART_Read(1, buf, sizeof buf)));
        EXPECT_EQ(EAGAIN, errno);  // a block that ends at a pause leaves EAGAIN
    }
    typist.join();
    ASSERT_TRUE(writeAll(master, "0123456789"));
    ASSERT_TRUE(attest::waitUntil([&] {
        int n = 0;
        return ioctl(tty.slave(kUartPty), FIONREAD, &n) == 0 && n == 10;
    }));
    ASSERT_EQ(4, UART_Read(1, buf, 4));
    EXPECT_EQ("0123", text(buf, 4));
    ASSERT_EQ(6, UART_Read(1, buf, sizeof buf));
    EXPECT_EQ("456789", text(buf, 6));
}

TEST_F(TtyTest, UartPortNeverLandsOnDescriptorZeroAndTheShutdownHookWritesASpace) {
    // With standard input closed, open() hands out 0, the number that marks
    // a port as not open; the driver moves the port off it.
    const int savedStdin = dup(0);
    close(0);
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    EXPECT_EQ(-1, fcntl(0, F_GETFD));
    dup2(savedStdin, 0);
    close(savedStdin);
    UART_HandleShutdown(1);
    char got = 0;
    EXPECT_TRUE(attest::waitUntil([&] { return readable(tty.master(kUartPty)); }));
    EXPECT_EQ(1, read(tty.master(kUartPty), &got, 1));
    EXPECT_EQ(' ', got);
    UART_CloseDevice(1);
    UART_HandleShutdown(1);  // not open: nothing written
    UART_HandleShutdown(5);  // not a UART: logged, no assertion
    EXPECT_FALSE(readable(tty.master(kUartPty)));
    EXPECT_EQ(Lines({{I, "UART_HandleShutdown: devID = 1\n"},
                     {I, "UART_HandleShutdown: devID = 1\n"},
                     {I, "UART_HandleShutdown: devID = 5\n"}}),
              linesOf(log));
}

TEST_F(TtyTest, UartOpenFailures) {
    // A port that refuses its settings (/dev/null: ENOTTY) is closed again,
    // since the device layer never closes a port whose open failed.
    ASSERT_TRUE(tty.bindOver("/dev/null", "/dev/ttyS1"));
    const int lowestFree = dup(0);
    close(lowestFree);
    EXPECT_EQ(0, UART_OpenDevice(1, 0));
    const int again = dup(0);
    EXPECT_EQ(lowestFree, again);
    close(again);
    // A failed open leaves -1, which reads nothing.
    ASSERT_TRUE(tty.removeDevice("/dev/ttyS2"));
    EXPECT_EQ(0, UART_OpenDevice(2, 0));
    UInt8 buf[8];
    EXPECT_EQ(0, UART_Read(2, buf, sizeof buf));
    EXPECT_EQ(Lines({{E, "UART_OpenDevice unable to store old settings: retval=-1, errno=25\n"},
                     {E, "UART_OpenDevice failed: retval=-1, errno=25\n"},
                     {E, "UART_OpenDevice open=/dev/ttyS2 failed: No such file or directory\n"}}),
              linesOf(log));
}

TEST(UartDeathTest, DeviceIdsAboveTheThirdUartStopTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const char* pattern = "common/modem/at/stubs/uart_x_drv:[0-9]+: .*assertion \"devID <= SERIAL_DEVICE_UART_C\" failed";
    UInt8 buf[4] = {};
    EXPECT_DEATH(UART_OpenDevice(3, 0), pattern);
    EXPECT_DEATH(UART_CloseDevice(3), pattern);
    EXPECT_DEATH(UART_Read(3, buf, sizeof buf), pattern);
    EXPECT_DEATH(UART_Write(3, buf, 1), pattern);
}

// Whatever a previous reader left in the control pipes belongs to a pause
// that is over: an open throws it away, even when the tty cannot be opened
// (six attempts a second apart). A second open of the open tty changes and
// drains nothing.
TEST_F(TtyTest, UsbOpenDrainsThePipesOfAnEarlierPause) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    USB_Control_Pipe_Send_Stop();
    USB_Control_Pipe_Send_Ack();
    log.clear();
    EXPECT_EQ(1, USB_OpenDevice(0));
    EXPECT_EQ(1, isDataAvailable(s_control_pipe[0], 0));
    USB_CloseDevice();
    USB_CloseDevice();  // closed already: nothing to say
    ASSERT_TRUE(tty.removeDevice("/dev/ttyGS0"));
    EXPECT_EQ(0, USB_OpenDevice(0));
    Lines want = {{I, "USB_OpenDevice\n"}, {I, "USB_CloseDevice\n"}, {I, "USB_OpenDevice\n"}};
    want.insert(want.end(), 6, {E, "USB_OpenDevice failed: No such file or directory\n"});
    want.insert(want.end(), {{E, "USB_OpenDevice failed: 6 times\n"},
                             {I, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n"},
                             {I, "  USB_OpenDevice: s_ack_pipe has remaining data=OK!\n"}});
    EXPECT_EQ(want, linesOf(log));
}

// A pipe that polls readable but fails to read (a directory: EISDIR) is
// passed over without a line: there is no text to discard.
TEST_F(TtyTest, UsbDrainGoesOnQuietlyWhenThePipeCannotBeRead) {
    const int savedRead = s_control_pipe[0];
    s_control_pipe[0] = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    EXPECT_EQ(1, USB_OpenDevice(0));
    close(s_control_pipe[0]);
    s_control_pipe[0] = savedRead;
    EXPECT_EQ(Lines({{I, "USB_OpenDevice\n"}}), linesOf(log));
}

TEST_F(TtyTest, UsbWaitingStopsWinOverWaitingDataAsOneStop) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_TRUE(writeAll(tty.master(TtyHarness::kUsb), "data"));
    ASSERT_TRUE(attest::waitUntil([&] { return readable(tty.slave(TtyHarness::kUsb)); }));
    for (int i = 0; i < 3; ++i) USB_Control_Pipe_Send_Stop();
    UInt8 buf[16];
    EXPECT_EQ(STOP_READING_USB_TTY, USB_Read(buf, sizeof buf));
    EXPECT_TRUE(log.has(I, "  isUsbDataAvailable: flowcontrol:STOPSTOPSTOP\n")) << log.dump();
    EXPECT_TRUE(log.has(I, "  ReadUsbTtyData: select=-1\n")) << log.dump();
    ASSERT_EQ(4, USB_Read(buf, sizeof buf));
    EXPECT_EQ("data", text(buf, 4));
}

// A pause that waits for its acknowledgement while the tty is being reopened
// (the reader's refresh at the end of the previous pause): the open's drain
// and the pause's wait both read the acknowledgement pipe. Whichever of them
// gets a surplus "OK", the open must never be left waiting on the pipe.
TEST_F(TtyTest, UsbReopenDuringAPauseNeverWaitsOnTheAcknowledgementPipe) {
    std::mt19937 rng(20261205);
    for (int i = 0; i < 3000; ++i) {
        USB_Control_Pipe_Send_Ack();  // the surplus "OK" of an earlier pause
        const unsigned spin = rng() % 4000;
        std::thread pause([spin] {
            std::atomic<unsigned> k{0};  // a busy delay the compiler keeps
            while (k.fetch_add(1, std::memory_order_relaxed) < spin) {
            }
            USB_Control_Pipe_Wait_Ack();
        });
        const bool inTime = attest::finishesWithin(
            [] {
                USB_CloseDevice();
                USB_OpenDevice(0);
            },
            std::chrono::seconds(5));
        USB_Control_Pipe_Send_Ack();  // frees the pause when the drain took the surplus (and a stuck drain)
        pause.join();
        ASSERT_TRUE(inTime) << "the open waited on the acknowledgement pipe in round " << i;
        char ack[80];
        while (isDataAvailable(s_ack_pipe[0], 0) == 1 && read(s_ack_pipe[0], ack, sizeof ack) > 0) {
        }
        log.clear();
    }
}

}  // namespace
