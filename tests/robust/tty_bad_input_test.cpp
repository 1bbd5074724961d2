// The tty drivers' read helpers with bad descriptors and capacities: each
// gives its documented result, writes nothing outside the caller's buffer and
// does not wait for ever.
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "drivers/uart_x_drv.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "log_capture.h"

namespace {

TEST(TtyBadInput, ReadHelpersWithBadDescriptorsAndCapacities) {
    USB_Control_Pipe_Init();
    const int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(closed);
    // select() fails on bad descriptors and leaves its set untouched: only a
    // positive result may count as readable. A number at or above FD_SETSIZE
    // does not fit a set at all.
    for (int fd : {INT32_MIN, closed, FD_SETSIZE}) {
        EXPECT_EQ(isDataAvailable(fd, 0), 0) << fd;
        EXPECT_EQ(isUsbDataAvailable(fd, 1000), 0) << fd;
    }
    struct Helper {
        UInt16 (*read)(int fd, UInt8* buf, int capacity);
        attest::LogLine badDescriptor;  // the line a bad descriptor logs
    };
    for (const Helper& h : {Helper{ReadTtyData, {ANDROID_LOG_ERROR, "", "Read: read errno [9]\n"}},
                            Helper{ReadUsbTtyData, {ANDROID_LOG_INFO, "", "  ReadUsbTtyData: select=0\n"}}}) {
        attest::LogCapture log;
        std::string buf(10, 'Z');
        UInt8* inner = reinterpret_cast<UInt8*>(&buf[1]);
        for (int fd : {-2, closed, FD_SETSIZE}) {
            errno = 0;
            EXPECT_EQ(h.read(fd, inner, 8), 0) << fd;
            EXPECT_NE(errno, 0) << fd;
        }
        EXPECT_TRUE(log.has(h.badDescriptor.priority, h.badDescriptor.text)) << log.dump();
        // Capacities below 1 read nothing, even with bytes waiting, and do
        // not report a hung-up tty (EIO), which would end a reader.
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        ASSERT_EQ(6, write(fds[1], "abcdef", 6));
        for (int capacity : {0, INT32_MIN}) {
            errno = 0;
            EXPECT_EQ(h.read(fds[0], inner, capacity), 0) << capacity;
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(h.read(fds[0], inner, 1), 1);
        EXPECT_EQ(h.read(fds[0], inner + 1, 8), 5);
        EXPECT_EQ("Zabcdef" "ZZZ", buf);
        close(fds[0]);
        close(fds[1]);
        EXPECT_EQ(h.read(-1, inner, 8), 0);  // a port whose open failed: nothing, at once
    }
}

}  // namespace
