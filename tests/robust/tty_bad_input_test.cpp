// The tty drivers' read helpers with bad descriptors and capacities: negative
// numbers, a closed descriptor, one at or above FD_SETSIZE (a set that size
// cannot hold it, open or not), capacities of 0 and below. Each gives its
// documented result, writes nothing outside the caller's buffer and does not
// wait for ever.
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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
    // positive result may count as readable.
    for (int fd : {INT32_MIN, closed, FD_SETSIZE}) {
        EXPECT_EQ(isDataAvailable(fd, 0), 0) << fd;
        EXPECT_EQ(isUsbDataAvailable(fd, 1000), 0) << fd;
    }
    struct Helper {
        const char* name;
        UInt16 (*read)(int fd, UInt8* buf, int capacity);
        int priority;
        std::string badDescriptorLine;  // logged for a bad descriptor
    };
    const Helper helpers[] = {
        {"ReadTtyData", ReadTtyData, ANDROID_LOG_ERROR, "Read: read errno [9]\n"},
        {"ReadUsbTtyData", ReadUsbTtyData, ANDROID_LOG_INFO, "  ReadUsbTtyData: select=0\n"},
    };
    for (const Helper& h : helpers) {
        SCOPED_TRACE(h.name);
        attest::LogCapture log;
        UInt8 buf[10];
        std::memset(buf, 0x5A, sizeof buf);
        for (int fd : {-2, closed, FD_SETSIZE}) {
            errno = 0;
            EXPECT_EQ(h.read(fd, buf + 1, 8), 0) << fd;
            EXPECT_NE(errno, 0) << fd;
        }
        EXPECT_TRUE(log.has(h.priority, h.badDescriptorLine)) << log.dump();
        // Capacities below 1 read nothing, even with bytes waiting, and do
        // not report a hung-up tty (EIO), which would end a reader.
        int fds[2];
        ASSERT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        ASSERT_EQ(6, write(fds[1], "abcdef", 6));
        for (int capacity : {0, INT32_MIN}) {
            errno = 0;
            EXPECT_EQ(h.read(fds[0], buf + 1, capacity), 0) << capacity;
            EXPECT_EQ(errno, EINVAL);
        }
        EXPECT_EQ(std::string(10, '\x5A'), std::string(buf, buf + 10));
        // Capacity 1 with six bytes waiting: one byte, the rest stays.
        EXPECT_EQ(h.read(fds[0], buf + 1, 1), 1);
        EXPECT_EQ(h.read(fds[0], buf + 2, 8), 5);
        EXPECT_EQ("\x5A" "abcdef" "\x5A\x5A\x5A", std::string(buf, buf + 10));
        close(fds[0]);
        close(fds[1]);
        // -1, the descriptor of a port that failed to open, reads nothing at
        // once; only the USB helper logs it.
        log.clear();
        EXPECT_EQ(h.read(-1, buf, 8), 0);
        EXPECT_EQ(h.read == ReadUsbTtyData ? 1 : 0, log.count(ANDROID_LOG_INFO, "  ReadUsbTtyData: read bytes =0\n"));
        EXPECT_EQ(h.read == ReadUsbTtyData ? 1u : 0u, log.lines().size()) << log.dump();
    }
}

}  // namespace
