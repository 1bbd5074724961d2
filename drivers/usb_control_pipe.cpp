// USB control pipe: the stop-and-acknowledge handshake between the thread
// that pauses the USB device and the USB reader thread.
#include "usb_control_pipe.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "../osal/at_mutex.h"

#include "../osal/at_log.h"
#include "uart_x_drv.h"
#include "usb_control_pipe_internal.h"

int s_control_pipe[2];
int s_ack_pipe[2];

namespace {

constexpr int kAttempts = 6;

// The reader locks of the two pipes (see usb_control_pipe_internal.h). A
// USB_Control_Pipe_Wait_Ack holds the acknowledgement pipe's lock for its
// whole blocking read; a UsbAckPipeHold for a whole USB pause.
AtMutex s_controlReadLock;
AtMutex s_ackReadLock;

// Under the pipe's reader lock: one read if the pipe holds data now.
ssize_t readIfReady(int readEnd, char (&text)[80]) {
    if (isDataAvailable(readEnd, 0) != 1) return kUsbPipeEmpty;
    const ssize_t n = read(readEnd, text, sizeof text - 1);
    text[n > 0 ? n : 0] = '\0';
    return n;
}

// One blocking read of the acknowledgement pipe, and its log line.
void readAcks() REQUIRES(s_ackReadLock) {
    char text[80];
    // @model:await-ok
    const ssize_t n = read(s_ack_pipe[0], text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        AT_LOGI("   USB_Control_Pipe_Wait_Ack: rx ack: %s\n", text);
    } else {
        AT_LOGI("   USB_Control_Pipe_Wait_Ack: rx cnt=%d\n", static_cast<int>(n));
    }
}

// Creates one pipe in at most six attempts a second apart; ends the process
// with exitCode when the last attempt fails too.
void createPipe(int fds[2], const char* failureText, int exitCode) {
    for (int attempt = 1; attempt <= kAttempts; ++attempt) {
        if (pipe(fds) == 0) return;
        AT_LOGE("%s", failureText);
        sleep(1);
    }
    std::exit(exitCode);
}

}  // namespace

extern "C" {

void USB_Control_Pipe_Init(void) {
    createPipe(s_control_pipe, "zund: error creating s_control_pipe\n", -10);
    createPipe(s_ack_pipe, "zund: error creating s_ack_pipe\n", -11);
    AT_LOGI("USB_Control_Pipe_Init: ok\n");
}

Int32 USB_Control_Pipe_Send_Stop(void) {
    AT_LOGI("  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n");
    ssize_t ignored = write(s_control_pipe[1], "STOP", 4);
    (void)ignored;
    return 1;
}

Int32 USB_Control_Pipe_Wait_Ack(void) {
    // One blocking read, without a time limit: several waiting "OK"s are taken
    // by it, and whatever it returns ends the wait, a failure included (the
    // caller then goes on as if acknowledged). The pipe's reader lock is held
    // meanwhile, so that an open's drain never reads (and never waits on) the
    // pipe while a pause is waiting on it.
    //
    // The wait stays unbounded on purpose. Only SERIALMGR_SetFlowControl calls
    // this, right after a STOP, and it is the serial manager that decides
    // whether a reader is there to answer: a bound here could only turn a
    // missing reader into a pause that silently did not happen. A read that a
    // signal interrupts (a handler installed without SA_RESTART) is not
    // retried, so a host can still free a caller that waits in vain.
    AtLock guard(s_ackReadLock);
    readAcks();
    return 1;
}

Int32 USB_Control_Pipe_Send_Ack(void) {
    AT_LOGI("  USB_Control_Pipe_Send_Ack : send OK to RPC task\n");
    ssize_t ignored = write(s_ack_pipe[1], "OK", 2);
    (void)ignored;
    return 1;
}

}  // extern "C"

ssize_t usbControlPipeReadIfReady(int readEnd, char (&text)[80]) {
    AtLock guard(s_controlReadLock);
    return readIfReady(readEnd, text);
}

UsbAckPipeHold::UsbAckPipeHold(bool take) NO_THREAD_SAFETY_ANALYSIS : held_(take) {
    if (held_) s_ackReadLock.lock();
}

UsbAckPipeHold::~UsbAckPipeHold() NO_THREAD_SAFETY_ANALYSIS {
    if (held_) s_ackReadLock.unlock();
}

void UsbAckPipeHold::waitAck() const NO_THREAD_SAFETY_ANALYSIS {
    if (held_) readAcks();
}

ssize_t usbAckPipeReadIfUnwatched(int readEnd, char (&text)[80]) {
    if (!s_ackReadLock.try_lock()) return kUsbPipeEmpty;  // a pause is waiting: the pipe is its
    const AtLock guard(s_ackReadLock, kAdopt);
    return readIfReady(readEnd, text);
}
