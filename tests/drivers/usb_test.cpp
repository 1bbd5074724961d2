// USB gadget tty driver on a real pseudo-terminal bound over /dev/ttyGS0.
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "drivers/uart_x_drv.h"
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

class UsbTty : public attest::TtyHarnessTest {
protected:
    void SetUp() override {
        TtyHarnessTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        USB_Control_Pipe_Init();
        log.clear();
    }
    void TearDown() override { USB_CloseDevice(); }
    int master() const { return tty.master(TtyHarness::kUsb); }
    int slave() const { return tty.slave(TtyHarness::kUsb); }
    static bool controlPipeHolds() { return isDataAvailable(s_control_pipe[0], 0) == 1; }
    attest::LogCapture log;
};

TEST_F(UsbTty, OpenOfAnOpenTtyChangesNothing) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    const int fd = s_usb_fd.load();
    USB_Control_Pipe_Send_Stop();
    log.clear();
    EXPECT_EQ(1, USB_OpenDevice(0));
    EXPECT_EQ(fd, s_usb_fd.load());
    ASSERT_EQ(1u, log.lines().size()) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "USB_OpenDevice\n"));
    EXPECT_TRUE(controlPipeHolds());  // not drained
}

TEST_F(UsbTty, MissingTtyTakesSixAttemptsAndStillDrainsThePipes) {
    ASSERT_TRUE(tty.removeDevice("/dev/ttyGS0"));
    USB_Control_Pipe_Send_Stop();
    USB_Control_Pipe_Send_Ack();
    log.clear();
    EXPECT_EQ(0, USB_OpenDevice(0));
    EXPECT_EQ(-1, s_usb_fd.load());
    EXPECT_EQ(6, log.count(kError, "USB_OpenDevice failed: No such file or directory\n")) << log.dump();
    EXPECT_EQ(1, log.count(kError, "USB_OpenDevice failed: 6 times\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_ack_pipe has remaining data=OK!\n")) << log.dump();
    EXPECT_FALSE(controlPipeHolds());
}

TEST_F(UsbTty, StopLeftFromAnEarlierPauseIsDiscardedAtOpen) {
    USB_Control_Pipe_Send_Stop();
    ASSERT_EQ(1, USB_OpenDevice(0));
    EXPECT_TRUE(log.has(kInfo, "  USB_OpenDevice: s_control_pipe has remaining data=STOP!\n")) << log.dump();
    EXPECT_EQ(0, log.countContaining("s_ack_pipe"));
    ASSERT_TRUE(ttytest::writeAll(master(), "hi"));
    UInt8 buf[16];
    ASSERT_EQ(2, USB_Read(buf, sizeof buf));  // the old STOP does not stop this read
    EXPECT_EQ("hi", std::string(reinterpret_cast<char*>(buf), 2));
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: select=1\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: read bytes =2\n")) << log.dump();
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

TEST_F(UsbTty, StopWinsOverWaitingDataWhichStaysUnread) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_TRUE(ttytest::writeAll(master(), "data"));
    ASSERT_TRUE(attest::waitUntil([&] { return ttytest::inputQueued(slave()) == 4; }));
    USB_Control_Pipe_Send_Stop();
    UInt8 buf[16];
    EXPECT_EQ(STOP_READING_USB_TTY, USB_Read(buf, sizeof buf));
    EXPECT_TRUE(log.has(kInfo, "  isUsbDataAvailable: flowcontrol:STOP\n")) << log.dump();
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: select=-1\n")) << log.dump();
    EXPECT_EQ(0, log.countContaining("read bytes"));
    EXPECT_EQ(4, ttytest::inputQueued(slave()));
    ASSERT_EQ(4, USB_Read(buf, sizeof buf));
    EXPECT_EQ("data", std::string(reinterpret_cast<char*>(buf), 4));
}

TEST_F(UsbTty, SeveralStopsWaitingGiveOneStop) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    for (int i = 0; i < 3; ++i) USB_Control_Pipe_Send_Stop();
    UInt8 buf[16];
    EXPECT_EQ(STOP_READING_USB_TTY, USB_Read(buf, sizeof buf));
    EXPECT_TRUE(log.has(kInfo, "  isUsbDataAvailable: flowcontrol:STOPSTOPSTOP\n")) << log.dump();
    EXPECT_FALSE(controlPipeHolds());
}

// The one deterministic pass through both stops; tty_stop_stress_test draws
// the moments at random. See the UART driver's test of the same name.
TEST_F(UsbTty, StopSignalBeforeOrDuringTheWaitEndsTheReadAndSparesAReusedNumber) {
    ttytest::installSigusr2Handler();
    ASSERT_EQ(1, USB_OpenDevice(0));
    const int ttyFd = s_usb_fd.load();
    static UInt8 buf[64];
    {
        ReaderThread reader([] { return USB_Read(buf, sizeof buf); }, /*holdBeforeRead=*/true);
        reader.signal();
        reader.release();
        ASSERT_TRUE(reader.waitDone());
        EXPECT_EQ(0, reader.result());
        EXPECT_EQ(EAGAIN, reader.error());
        EXPECT_EQ(1, ttytest::sigusr2Count().load());
        EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: select=0\n")) << log.dump();
    }
    ReaderThread reader([] { return USB_Read(buf, sizeof buf); });
    ASSERT_TRUE(attest::waitInPselect(reader.tid()));
    USB_CloseDevice();
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    ASSERT_EQ(ttyFd, dup2(fds[0], ttyFd));
    ASSERT_TRUE(ttytest::writeAll(fds[1], "R"));
    reader.signal();
    ASSERT_TRUE(reader.waitDone());
    EXPECT_EQ(0, reader.result());
    EXPECT_EQ(EAGAIN, reader.error());
    EXPECT_TRUE(ttytest::readable(ttyFd));
    close(ttyFd);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(UsbTty, OpenKeepsTheSpeedAndCloseRestoresEverything) {
    termios before{};
    ASSERT_EQ(0, tcgetattr(slave(), &before));
    before.c_iflag |= ICRNL | IXON | IXOFF;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    before.c_cflag = (before.c_cflag & ~CSIZE) | CS7 | PARENB | CSTOPB;
    before.c_cc[VMIN] = 3;
    cfsetspeed(&before, B9600);
    ASSERT_EQ(0, tcsetattr(slave(), TCSANOW, &before));
    ASSERT_EQ(0, tcgetattr(master(), &before));

    ASSERT_EQ(1, USB_OpenDevice(0));
    EXPECT_EQ(O_RDWR | O_NONBLOCK, fcntl(s_usb_fd.load(), F_GETFL) & (O_ACCMODE | O_NONBLOCK));
    EXPECT_EQ(FD_CLOEXEC, fcntl(s_usb_fd.load(), F_GETFD));
    termios raw{};
    ASSERT_EQ(0, tcgetattr(master(), &raw));
    EXPECT_EQ(B9600, cfgetospeed(&raw));
    EXPECT_EQ(before.c_iflag & ~tcflag_t(0x5EB), raw.c_iflag);
    EXPECT_EQ(before.c_oflag & ~tcflag_t(0x5), raw.c_oflag);
    EXPECT_EQ(before.c_lflag & ~tcflag_t(0x804B), raw.c_lflag);
    EXPECT_EQ((before.c_cflag & ~tcflag_t(0x130)) | CS8, raw.c_cflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, raw.c_cc, sizeof raw.c_cc));

    EXPECT_EQ(1, USB_CloseDevice());
    EXPECT_EQ(-1, s_usb_fd.load());
    EXPECT_TRUE(log.has(kInfo, "USB_CloseDevice\n"));
    termios after{};
    ASSERT_EQ(0, tcgetattr(master(), &after));
    EXPECT_EQ(before.c_iflag, after.c_iflag);
    EXPECT_EQ(before.c_oflag, after.c_oflag);
    EXPECT_EQ(before.c_cflag, after.c_cflag);
    EXPECT_EQ(before.c_lflag, after.c_lflag);
    EXPECT_EQ(0, std::memcmp(before.c_cc, after.c_cc, sizeof after.c_cc));
}

TEST_F(UsbTty, ClosedTtyIsLeftAlone) {
    EXPECT_EQ(1, USB_CloseDevice());
    EXPECT_EQ(0, log.countContaining("USB_CloseDevice"));
    const UInt8 byte = 'x';
    EXPECT_EQ(0, USB_Write(&byte, 1));
    UInt8 buf[8];
    errno = 0;
    EXPECT_EQ(0, USB_Read(buf, sizeof buf));
    EXPECT_EQ(EAGAIN, errno);
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();
}

TEST_F(UsbTty, HungUpTtyEndsTheReadWithAnError) {
    ASSERT_EQ(1, USB_OpenDevice(0));
    ASSERT_EQ(0, ioctl(slave(), TIOCVHANGUP));
    UInt8 buf[8];
    errno = 0;
    EXPECT_EQ(0, USB_Read(buf, sizeof buf));
    EXPECT_EQ(EIO, errno);
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();
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
            for (volatile unsigned k = 0; k < spin; k = k + 1) {
            }
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
        char text[80];
        while (isDataAvailable(s_ack_pipe[0], 0) == 1 && read(s_ack_pipe[0], text, sizeof text) > 0) {
        }
        log.clear();
    }
}

}  // namespace
