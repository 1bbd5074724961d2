// UART and USB gadget tty drivers on real pseudo-terminals bound over
// /dev/ttyS0../dev/ttyS2 and /dev/ttyGS0.
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "drivers/usb_drv.h"
#include "drivers/usb_drv_internal.h"
#include "log_capture.h"
#include "serialmgr_harness.h"
#include "tty_harness.h"
#include "tty_test_util.h"

namespace {

using attest::TtyHarness;
using ttytest::ReaderThread;

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;
constexpr int kUartPty = 1;  // /dev/ttyS1

bool writeAll(int fd, const std::string& text) {
    return write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

int inputQueued(int ttyFd) {
    int n = -1;
    ioctl(ttyFd, FIONREAD, &n);
    return n;
}

std::string text(const UInt8* buf, size_t n) { return std::string(reinterpret_cast<const char*>(buf), n); }

// Settings are set through the harness's slave descriptor and read back from
// the master, the other side.
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

    // Sets a cooked line at 9600 with parity, two stop bits and flags that an
    // open must keep; returns the settings as the kernel kept them.
    termios setCookedLine(int pty) {
        termios t{};
        tcgetattr(tty.slave(pty), &t);
        t.c_iflag |= IGNBRK | BRKINT | ICRNL | IXON | IXOFF | IUTF8;
        t.c_oflag |= OPOST | ONLCR | OCRNL;
        t.c_lflag |= ISIG | ICANON | ECHO | ECHONL | IEXTEN | ECHOE;
        t.c_cflag = (t.c_cflag & ~(CSIZE | PARENB)) | CS7 | PARENB | CSTOPB | CLOCAL | CRTSCTS;
        t.c_cc[VINTR] = 0x05;
        t.c_cc[VMIN] = 3;
        cfsetspeed(&t, B9600);
        EXPECT_EQ(0, tcsetattr(tty.slave(pty), TCSANOW, &t));
        EXPECT_EQ(0, tcgetattr(tty.master(pty), &t));
        return t;
    }
    // Both drivers' raw input: the flags a line discipline would act on go,
    // the rest stays; c_cflag loses cflagClear and gains cflagSet. With
    // raw = false: the settings are exactly before.
    void expectRaw(const termios& before, int pty, tcflag_t cflagClear, tcflag_t cflagSet, bool raw = true) {
        termios now{};
        ASSERT_EQ(0, tcgetattr(tty.master(pty), &now));
        EXPECT_EQ(before.c_iflag & ~tcflag_t(raw ? 0x5EB : 0), now.c_iflag);
        EXPECT_EQ(before.c_oflag & ~tcflag_t(raw ? 0x5 : 0), now.c_oflag);
        EXPECT_EQ(before.c_lflag & ~tcflag_t(raw ? 0x804B : 0), now.c_lflag);
        EXPECT_EQ((before.c_cflag & ~cflagClear) | cflagSet, now.c_cflag);
        EXPECT_EQ(0, std::memcmp(before.c_cc, now.c_cc, sizeof now.c_cc));
        EXPECT_EQ(before.c_line, now.c_line);
    }

    attest::LogCapture log;
};

// ---- UART ----

using UartCmdline = TtyTest;
using UartPort = TtyTest;

TEST_F(UartCmdline, ConsoleArgumentsSelectThePorts) {
    struct Case {
        const char* cmdline;
        int ports;
        std::vector<std::string> logged;  // after "GetConsoleFromStr: portNum:"
    };
    const Case cases[] = {
        {"console=ttyS1,115200n8 quiet\n", 2, {"1 consoleFlag: 2"}},
        // Only the space splits arguments: the line end stays in the last
        // token, a tab keeps a second console inside the first argument.
        {"console=ttyS0 console=ttyS2\n", 5, {"0 consoleFlag: 1", "2\n consoleFlag: 4"}},
        {"console=ttyS0\nconsole=ttyS1,9600", 3, {"0\n consoleFlag: 1", "1 consoleFlag: 2"}},
        {"console=ttyS0\tconsole=ttyS1\n", 1, {"0\tconsole=ttyS1\n consoleFlag: 1"}},
        // A token without "ttyS" is logged with an empty port text.
        {"console=tty0\n", 0, {" consoleFlag: 0"}},
        {"console=ttyS3,115200\n", 0, {"3 consoleFlag: 0"}},
        {"console=ttyS-1\n", 0, {"-1\n consoleFlag: 0"}},
        {"androidboot.console=ttyS1 quiet\n", 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cmdline);
        ASSERT_TRUE(tty.setCmdline(c.cmdline));
        log.clear();
        EXPECT_EQ(c.ports, UART_GetAvailablePorts());
        std::vector<std::string> logged, want;
        for (const auto& line : log.lines()) logged.push_back(std::to_string(line.priority) + line.text);
        for (const auto& t : c.logged) want.push_back(std::to_string(kInfo) + "GetConsoleFromStr: portNum:" + t + "\n");
        EXPECT_EQ(want, logged);
    }
    ASSERT_TRUE(tty.makeCmdlineUnreadable());
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_TRUE(log.has(kInfo, "UART_GetAvailablePorts: error while reading file '/proc/cmdline'\n"))
        << log.dump();
    ASSERT_TRUE(tty.makeCmdlineUnopenable());
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_TRUE(log.has(kError, "UART_GetAvailablePorts: error opening '/proc/cmdline'\n")) << log.dump();
}

TEST_F(UartPort, OpenSetsRaw115200AndCloseRestoresTheOldSettings) {
    const termios before = setCookedLine(kUartPty);
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    expectRaw(before, kUartPty, CBAUD | CSIZE | PARENB, B115200 | CS8);
    EXPECT_EQ(1, UART_CloseDevice(1));
    expectRaw(before, kUartPty, 0, 0, false);
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(UartPort, ReadReturnsUpToTheCapacityAndTheRestComesNext) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    UInt8 buf[16];
    ASSERT_TRUE(writeAll(tty.master(kUartPty), "0123456789"));
    ASSERT_TRUE(attest::waitUntil([&] { return inputQueued(tty.slave(kUartPty)) == 10; }));
    ASSERT_EQ(4, UART_Read(1, buf, 4));
    EXPECT_EQ("0123", text(buf, 4));
    ASSERT_EQ(6, UART_Read(1, buf, 16));
    EXPECT_EQ("456789", text(buf, 6));
    EXPECT_EQ(EAGAIN, errno);  // a block that ends at a pause leaves EAGAIN
}

TEST_F(UartPort, PortThatIsNotOpenIsLeftAlone) {
    // Standard input gets a byte of its own: a port never opened has
    // descriptor 0 in its slot, and that must never be read.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const int savedStdin = dup(0);
    ASSERT_EQ(0, dup2(fds[0], 0));
    ASSERT_TRUE(writeAll(fds[1], "s"));
    EXPECT_EQ(1, UART_CloseDevice(0));
    UInt8 buf[8] = {'x'};
    EXPECT_EQ(0, UART_Write(0, buf, 1));
    errno = 0;
    EXPECT_EQ(0, UART_Read(0, buf, sizeof buf));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_TRUE(readable(0));
    dup2(savedStdin, 0);
    close(savedStdin);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(readable(tty.master(0)));

    // A failed open leaves -1, which reads nothing either.
    ASSERT_TRUE(tty.removeDevice("/dev/ttyS2"));
    EXPECT_EQ(0, UART_OpenDevice(2, 0));
    EXPECT_TRUE(log.has(kError, "UART_OpenDevice open=/dev/ttyS2 failed: No such file or directory\n"))
        << log.dump();
    EXPECT_EQ(0, UART_Read(2, buf, sizeof buf));
    EXPECT_EQ(1, UART_CloseDevice(2));
}

TEST_F(UartPort, PortNeverLandsOnDescriptorZeroAndTheShutdownHookWritesASpace) {
    // With standard input closed, open() hands out 0, the number that marks
    // a port as not open; the driver moves the port off it.
    const int savedStdin = dup(0);
    close(0);
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    EXPECT_EQ(-1, fcntl(0, F_GETFD));  // nothing left on 0
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
    EXPECT_EQ(2, log.count(kInfo, "UART_HandleShutdown: devID = 1\n")) << log.dump();
    EXPECT_EQ(1, log.count(kInfo, "UART_HandleShutdown: devID = 5\n")) << log.dump();
}

TEST_F(UartPort, PortThatRefusesSettingsIsClosedAgain) {
    // /dev/null opens but is no tty: both requests fail with ENOTTY.
    ASSERT_TRUE(tty.bindOver("/dev/null", "/dev/ttyS1"));
    const int lowestFree = dup(0);
    close(lowestFree);
    EXPECT_EQ(0, UART_OpenDevice(1, 0));
    EXPECT_TRUE(log.has(kError, "UART_OpenDevice unable to store old settings: retval=-1, errno=25\n"))
        << log.dump();
    EXPECT_TRUE(log.has(kError, "UART_OpenDevice failed: retval=-1, errno=25\n")) << log.dump();
    const int again = dup(0);  // the driver's descriptor was given back
    EXPECT_EQ(lowestFree, again);
    close(again);
}

TEST_F(UartPort, HungUpLineEndsTheReadWithAnError) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    ASSERT_EQ(0, ioctl(tty.slave(kUartPty), TIOCVHANGUP));
    UInt8 buf[8];
    errno = 0;
    EXPECT_EQ(0, UART_Read(1, buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log.has(kError, "Read: read errno [5]\n")) << log.dump();
}

TEST(UartPortDeath, DeviceIdsAboveTheThirdUartStopTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const char* pattern =
        "common/modem/at/stubs/uart_x_drv:[0-9]+: .*assertion \"devID <= SERIAL_DEVICE_UART_C\" failed";
    UInt8 buf[4] = {};
    EXPECT_DEATH(UART_OpenDevice(3, 0), pattern);
    EXPECT_DEATH(UART_CloseDevice(3), pattern);
    EXPECT_DEATH(UART_Read(3, buf, sizeof buf), pattern);
    EXPECT_DEATH(UART_Write(3, buf, 1), pattern);
}

// ---- USB gadget tty ----

using UsbTty = TtyTest;

TEST_F(UsbTty, OpenKeepsTheSpeedAndCloseRestoresEverything) {
    const termios before = setCookedLine(TtyHarness::kUsb);
    ASSERT_EQ(1, USB_OpenDevice(0));
    EXPECT_EQ(O_RDWR | O_NONBLOCK, fcntl(s_usb_fd.load(), F_GETFL) & (O_ACCMODE | O_NONBLOCK));
    EXPECT_EQ(FD_CLOEXEC, fcntl(s_usb_fd.load(), F_GETFD));
    expectRaw(before, TtyHarness::kUsb, CSIZE | PARENB, CS8);

    // A second open of the open tty changes nothing and drains nothing.
    USB_Control_Pipe_Send_Stop();
    log.clear();
    EXPECT_EQ(1, USB_OpenDevice(0));
    ASSERT_EQ(1u, log.lines().size()) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "USB_OpenDevice\n"));
    EXPECT_EQ(1, isDataAvailable(s_control_pipe[0], 0));

    EXPECT_EQ(1, USB_CloseDevice());
    EXPECT_TRUE(log.has(kInfo, "USB_CloseDevice\n"));
    expectRaw(before, TtyHarness::kUsb, 0, 0, false);

    // The STOP left from that earlier pause is discarded at the next open and
    // does not stop the next read (of three bytes: VMIN 3 is kept).
    ASSERT_EQ(1, USB_OpenDevice(0));
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n")) << log.dump();
    EXPECT_EQ(0, log.countContaining("s_ack_pipe"));
    ASSERT_TRUE(writeAll(tty.master(TtyHarness::kUsb), "hi!"));
    UInt8 buf[16];
    ASSERT_EQ(3, USB_Read(buf, sizeof buf));
    EXPECT_EQ("hi!", text(buf, 3));
}

TEST_F(UsbTty, MissingTtyTakesSixAttemptsAndStillDrainsThePipes) {
    ASSERT_TRUE(tty.removeDevice("/dev/ttyGS0"));
    USB_Control_Pipe_Send_Stop();
    USB_Control_Pipe_Send_Ack();
    log.clear();
    EXPECT_EQ(0, USB_OpenDevice(0));
    EXPECT_EQ(6, log.count(kError, "USB_OpenDevice failed: No such file or directory\n")) << log.dump();
    EXPECT_EQ(1, log.count(kError, "USB_OpenDevice failed: 6 times\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_ack_pipe has remaining data=OK!\n")) << log.dump();
}

TEST_F(UsbTty, DrainGoesOnQuietlyWhenThePipeCannotBeRead) {
    // A directory polls readable but fails to read (EISDIR).
    const int savedRead = s_control_pipe[0];
    s_control_pipe[0] = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(s_control_pipe[0], 0);
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_OpenDevice(0));
    close(s_control_pipe[0]);
    s_control_pipe[0] = savedRead;
    EXPECT_EQ(0, log.countContaining("s_control_pipe")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_ack_pipe has remaining data=OK!\n")) << log.dump();
}

TEST_F(UsbTty, WaitingStopsWinOverWaitingDataAsOneStop) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_TRUE(writeAll(tty.master(TtyHarness::kUsb), "data"));
    ASSERT_TRUE(attest::waitUntil([&] { return inputQueued(tty.slave(TtyHarness::kUsb)) == 4; }));
    for (int i = 0; i < 3; ++i) USB_Control_Pipe_Send_Stop();
    UInt8 buf[16];
    EXPECT_EQ(STOP_READING_USB_TTY, USB_Read(buf, sizeof buf));
    EXPECT_TRUE(log.has(kInfo, "  isUsbDataAvailable: flowcontrol:STOPSTOPSTOP\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: select=-1\n")) << log.dump();
    ASSERT_EQ(4, USB_Read(buf, sizeof buf));
    EXPECT_EQ("data", text(buf, 4));
}

TEST_F(UsbTty, ClosedOrHungUpTtyReadsNothing) {
    EXPECT_EQ(1, USB_CloseDevice());
    EXPECT_EQ(0, log.countContaining("USB_CloseDevice"));
    UInt8 buf[8] = {'x'};
    EXPECT_EQ(0, USB_Write(buf, 1));
    errno = 0;
    EXPECT_EQ(0, USB_Read(buf, sizeof buf));
    EXPECT_EQ(EAGAIN, errno);  // closed: go round
    EXPECT_EQ(1, log.count(kInfo, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_EQ(0, ioctl(tty.slave(TtyHarness::kUsb), TIOCVHANGUP));
    errno = 0;
    EXPECT_EQ(0, USB_Read(buf, sizeof buf));
    EXPECT_EQ(EIO, errno);  // hung up: the reader ends
    EXPECT_EQ(2, log.count(kInfo, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();
}

// A pause that waits for its acknowledgement while the tty is being reopened
// (the reader's refresh at the end of the previous pause): the open's drain
// and the pause's wait both read the acknowledgement pipe. Whichever of them
// gets a surplus "OK", the open must never be left waiting on the pipe.
TEST_F(UsbTty, ReopenDuringAPauseNeverWaitsOnTheAcknowledgementPipe) {
    std::mt19937 rng(20261205);
    for (int i = 0; i < 3000; ++i) {
        USB_Control_Pipe_Send_Ack();  // the surplus "OK" of an earlier pause
        const unsigned spin = rng() % 4000;
        std::thread pause([spin] {
            for (volatile unsigned k = 0; k < spin;) k = k + 1;
            USB_Control_Pipe_Wait_Ack();
        });
        const bool opened = attest::finishesWithin(
            [] {
                USB_CloseDevice();
                USB_OpenDevice(0);
            },
            std::chrono::seconds(5));
        // Frees the pause when the drain took the surplus (and a stuck drain).
        USB_Control_Pipe_Send_Ack();
        pause.join();
        ASSERT_TRUE(opened) << "the open waited on the acknowledgement pipe in round " << i;
        char ack[80];
        while (isDataAvailable(s_ack_pipe[0], 0) == 1 && read(s_ack_pipe[0], ack, sizeof ack) > 0) {
        }
        log.clear();
    }
}

// ---- stopping a reader: close from another thread, then SIGUSR2 ----
// Random stop moments are the tty transport stress's; these are the two
// deterministic orders.

struct Driver {
    Int32 (*open)();
    void (*close)();
    UInt16 (*read)(UInt8* buf, UInt16 capacity);
    int (*fd)();
};
const Driver kUart{[] { return UART_OpenDevice(1, 0); }, [] { UART_CloseDevice(1); },
                   [](UInt8* buf, UInt16 capacity) { return UART_Read(1, buf, capacity); },
                   [] { return s_uart_fd[1].load(); }};
const Driver kUsb{[] { return USB_OpenDevice(0); }, [] { USB_CloseDevice(); },
                  [](UInt8* buf, UInt16 capacity) { return USB_Read(buf, capacity); },
                  [] { return s_usb_fd.load(); }};

class TtyStop : public TtyTest {
protected:
    // A signal sent before the wait stays pending until the wait; during the
    // wait the serial manager closes first and another open takes the number
    // with data waiting, which the reader must leave alone.
    void stopBeforeAndDuringTheWait(const Driver& d) {
        ttytest::installSigusr2Handler();
        ASSERT_EQ(1, d.open());
        const int portFd = d.fd();
        static UInt8 buf[64];
        auto read = [&d] { return d.read(buf, sizeof buf); };
        {
            ReaderThread reader(read, /*signalFirst=*/true);
            ASSERT_TRUE(reader.waitDone());
            EXPECT_EQ(0, reader.handledBefore());
            EXPECT_EQ(0, reader.result());
            EXPECT_EQ(EAGAIN, reader.error());
            EXPECT_EQ(1, ttytest::sigusr2Count().load());
        }
        ReaderThread reader(read);
        ASSERT_TRUE(attest::waitInPselect(reader.tid()));
        d.close();
        int fds[2];
        ASSERT_EQ(0, pipe(fds));
        ASSERT_EQ(portFd, dup2(fds[0], portFd));
        ASSERT_TRUE(writeAll(fds[1], "R"));
        reader.signal();
        ASSERT_TRUE(reader.waitDone());
        EXPECT_EQ(0, reader.result());
        EXPECT_EQ(EAGAIN, reader.error());
        EXPECT_TRUE(readable(portFd));  // the stranger's byte is still there
        EXPECT_EQ(0, log.countContaining("Read: read errno")) << log.dump();
        close(portFd);
        close(fds[0]);
        close(fds[1]);
    }
};

TEST_F(TtyStop, UartSignalBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    stopBeforeAndDuringTheWait(kUart);
}

TEST_F(TtyStop, UsbSignalBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    stopBeforeAndDuringTheWait(kUsb);
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: select=0\n")) << log.dump();
}

}  // namespace
