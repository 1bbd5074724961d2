// USB gadget tty driver: /dev/ttyGS0, read together with the USB control
// pipe so that a flow-control STOP wakes the reader.
//
// The reader's wait has no time limit; the serial manager ends it with a
// close and SIGUSR2, through at_pselect_read (signal_wait.h). The read after
// the wait never reaches a descriptor number that a close has given back
// (guarded_fd.h); the tty is non-blocking, so that read never waits with the
// lock held. The control pipe is read after select saw it readable, under the
// pipe's reader lock and after a second look, so a drain by an open on
// another thread in between cannot make that read wait.
#include "usb_drv.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "../osal/at_log.h"
#include "guarded_fd.h"
#include "signal_wait.h"
#include "uart_x_drv.h"
#include "usb_control_pipe_internal.h"
#include "usb_drv_internal.h"

const char* const s_usb_dev_path = "/dev/ttyGS0";
std::atomic<int> s_usb_fd{-1};
KernelTermios s_usb_old_settings;

namespace {

constexpr int kOpenAttempts = 6;
// c_cflag: CSIZE and PARENB go, CS8 comes in; the speed stays as it is.
constexpr UInt32 kUsbClearCflag = 0x130u;
constexpr UInt32 kUsbSetCflag = 0x30u;
constexpr int kStopAvailable = -1;

// The tty's lock and generation (guarded_fd.h).
FdGuard s_usb_guard;

// Empties what is left in one control pipe: one read of at most 79 bytes,
// which never waits (usb_control_pipe_internal.h). When the poll saw data but
// the read then fails (or finds the write end closed), nothing is logged and
// the open goes on: there is no text to discard, and the reader's own read of
// the control pipe reports a broken pipe as "control pipe read error".
void drainPipe(ssize_t (*readIfReady)(int, char (&)[80]), int readEnd, const char* name) {
    char text[80];
    if (readIfReady(readEnd, text) <= 0) return;
    AT_LOGI("  USB_OpenDevice: %s has remaining data=%s!\n", name, text);
}

UInt16 readUsbBlock(UInt8* buf, int capacity, const FdSnapshot& ref) {
    const int fd = ref.fd;
    if (fd == -1) {
        AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", 0);
        return 0;
    }
    // No room: a read() of 0 bytes would return 0 even with input waiting,
    // and that would be taken below for the end of file of a hung-up tty
    // (EIO), which ends the reader. Nothing is read and nothing waited for.
    if (capacity < 1) {
        AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", 0);
        errno = EINVAL;
        return 0;
    }
    const int sel = isUsbDataAvailable(fd, 0);
    AT_LOGI("  ReadUsbTtyData: select=%d\n", sel);
    if (sel == kStopAvailable) return STOP_READING_USB_TTY;
    if (sel == 0) return 0;
    ssize_t n = -1;
    if (!readIfCurrent(ref, [&] { n = read(fd, buf, static_cast<size_t>(capacity)); })) {
        // Closed while the reader waited: as for an interrupted wait, the
        // reader goes round and finds that it must stop.
        AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", 0);
        errno = EAGAIN;
        return 0;
    }
    if (n >= 0) {
        AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", static_cast<int>(n));
        // A read of 0 bytes after select saw input is an end of file: the
        // gadget tty was hung up, and select would report it readable again
        // at once. errno EIO makes the reader end with a read error instead
        // of spinning.
        if (n == 0) errno = EIO;
        return static_cast<UInt16>(n);
    }
    if (errno != EAGAIN) AT_LOGE("Read: read errno [%d]\n", errno);
    AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", 0);
    return 0;
}

// Raw mode with 8 data bits; the speed stays as it is. The open succeeds,
// without a log line, whatever the two requests say. The one reaction left is
// to leave the settings alone when they could not be read: the copy would
// start from a record that is not this tty's (zeros at the first open, whose
// speed B0 would hang the line up).
void makeRaw(int fd) {
    if (ioctl(fd, TCGETS, &s_usb_old_settings) != 0) return;
    KernelTermios raw = s_usb_old_settings;
    makeRawInput(&raw);
    raw.c_cflag = (raw.c_cflag & ~kUsbClearCflag) | kUsbSetCflag;
    // A refused change leaves the tty as it was; the open goes on regardless.
    ioctl(fd, TCSETS, &raw);
}

}  // namespace

extern "C" {

Int32 USB_OpenDevice(UInt32 openParam) {
    (void)openParam;
    AT_LOGI("USB_OpenDevice\n");
    // No lock here: only close retires a descriptor (under the lock); open
    // publishes a new one, and no reader runs while the tty is closed.
    if (s_usb_fd.load() != -1) return 1;
    for (int attempt = 1; attempt <= kOpenAttempts; ++attempt) {
        const int fd = open(s_usb_dev_path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        s_usb_fd = fd;
        if (fd >= 0) break;
        AT_LOGE("USB_OpenDevice failed: %s\n", std::strerror(errno));
        sleep(1);
        if (attempt == kOpenAttempts) AT_LOGE("USB_OpenDevice failed: %d times\n", kOpenAttempts);
    }
    const int fd = s_usb_fd.load();
    if (fd != -1) makeRaw(fd);
    // Whatever a previous reader left unread (a STOP it never took, an "OK"
    // nobody waited for) belongs to a pause that is over: throw it away, even
    // when the tty could not be opened.
    drainPipe(usbControlPipeReadIfReady, s_control_pipe[0], "s_control_pipe");
    drainPipe(usbAckPipeReadIfUnwatched, s_ack_pipe[0], "s_ack_pipe");
    return fd != -1 ? 1 : 0;
}

Int32 USB_CloseDevice(void) {
    // The reader may be waiting on the tty in another thread; the serial
    // manager's SIGUSR2 ends that wait (guarded_fd.h).
    s_usb_guard.retire([] {
        const int fd = s_usb_fd.load();
        if (fd == -1) return;
        // Not examined: the tty is closed next whatever it says, silently.
        ioctl(fd, TCSETS, &s_usb_old_settings);
        AT_LOGI("USB_CloseDevice\n");
        if (close(fd) != 0) {
            const int e = errno;
            AT_LOGE("USB_CloseDevice failed:%d %s\n", e, std::strerror(e));
        }
        s_usb_fd = -1;
    });
    return 1;
}

UInt16 USB_Read(UInt8* buf, UInt16 capacity) {
    const FdSnapshot ref = s_usb_guard.snapshot([] { return s_usb_fd.load(); });
    if (ref.fd == -1) {
        // Not open: through the device layer this happens only when a close
        // has overtaken the read while the reader is being stopped.
        AT_LOGI("  ReadUsbTtyData: read bytes =%d\n", 0);
        errno = EAGAIN;
        return 0;
    }
    return readUsbBlock(buf, capacity, ref);
}

UInt16 USB_Write(const UInt8* buf, UInt16 len) {
    // Under the tty's lock, so that a write never reaches a reused descriptor
    // number (guarded_fd.h). The descriptor is non-blocking: the lock is held
    // only for the one write() call.
    std::lock_guard<std::mutex> guard(s_usb_guard.lock);
    const int fd = s_usb_fd.load();
    if (fd == -1) return 0;
    return static_cast<UInt16>(write(fd, buf, len));
}

UInt16 ReadUsbTtyData(int fd, UInt8* buf, int capacity) {
    return readUsbBlock(buf, capacity, bareSnapshot(fd));
}

int isUsbDataAvailable(int fd, UInt32 timeoutUs) {
    if (fd == -1) return 0;
    const int pipeFd = s_control_pipe[0];
    if (!fdFitsSelect(fd) || !fdFitsSelect(pipeFd)) {
        errno = EBADF;
        return 0;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    FD_SET(pipeFd, &set);
    // The wait has no limit for a timeout of 0. SIGUSR2 is let in only for
    // the wait itself (signal_wait.h): a stop signal that came before the
    // wait began ends it at once instead of being lost.
    const long limit = timeoutUs == 0 ? -1L : static_cast<long>(timeoutUs);
    const int r = at_pselect_read(std::max(fd, pipeFd) + 1, &set, limit);
    if (r <= 0) {
        errno = EAGAIN;
        return 0;
    }
    if (FD_ISSET(pipeFd, &set)) {
        // The stop wins over tty data, which stay unread for after the pause.
        char text[80];
        const ssize_t n = usbControlPipeReadIfReady(pipeFd, text);
        if (n == kUsbPipeEmpty) {
            // An open on another thread drained the stop after the select:
            // nothing to stop for; the reader goes round as after a signal.
            errno = EAGAIN;
            return 0;
        }
        if (n > 0) {
            AT_LOGI("  isUsbDataAvailable: flowcontrol:%s\n", text);
            return kStopAvailable;
        }
        AT_LOGE("  isUsbDataAvailable: control pipe read error %d\n", static_cast<int>(n));
        return 0;
    }
    return FD_ISSET(fd, &set) ? 1 : 0;
}

}  // extern "C"
