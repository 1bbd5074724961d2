// The two pipes of the USB control channel, shared with the USB tty driver:
// element 0 is the read end, element 1 the write end.
#pragma once

#include <sys/types.h>

extern int s_control_pipe[2];  // "STOP": pausing thread -> USB reader
extern int s_ack_pipe[2];      // "OK": USB reader -> pausing thread

// Both pipes are blocking, and each has two readers: the control pipe the USB
// reader (after its select) and the drain in USB_OpenDevice; the
// acknowledgement pipe USB_Control_Pipe_Wait_Ack and that drain. A reader
// that polls and then reads could be overtaken by the other one and would
// then wait in read() for a message that may never come. These two take the
// pipe's reader lock around the poll and the read, so their read never waits.

// Result of the two functions below when the pipe held nothing to read.
constexpr ssize_t kUsbPipeEmpty = -2;

// One read of at most 79 bytes from the control pipe's read end readEnd,
// only if it holds data now; text is terminated after the bytes read.
// Returns the read's result, or kUsbPipeEmpty.
ssize_t usbControlPipeReadIfReady(int readEnd, char (&text)[80]);

// The same for the acknowledgement pipe's read end, with one difference:
// while a USB_Control_Pipe_Wait_Ack is waiting, or a pause holds the pipe
// (UsbAckPipeHold), the pipe is left to that pause, which takes whatever "OK"
// is there, and the result is kUsbPipeEmpty.
ssize_t usbAckPipeReadIfUnwatched(int readEnd, char (&text)[80]);

// A USB pause holds the acknowledgement pipe from before it counts itself
// until it returns, so that an open's drain cannot take an OK meant for it
// in the moments before its read begins (a resume from another thread lets
// the reader reopen the device meanwhile). Held only when take is true: the
// pauses of other devices never wait for a USB pause. Not a checked
// capability for that reason; waitAck may only be called on a held one.
class UsbAckPipeHold {
public:
    explicit UsbAckPipeHold(bool take);
    ~UsbAckPipeHold();
    UsbAckPipeHold(const UsbAckPipeHold&) = delete;
    UsbAckPipeHold& operator=(const UsbAckPipeHold&) = delete;
    // USB_Control_Pipe_Wait_Ack's read and log line, on the held pipe.
    void waitAck() const;

private:
    bool held_;
};
