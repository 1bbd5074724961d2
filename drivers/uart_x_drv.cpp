// UART driver: /dev/ttyS0../dev/ttyS2 in raw 115200 8N1, and the port mask
// from the "console=" arguments of the kernel command line.
//
// How a blocked read ends: the reader never blocks in read(). Every wait (the
// first byte's, without limit, and the 100 ms between bytes) goes through
// at_pselect_read (signal_wait.h says why), and read() runs only once the
// wait has seen input. An interrupted wait ends the block with errno EAGAIN
// and no log line, so the reader goes round and finds that it must stop.
//
// The closed number may be reused while the reader still waits on it: see
// guarded_fd.h for how every read and write of a port is kept to its own file.
// The one remaining way to block is outside the library's model: a foreign
// reader of the same tty taking the byte between the wait and the read, which
// would leave that read() waiting for the next byte with the port lock held.
#include "uart_x_drv.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "../osal/at_log.h"
#include "../osal/at_assert.h"
#include "guarded_fd.h"
#include "signal_wait.h"
#include "uart_x_drv_internal.h"

// The record handed to TCGETS/TCSETS must be the kernel's (see
// tty_termios_internal.h); prove that KernelTermios is exactly that record.
static_assert(sizeof(KernelTermios) == sizeof(struct termios), "kernel termios size");
static_assert(offsetof(KernelTermios, c_line) == offsetof(struct termios, c_line), "c_line offset");
static_assert(offsetof(KernelTermios, c_cc) == offsetof(struct termios, c_cc), "c_cc offset");
static_assert(kKernelTermiosCcCount == NCCS, "control characters");
static_assert(kRawClearIflag == (IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON), "iflag");
static_assert(kRawClearOflag == (OPOST | ONLCR), "oflag");
static_assert(kRawClearLflag == (ISIG | ICANON | ECHO | ECHONL | IEXTEN), "lflag");

const char* const s_uart_dev_path[kUartPortCount] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2"};
std::atomic<int> s_uart_fd[kUartPortCount];
KernelTermios s_uart_old_settings[kUartPortCount];

namespace {

constexpr const char* kSourceFile = "common/modem/at/stubs/uart_x_drv";
constexpr const char* kCmdlinePath = "/proc/cmdline";
constexpr int kLineSize = 4096;

// c_cflag: CBAUD, CSIZE and PARENB go; B115200 and CS8 come in.
constexpr UInt32 kUartClearCflag = 0x113Fu;
constexpr UInt32 kUartSetCflag = 0x1032u;
static_assert(kUartClearCflag == (CBAUD | CSIZE | PARENB), "cflag clear");
static_assert(kUartSetCflag == (B115200 | CS8), "cflag set");

constexpr long kInterByteWaitUs = 100000;

// Each port's lock and generation (guarded_fd.h).
FdGuard s_uart_guard[kUartPortCount];

void checkPort(UInt32 devID, const char* function) {
    AT_ASSERT_IN(function, devID <= 2u, "devID <= SERIAL_DEVICE_UART_C");
}

// Waits until fd is readable, with SIGUSR2 open only during the wait (see
// signal_wait.h). timeoutUs < 0 waits without limit. 1 = readable,
// 0 = timed out, -1 = failed (errno; EINTR when a signal ended the wait).
int waitReadable(int fd, long timeoutUs) {
    if (!fdFitsSelect(fd)) {
        errno = EBADF;
        return -1;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    const int r = at_pselect_read(fd + 1, &set, timeoutUs);
    if (r < 0) return -1;
    return (r > 0 && FD_ISSET(fd, &set)) ? 1 : 0;
}

enum class ByteRead { Got, Failed, Lost };

// Reads one byte unless the port was closed since the read began
// (readIfCurrent). The read() cannot block here: the wait before it has just
// seen a byte, and this thread is the port's only reader.
ByteRead readByte(UInt8* byte, const FdSnapshot& ref) {
    ssize_t n = -1;
    if (!readIfCurrent(ref, [&] { n = read(ref.fd, byte, 1); })) return ByteRead::Lost;
    if (n == 1) return ByteRead::Got;
    // A read of 0 bytes after the wait saw input is an end of file: the tty
    // has been hung up and every further read would return 0 at once. It is
    // reported as EIO, so that the reader thread ends with a read error
    // instead of reading again for ever.
    if (n == 0) errno = EIO;
    return ByteRead::Failed;
}

// One block from fd: the first byte waits without limit, further bytes as
// long as each arrives within 100 ms, up to capacity bytes.
//
// The waits end when SIGUSR2 arrives (the serial manager's way to stop a
// reader after it has closed the device). Then, and when the port was closed
// during a wait, the block ends with errno EAGAIN and without a log line, so
// that the reader goes round, finds that it must stop and ends. The
// inter-byte wait goes through at_pselect_read as well, so that a stop during
// a burst ends at once and consumes the signal instead of leaving it pending.
// A block that ends at a pause or a full buffer also leaves errno EAGAIN: a
// reader that finds its device being stopped just then drops the block
// quietly.
//
// A non-blocking descriptor (readFirst) is read at once instead: its read
// cannot hang, and with nothing there it fails with EAGAIN, which returns 0
// without a log line, so a caller that polls is never held in the wait.
UInt16 readTtyBlock(UInt8* buf, int capacity, const FdSnapshot& ref, bool readFirst) {
    const int fd = ref.fd;
    if (fd == -1) return 0;
    if (capacity < 1) {
        errno = EINVAL;
        return 0;
    }
    int w = readFirst ? 1 : waitReadable(fd, -1);
    if (w <= 0) {
        if (w == 0 || errno == EINTR || lost(ref)) {
            errno = EAGAIN;
            return 0;
        }
        AT_LOGE("Read: read errno [%d]\n", errno);
        return 0;
    }
    switch (readByte(&buf[0], ref)) {
        case ByteRead::Got:
            break;
        case ByteRead::Lost:
            errno = EAGAIN;
            return 0;
        case ByteRead::Failed:
            if (errno != EAGAIN) AT_LOGE("Read: read errno [%d]\n", errno);
            return 0;
    }
    int count = 1;
    for (;;) {
        w = waitReadable(fd, kInterByteWaitUs);
        if (w <= 0) break;
        // The wait comes first: a full buffer still waits once.
        if (count >= capacity) break;
        UInt8 byte = 0;
        const ByteRead r = readByte(&byte, ref);
        if (r == ByteRead::Lost) break;
        if (r == ByteRead::Failed) {
            AT_LOGE("Read: read errno [%d]\n", errno);
            return static_cast<UInt16>(count);
        }
        buf[count++] = byte;
    }
    errno = EAGAIN;
    return static_cast<UInt16>(count);
}

// Flag of one "console=" token: 1, 2 or 4 for ttyS0..ttyS2, else 0.
int GetConsoleFromStr(char* token) {
    char* comma = std::strchr(token, ',');
    if (comma != nullptr) *comma = '\0';
    const char* port = std::strstr(token, "ttyS");
    int flag = 0;
    const char* portText = "";
    if (port != nullptr) {
        portText = port + 4;
        const int num = std::atoi(portText);
        if (num >= 0 && num <= 2) flag = 1 << num;
    }
    // A token without "ttyS" has no port text; it is logged as empty.
    AT_LOGI("GetConsoleFromStr: portNum:%s consoleFlag: %d\n", portText, flag);
    return flag;
}

}  // namespace

extern "C" {

int UART_GetAvailablePorts(void) {
    char* line = static_cast<char*>(std::malloc(kLineSize));
    if (line == nullptr) {
        AT_LOGE("UART_GetAvailablePorts: Out of memory! Disabling all UART ports\n");
        return 0;
    }
    FILE* file = std::fopen(kCmdlinePath, "r");
    if (file == nullptr) {
        AT_LOGE("UART_GetAvailablePorts: error opening '%s'\n", kCmdlinePath);
        std::free(line);
        return 0;
    }
    UInt8 mask = 0;
    while (std::fgets(line, kLineSize, file) != nullptr) {
        if (line[0] == '\0') continue;
        // Only the space separates arguments here; a tab or the line end
        // stays inside its token.
        for (char* token = std::strtok(line, " "); token != nullptr; token = std::strtok(nullptr, " ")) {
            if (std::strncmp(token, "console=", 8) == 0) {
                mask = static_cast<UInt8>(mask | GetConsoleFromStr(token));
            }
        }
    }
    if (std::ferror(file) != 0) {
        AT_LOGI("UART_GetAvailablePorts: error while reading file '%s'\n", kCmdlinePath);
    }
    std::fclose(file);
    std::free(line);
    return mask;
}

Int32 UART_OpenDevice(UInt32 devID, UInt32 openParam) {
    (void)openParam;
    checkPort(devID, __func__);
    // Open only publishes a descriptor; retiring one (the failure path below,
    // and close) is what takes the port lock.
    const char* path = s_uart_dev_path[devID];
    int fd = open(path, O_RDWR);
    if (fd == 0) {
        // 0 marks a port that is not open, so a host that runs with its
        // standard input closed must not have the port on descriptor 0:
        // move it to the lowest free number above.
        const int moved = fcntl(fd, F_DUPFD, 1);
        close(fd);
        fd = moved;
    }
    s_uart_fd[devID] = fd;
    if (fd < 0) {
        AT_LOGE("UART_OpenDevice open=%s failed: %s\n", path, std::strerror(errno));
        return 0;
    }
    KernelTermios found;
    const int got = ioctl(fd, TCGETS, &found);
    if (got != 0) {
        // The slot keeps what it held: the settings of an earlier open, or
        // zeros. The raw changes are made to that all the same.
        AT_LOGE("UART_OpenDevice unable to store old settings: retval=%d, errno=%d\n", got, errno);
    } else {
        s_uart_old_settings[devID] = found;
    }
    KernelTermios raw = s_uart_old_settings[devID];
    makeRawInput(&raw);
    raw.c_cflag = (raw.c_cflag & ~kUartClearCflag) | kUartSetCflag;
    const int set = ioctl(fd, TCSETS, &raw);
    if (set == 0) return 1;
    AT_LOGE("UART_OpenDevice failed: retval=%d, errno=%d\n", set, errno);
    // The device layer never closes a port whose open failed, so a port left
    // open here would leak its descriptor at the next open. It is closed
    // (its settings were not changed) and left not open.
    s_uart_guard[devID].retire([&] {
        close(fd);
        s_uart_fd[devID] = 0;
    });
    return 0;
}

Int32 UART_CloseDevice(UInt32 devID) {
    checkPort(devID, __func__);
    // A reader of this port may be waiting on the descriptor in another
    // thread; the serial manager signals it next (guarded_fd.h).
    s_uart_guard[devID].retire([&] {
        const int fd = s_uart_fd[devID].load();
        if (fd == 0) return;
        ioctl(fd, TCSETS, &s_uart_old_settings[devID]);
        close(fd);
        s_uart_fd[devID] = 0;
    });
    return 1;
}

UInt16 UART_Read(UInt32 devID, UInt8* buf, UInt16 capacity) {
    checkPort(devID, __func__);
    const FdSnapshot ref = s_uart_guard[devID].snapshot([&] { return s_uart_fd[devID].load(); });
    if (ref.fd == 0 || ref.fd == -1) {
        // Not open. Descriptor 0 is not the port and must not be read. Through
        // the device layer this happens only when a close has overtaken the
        // read, i.e. while the reader is being stopped, so it reads as
        // "nothing, go round".
        errno = EAGAIN;
        return 0;
    }
    return readTtyBlock(buf, capacity, ref, false);  // the port is opened blocking
}

UInt16 UART_Write(UInt32 devID, const UInt8* buf, UInt16 len) {
    checkPort(devID, __func__);
    // Under the port's lock, so that a write never reaches a reused
    // descriptor number (guarded_fd.h):
    // the reader closes and reopens the port at the end of every pause while
    // other clients of the device may be sending. The SIGUSR2 handler writes
    // here too (UART_HandleShutdown); it runs on the reader only inside a
    // wait or at the reader's end, where the reader holds no lock.
    std::lock_guard<std::mutex> guard(s_uart_guard[devID].lock);
    const int fd = s_uart_fd[devID].load();
    if (fd == 0) return 0;
    return static_cast<UInt16>(write(fd, buf, len));
}

void UART_HandleShutdown(UInt32 devID) {
    AT_LOGI("UART_HandleShutdown: devID = %d\n", static_cast<int>(devID));
    if (devID <= 2u) {
        static const UInt8 kSpace[1] = {' '};
        UART_Write(devID, kSpace, 1);
    }
}

int isDataAvailable(int fd, UInt32 timeoutUs) {
    if (!fdFitsSelect(fd)) return 0;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    struct timeval tv;
    tv.tv_sec = 0;
    tv.tv_usec = static_cast<suseconds_t>(timeoutUs);
    // select() leaves the set untouched when it fails (EINTR, EBADF), so the
    // bit alone would report a failed wait as readable; only a positive
    // result counts.
    const int r = select(fd + 1, &set, nullptr, nullptr, &tv);
    return (r > 0 && FD_ISSET(fd, &set)) ? 1 : 0;
}

UInt16 ReadTtyData(int fd, UInt8* buf, int capacity) {
    const int flags = fd == -1 ? 0 : fcntl(fd, F_GETFL);
    return readTtyBlock(buf, capacity, bareSnapshot(fd), flags != -1 && (flags & O_NONBLOCK) != 0);
}

}  // extern "C"
