// The tty drivers' read helpers with bad descriptors and capacities: -1,
// other negative numbers, a closed descriptor, one at or above FD_SETSIZE, a
// timeout of a whole second, capacities of 0 and below. Each gives its
// documented result, writes nothing outside the caller's buffer (canaries on
// both sides) and does not wait for ever. Bad UART device IDs are stopped by
// an assertion (tests/drivers/uart_test.cpp).
#include <android/log.h>
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/uart_x_drv.h"
#include "drivers/usb_control_pipe.h"
#include "drivers/usb_drv.h"
#include "log_capture.h"

namespace {

constexpr int kInfo = ANDROID_LOG_INFO;
constexpr int kError = ANDROID_LOG_ERROR;
constexpr UInt8 kCanary = 0xA5;

struct Guarded {
    explicit Guarded(size_t n) : size(n), area(n + 64, kCanary) { std::memset(area.data() + 32, 0x5A, n); }
    UInt8* data() { return area.data() + 32; }
    bool untouched() const {
        for (size_t i = 0; i < area.size(); ++i) {
            const bool inside = i >= 32 && i < 32 + size;
            if (area[i] != (inside ? 0x5A : kCanary)) return false;
        }
        return true;
    }
    size_t size;
    std::vector<UInt8> area;
};

// A pipe with bytes waiting in it: readable at once.
struct FullPipe {
    int fds[2] = {-1, -1};
    explicit FullPipe(const char* text) {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ADD_FAILURE() << "pipe2";
        if (write(fds[1], text, std::strlen(text)) < 0) ADD_FAILURE() << "write";
    }
    ~FullPipe() {
        close(fds[0]);
        close(fds[1]);
    }
};

// A descriptor number that is closed.
int closedDescriptor() {
    const int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    close(fd);
    return fd;
}

// A descriptor at or above FD_SETSIZE (the soft limit raised if needed), or
// -1 when the process may not have one.
int highDescriptor() {
    struct rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
    if (lim.rlim_cur <= FD_SETSIZE + 10 && lim.rlim_max > FD_SETSIZE + 10) {
        lim.rlim_cur = FD_SETSIZE + 11;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) return -1;
    }
    const int fd = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int high = fcntl(fd, F_DUPFD_CLOEXEC, FD_SETSIZE + 5);
    close(fd);
    return high;
}

TEST(UartBadInput, ReadinessOfBadDescriptorsIsZero) {
    FullPipe p("x");
    EXPECT_EQ(isDataAvailable(p.fds[0], 0), 1);
    EXPECT_EQ(isDataAvailable(-1, 0), 0);
    EXPECT_EQ(isDataAvailable(-2, 0), 0);
    EXPECT_EQ(isDataAvailable(INT32_MIN, 0), 0);
    EXPECT_EQ(isDataAvailable(closedDescriptor(), 0), 0);
    EXPECT_EQ(isDataAvailable(FD_SETSIZE, 0), 0);
    const int high = highDescriptor();
    if (high >= 0) {
        EXPECT_EQ(isDataAvailable(high, 0), 0);
        close(high);
    }
    // A timeout of a whole second or more is outside the contract: the C
    // library and kernel may take it as a longer wait or refuse it. Either
    // way the answer is 0 or 1, and here at once (the pipe is readable).
    for (UInt32 timeout : {1000000u, 0xFFFFFFFFu}) {
        const int r = isDataAvailable(p.fds[0], timeout);
        EXPECT_TRUE(r == 0 || r == 1) << r;
    }
}

TEST(UartBadInput, ReadTtyDataWithBadDescriptorsAndCapacities) {
    attest::LogCapture log;
    Guarded buf(8);
    EXPECT_EQ(ReadTtyData(-1, buf.data(), 8), 0);
    EXPECT_TRUE(log.lines().empty()) << log.dump();

    // Capacities below 1 read nothing, even with bytes waiting.
    FullPipe p("abcdef");
    for (int capacity : {0, -1, INT32_MIN}) {
        errno = 0;
        EXPECT_EQ(ReadTtyData(p.fds[0], buf.data(), capacity), 0);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(buf.untouched());
    EXPECT_EQ(isDataAvailable(p.fds[0], 0), 1);  // still all there

    // A descriptor that is closed, or that select cannot take: the wait
    // fails at once with EBADF, logged as a read error.
    int bad[2] = {closedDescriptor(), highDescriptor()};
    for (int fd : bad) {
        if (fd < 0) continue;
        SCOPED_TRACE(fd);
        log.clear();
        errno = 0;
        EXPECT_EQ(ReadTtyData(fd, buf.data(), 8), 0);
        EXPECT_EQ(errno, EBADF);
        EXPECT_TRUE(log.has(kError, "Read: read errno [9]\n")) << log.dump();
    }
    if (bad[1] >= 0) close(bad[1]);
    EXPECT_TRUE(buf.untouched());

    // Capacity 1 with six bytes waiting: one byte, the rest stays.
    EXPECT_EQ(ReadTtyData(p.fds[0], buf.data(), 1), 1);
    EXPECT_EQ(buf.data()[0], 'a');
    EXPECT_EQ(buf.data()[1], 0x5A);
    EXPECT_EQ(ReadTtyData(p.fds[0], buf.data(), 8), 5);
    EXPECT_EQ(std::memcmp(buf.data(), "bcdef", 5), 0);
    EXPECT_EQ(buf.area[31], kCanary);
    EXPECT_EQ(buf.area[40], kCanary);
}

TEST(UsbBadInput, ReadUsbTtyDataWithBadDescriptorsAndCapacities) {
    USB_Control_Pipe_Init();
    attest::LogCapture log;
    Guarded buf(8);
    EXPECT_EQ(ReadUsbTtyData(-1, buf.data(), 8), 0);
    EXPECT_TRUE(log.has(kInfo, "  ReadUsbTtyData: read bytes =0\n")) << log.dump();

    int bad[3] = {-2, closedDescriptor(), highDescriptor()};
    for (int fd : bad) {
        if (fd == -1) continue;
        SCOPED_TRACE(fd);
        errno = 0;
        EXPECT_EQ(ReadUsbTtyData(fd, buf.data(), 8), 0);
        EXPECT_NE(errno, 0);
        EXPECT_EQ(isUsbDataAvailable(fd, 1000), 0);
    }
    if (bad[2] >= 0) close(bad[2]);

    // Capacities below 1 read nothing and do not report the tty as hung up
    // (EIO), which would end a reader.
    FullPipe p("hello");
    for (int capacity : {0, -1, INT32_MIN}) {
        SCOPED_TRACE(capacity);
        errno = 0;
        EXPECT_EQ(ReadUsbTtyData(p.fds[0], buf.data(), capacity), 0);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_TRUE(buf.untouched());
    EXPECT_EQ(ReadUsbTtyData(p.fds[0], buf.data(), 2), 2);
    EXPECT_EQ(std::memcmp(buf.data(), "he", 2), 0);
    EXPECT_EQ(buf.data()[2], 0x5A);
}

}  // namespace
