// The tty drivers' read helpers with bad descriptors and capacities: negative
// numbers, a closed descriptor, one at or above FD_SETSIZE, capacities of 0
// and below. Each gives its documented result, writes nothing outside the
// caller's buffer and does not wait for ever.
#include <android/log.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "drivers/uart_x_drv.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "log_capture.h"

namespace {

// A pipe with bytes waiting in it: readable at once.
struct FullPipe {
    int fds[2] = {-1, -1};
    explicit FullPipe(const char* text) {
        EXPECT_EQ(0, pipe2(fds, O_CLOEXEC | O_NONBLOCK));
        EXPECT_EQ(static_cast<ssize_t>(std::strlen(text)), write(fds[1], text, std::strlen(text)));
    }
    ~FullPipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

// Bad descriptors: a closed one, and one at or above FD_SETSIZE (the soft
// limit raised if needed) or -1 when the process may not have one.
struct BadDescriptors {
    int closed = open("/dev/null", O_RDONLY | O_CLOEXEC);
    int high = -1;
    BadDescriptors() {
        close(closed);
        rlimit lim{};
        getrlimit(RLIMIT_NOFILE, &lim);
        if (lim.rlim_cur <= FD_SETSIZE + 10 && lim.rlim_max > FD_SETSIZE + 10) {
            lim.rlim_cur = FD_SETSIZE + 11;
            setrlimit(RLIMIT_NOFILE, &lim);
        }
        high = fcntl(0, F_DUPFD_CLOEXEC, FD_SETSIZE + 5);
    }
    ~BadDescriptors() {
        if (high >= 0) close(high);
    }
};

TEST(TtyBadInput, ReadinessOfBadDescriptorsIsZero) {
    FullPipe p("x");
    BadDescriptors bad;
    EXPECT_EQ(isDataAvailable(p.fds[0], 0), 1);
    // select() fails on these and leaves its set untouched: only a positive
    // result may count as readable.
    for (int fd : {-1, INT32_MIN, bad.closed, FD_SETSIZE, bad.high}) {
        EXPECT_EQ(isDataAvailable(fd, 0), 0) << fd;
    }
}

TEST(TtyBadInput, ReadTtyDataWithBadDescriptorsAndCapacities) {
    attest::LogCapture log;
    UInt8 buf[10];
    std::memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(ReadTtyData(-1, buf + 1, 8), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    // Capacities below 1 read nothing, even with bytes waiting.
    FullPipe p("abcdef");
    for (int capacity : {0, -1, INT32_MIN}) {
        errno = 0;
        EXPECT_EQ(ReadTtyData(p.fds[0], buf + 1, capacity), 0);
        EXPECT_EQ(errno, EINVAL);
    }
    // A descriptor that is closed, or that select cannot take: the wait
    // fails at once with EBADF, logged as a read error.
    BadDescriptors bad;
    for (int fd : {bad.closed, bad.high}) {
        if (fd < 0) continue;
        log.clear();
        errno = 0;
        EXPECT_EQ(ReadTtyData(fd, buf + 1, 8), 0) << fd;
        EXPECT_EQ(errno, EBADF);
        EXPECT_TRUE(log.has(ANDROID_LOG_ERROR, "Read: read errno [9]\n")) << log.dump();
    }
    EXPECT_EQ(std::string(10, '\x5A'), std::string(buf, buf + 10));
    // Capacity 1 with six bytes waiting: one byte, the rest stays.
    EXPECT_EQ(ReadTtyData(p.fds[0], buf + 1, 1), 1);
    EXPECT_EQ(ReadTtyData(p.fds[0], buf + 2, 8), 5);
    EXPECT_EQ("\x5A" "abcdef" "\x5A\x5A\x5A", std::string(buf, buf + 10));
}

TEST(TtyBadInput, ReadUsbTtyDataWithBadDescriptorsAndCapacities) {
    USB_Control_Pipe_Init();
    attest::LogCapture log;
    UInt8 buf[10];
    std::memset(buf, 0x5A, sizeof buf);
    EXPECT_EQ(ReadUsbTtyData(-1, buf + 1, 8), 0);
    EXPECT_TRUE(log.has(ANDROID_LOG_INFO, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();
    BadDescriptors bad;
    for (int fd : {-2, bad.closed, bad.high}) {
        if (fd == -1) continue;
        errno = 0;
        EXPECT_EQ(ReadUsbTtyData(fd, buf + 1, 8), 0) << fd;
        EXPECT_NE(errno, 0);
        EXPECT_EQ(isUsbDataAvailable(fd, 1000), 0);
    }
    // Capacities below 1 read nothing and do not report the tty as hung up
    // (EIO), which would end a reader.
    FullPipe p("hello");
    for (int capacity : {0, -1, INT32_MIN}) {
        errno = 0;
        EXPECT_EQ(ReadUsbTtyData(p.fds[0], buf + 1, capacity), 0) << capacity;
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(std::string(10, '\x5A'), std::string(buf, buf + 10));
    EXPECT_EQ(ReadUsbTtyData(p.fds[0], buf + 1, 2), 2);
    EXPECT_EQ("\x5A" "he" "\x5A", std::string(buf, buf + 4));
}

}  // namespace
