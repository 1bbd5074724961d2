// UART driver on real pseudo-terminals bound over /dev/ttyS0../dev/ttyS2.
#include <android/log.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
#include <string>

#include "drivers/uart_x_drv.h"
#include "drivers/uart_x_drv_internal.h"
#include "log_capture.h"
#include "tty_harness.h"
#include "tty_test_util.h"

namespace {

using attest::TtyHarnessTest;
using ttytest::ReaderThread;

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;

class UartCmdline : public TtyHarnessTest {
protected:
    int portsFor(const std::string& cmdline) {
        EXPECT_TRUE(tty.setCmdline(cmdline));
        return UART_GetAvailablePorts();
    }
    attest::LogCapture log;
};

TEST_F(UartCmdline, ConsoleWithOptionsSelectsItsPortOnly) {
    EXPECT_EQ(2, portsFor("console=ttyS1,115200n8 quiet\n"));
    EXPECT_EQ(1, log.count(kInfo, "GetConsoleFromStr: portNum:1 consoleFlag: 2\n")) << log.dump();
    EXPECT_EQ(1, log.countContaining("GetConsoleFromStr"));
}

TEST_F(UartCmdline, SeveralConsolesAndLinesCombine) {
    EXPECT_EQ(5, portsFor("console=ttyS0 console=ttyS2\n"));
    EXPECT_TRUE(log.has(kInfo, "GetConsoleFromStr: portNum:0 consoleFlag: 1\n")) << log.dump();
    // Only the space splits arguments: the line end stays in the last token
    // and so in its port text.
    EXPECT_TRUE(log.has(kInfo, "GetConsoleFromStr: portNum:2\n consoleFlag: 4\n")) << log.dump();
    EXPECT_EQ(3, portsFor("console=ttyS0\nconsole=ttyS1,9600"));
    EXPECT_EQ(7, portsFor("console=ttyS2 console=ttyS1 console=ttyS0 console=ttyS2"));
}

TEST_F(UartCmdline, ConsolesThatAreNoUartSelectNothing) {
    for (const char* cmdline : {"console=tty0\n", "console=ttyS3,115200\n", "console=hvc0\n",
                                "root=/dev/sda1 quiet\n", "\n", "", "console=ttyS-1\n"}) {
        EXPECT_EQ(0, portsFor(cmdline)) << cmdline;
    }
    // A token without "ttyS" is logged with an empty port text.
    EXPECT_EQ(2, log.count(kInfo, "GetConsoleFromStr: portNum: consoleFlag: 0\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "GetConsoleFromStr: portNum:3 consoleFlag: 0\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "GetConsoleFromStr: portNum:-1\n consoleFlag: 0\n")) << log.dump();
}

TEST_F(UartCmdline, PortTextIsReadForItsLeadingDigitsOnly) {
    // "AC1" has no leading digit and reads as port 0.
    EXPECT_EQ(1, portsFor("console=ttySAC1,115200"));
    EXPECT_TRUE(log.has(kInfo, "GetConsoleFromStr: portNum:AC1 consoleFlag: 1\n")) << log.dump();
}

TEST_F(UartCmdline, OnlyWholeConsoleArgumentsSeparatedBySpacesCount) {
    EXPECT_EQ(0, portsFor("androidboot.console=ttyS1 quiet\n"));
    EXPECT_EQ(0, portsFor("quiet\tconsole=ttyS1\n"));
    // A tab keeps the second console inside the first argument, where the
    // first "ttyS" is the one that counts.
    EXPECT_EQ(1, portsFor("console=ttyS0\tconsole=ttyS1\n"));
    EXPECT_EQ(1, log.countContaining("GetConsoleFromStr")) << log.dump();
}

TEST_F(UartCmdline, UnopenableCommandLineSelectsNothing) {
    ASSERT_TRUE(tty.makeCmdlineUnopenable());
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_TRUE(log.has(kError, "UART_GetAvailablePorts: error opening '/proc/cmdline'\n")) << log.dump();
}

TEST_F(UartCmdline, ReadErrorKeepsWhatWasGatheredAndSaysSo) {
    ASSERT_TRUE(tty.makeCmdlineUnreadable());
    EXPECT_EQ(0, UART_GetAvailablePorts());
    EXPECT_TRUE(log.has(kInfo, "UART_GetAvailablePorts: error while reading file '/proc/cmdline'\n"))
        << log.dump();
}

class UartPort : public TtyHarnessTest {
protected:
    void TearDown() override {
        for (UInt32 id = 0; id < 3; ++id) UART_CloseDevice(id);
    }
    int master() const { return tty.master(1); }
    int slave() const { return tty.slave(1); }
    attest::LogCapture log;
};

TEST_F(UartPort, OpenSetsRaw115200AndCloseRestoresTheOldSettings) {
    // Start from a cooked line at 9600 with two stop bits, hardware flow
    // control, and flags and control characters that the driver must keep.
    termios before{};
    ASSERT_EQ(0, tcgetattr(slave(), &before));
    before.c_iflag |= IGNBRK | BRKINT | ICRNL | IXON | IXOFF | IUTF8;
    before.c_oflag |= OPOST | ONLCR | OCRNL;
    before.c_lflag |= ISIG | ICANON | ECHO | ECHONL | IEXTEN | ECHOE;
    before.c_cflag = (before.c_cflag & ~(CSIZE | PARENB)) | CS7 | PARENB | CSTOPB | CLOCAL | CRTSCTS;
    before.c_cc[VINTR] = 0x05;
    before.c_cc[VMIN] = 1;
    before.c_cc[VTIME] = 0;
    cfsetspeed(&before, B9600);
    ASSERT_EQ(0, tcsetattr(slave(), TCSANOW, &before));
    ASSERT_EQ(0, tcgetattr(master(), &before));  // what the kernel kept

    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    EXPECT_GT(s_uart_fd[1].load(), 0);
    EXPECT_EQ(before.c_cflag, s_uart_old_settings[1].c_cflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, s_uart_old_settings[1].c_cc, kKernelTermiosCcCount));

    termios raw{};
    ASSERT_EQ(0, tcgetattr(master(), &raw));  // read back from the other side
    EXPECT_EQ(before.c_iflag & ~tcflag_t(0x5EB), raw.c_iflag);
    EXPECT_EQ(before.c_oflag & ~tcflag_t(0x5), raw.c_oflag);
    EXPECT_EQ(before.c_lflag & ~tcflag_t(0x804B), raw.c_lflag);
    EXPECT_EQ((before.c_cflag & ~tcflag_t(0x113F)) | B115200 | CS8, raw.c_cflag);
    EXPECT_EQ(B115200, cfgetospeed(&raw));
    EXPECT_TRUE((raw.c_cflag & CSTOPB) && (raw.c_cflag & CLOCAL) && (raw.c_cflag & CRTSCTS));
    EXPECT_TRUE((raw.c_iflag & IXOFF) && (raw.c_iflag & IUTF8));
    EXPECT_EQ(0, std::memcmp(before.c_cc, raw.c_cc, sizeof raw.c_cc));
    EXPECT_EQ(before.c_line, raw.c_line);

    EXPECT_EQ(1, UART_CloseDevice(1));
    EXPECT_EQ(0, s_uart_fd[1].load());
    termios after{};
    ASSERT_EQ(0, tcgetattr(master(), &after));
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, after.c_cc, sizeof after.c_cc));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(UartPort, BurstArrivingDuringTheWaitComesBackAsOneBlock) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    static UInt8 buf[1536];
    ReaderThread reader([] { return UART_Read(1, buf, sizeof buf); });
    ASSERT_TRUE(attest::waitInPselect(reader.tid()));
    ASSERT_TRUE(ttytest::writeAll(master(), "AT\r"));
    ASSERT_TRUE(reader.waitDone());
    ASSERT_EQ(3, reader.result());
    EXPECT_EQ("AT\r", std::string(reinterpret_cast<char*>(buf), 3));  // CR not turned into LF
}

TEST_F(UartPort, FullBufferEndsTheBlockAndTheRestComesNext) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    ASSERT_TRUE(ttytest::writeAll(master(), "0123456789"));
    ASSERT_TRUE(attest::waitUntil([&] { return ttytest::inputQueued(slave()) == 10; }));
    UInt8 buf[16] = {};
    ASSERT_EQ(4, UART_Read(1, buf, 4));
    EXPECT_EQ("0123", std::string(reinterpret_cast<char*>(buf), 4));
    ASSERT_EQ(6, UART_Read(1, buf, sizeof buf));
    EXPECT_EQ("456789", std::string(reinterpret_cast<char*>(buf), 6));
    EXPECT_EQ(EAGAIN, errno);  // a block that ends at a pause leaves EAGAIN
}

TEST_F(UartPort, NeverOpenedPortIsLeftAlone) {
    // Standard input gets a byte of its own: a port that is not open has
    // descriptor 0 in its slot, and that must never be read.
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    const int savedStdin = dup(0);
    ASSERT_EQ(0, dup2(fds[0], 0));
    ASSERT_TRUE(ttytest::writeAll(fds[1], "s"));

    EXPECT_EQ(1, UART_CloseDevice(0));
    EXPECT_EQ(1, UART_CloseDevice(0));
    EXPECT_EQ(0, s_uart_fd[0].load());
    const UInt8 byte = 'x';
    EXPECT_EQ(0, UART_Write(0, &byte, 1));
    UInt8 buf[8];
    errno = 0;
    EXPECT_EQ(0, UART_Read(0, buf, sizeof buf));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_TRUE(ttytest::readable(0));

    dup2(savedStdin, 0);
    close(savedStdin);
    close(fds[0]);
    close(fds[1]);
    EXPECT_FALSE(ttytest::readable(tty.master(0)));
    EXPECT_TRUE(log.lines().empty()) << log.dump();
}

TEST_F(UartPort, PortNeverLandsOnDescriptorZero) {
    // With standard input closed, open() hands out 0, the number that marks
    // a port as not open; the driver moves the port off it.
    const int savedStdin = dup(0);
    close(0);
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    const int fd = s_uart_fd[1].load();
    EXPECT_GT(fd, 0);
    EXPECT_EQ(-1, fcntl(0, F_GETFD));  // nothing left on 0
    const UInt8 byte = 'z';
    EXPECT_EQ(1, UART_Write(1, &byte, 1));
    EXPECT_EQ("z", ttytest::readSome(master(), 1));
    UART_CloseDevice(1);
    dup2(savedStdin, 0);
    close(savedStdin);
}

TEST_F(UartPort, ShutdownHookWritesOneSpaceToAnOpenPortOnly) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    UART_HandleShutdown(1);
    EXPECT_EQ(" ", ttytest::readSome(master(), 1));
    UART_CloseDevice(1);
    UART_HandleShutdown(1);
    UART_HandleShutdown(5);  // not a UART: logged, no assertion
    EXPECT_FALSE(ttytest::readable(master()));
    EXPECT_EQ(2, log.count(kInfo, "UART_HandleShutdown: devID = 1\n")) << log.dump();
    EXPECT_EQ(1, log.count(kInfo, "UART_HandleShutdown: devID = 5\n")) << log.dump();
}

TEST_F(UartPort, FailedOpenLeavesMinusOneAndReadsNothing) {
    ASSERT_TRUE(tty.removeDevice("/dev/ttyS2"));
    EXPECT_EQ(0, UART_OpenDevice(2, 0));
    EXPECT_TRUE(log.has(kError, "UART_OpenDevice open=/dev/ttyS2 failed: No such file or directory\n"))
        << log.dump();
    EXPECT_EQ(-1, s_uart_fd[2].load());
    UInt8 buf[4];
    EXPECT_EQ(0, UART_Read(2, buf, sizeof buf));
    EXPECT_EQ(1, UART_CloseDevice(2));
    EXPECT_EQ(0, s_uart_fd[2].load());
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
    EXPECT_EQ(0, s_uart_fd[1].load());
    const int again = dup(0);  // the driver's descriptor was given back
    EXPECT_EQ(lowestFree, again);
    close(again);
}

TEST_F(UartPort, HungUpLineEndsTheReadWithAnError) {
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    ASSERT_EQ(0, ioctl(slave(), TIOCVHANGUP));
    UInt8 buf[8];
    errno = 0;
    EXPECT_EQ(0, UART_Read(1, buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log.has(kError, "Read: read errno [5]\n")) << log.dump();
}

// The one deterministic pass through both stops; tty_stop_stress_test draws
// the moments at random. A signal sent before the wait stays pending until
// the wait; during the wait the serial manager closes first and another open
// takes the number with data waiting, which the reader must leave alone.
TEST_F(UartPort, StopSignalBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    ttytest::installSigusr2Handler();
    ASSERT_EQ(1, UART_OpenDevice(1, 0));
    const int portFd = s_uart_fd[1].load();
    static UInt8 buf[64];
    {
        ReaderThread reader([] { return UART_Read(1, buf, sizeof buf); }, /*holdBeforeRead=*/true);
        reader.signal();  // blocked in the reader: stays pending until the wait
        EXPECT_EQ(0, ttytest::sigusr2Count().load());
        reader.release();
        ASSERT_TRUE(reader.waitDone());
        EXPECT_EQ(0, reader.result());
        EXPECT_EQ(EAGAIN, reader.error());
        EXPECT_EQ(1, ttytest::sigusr2Count().load());
    }
    ReaderThread reader([] { return UART_Read(1, buf, sizeof buf); });
    ASSERT_TRUE(attest::waitInPselect(reader.tid()));
    UART_CloseDevice(1);
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(portFd, dup2(fds[0], portFd));
    ASSERT_TRUE(ttytest::writeAll(fds[1], "R"));
    reader.signal();
    ASSERT_TRUE(reader.waitDone());
    EXPECT_EQ(0, reader.result());
    EXPECT_EQ(EAGAIN, reader.error());
    EXPECT_TRUE(ttytest::readable(portFd));  // the stranger's byte is still there
    EXPECT_EQ(0, log.countContaining("Read: read errno")) << log.dump();
    close(portFd);
    close(fds[0]);
    close(fds[1]);
}

TEST(UartPortDeath, DeviceIdsAboveTheThirdUartStopTheProcess) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    const char* pattern =
        "common/modem/at/stubs/uart_x_drv:[0-9]+: .*assertion \"devID <= SERIAL_DEVICE_UART_C\" failed";
    UInt8 buf[4] = {};
    for (UInt32 id : {3u, 5u, 24u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        EXPECT_DEATH(UART_OpenDevice(id, 0), pattern);
        EXPECT_DEATH(UART_CloseDevice(id), pattern);
        EXPECT_DEATH(UART_Read(id, buf, sizeof buf), pattern);
        EXPECT_DEATH(UART_Write(id, buf, 1), pattern);
    }
}

}  // namespace
