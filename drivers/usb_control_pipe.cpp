// USB control pipe: the stop-and-acknowledge handshake between the thread
// that pauses the USB device and the USB reader thread.
#include "usb_control_pipe.h"

#include <unistd.h>

#include <cstdlib>

#include "../osal/at_log.h"
#include "usb_control_pipe_internal.h"

int s_control_pipe[2];
int s_ack_pipe[2];

namespace {

constexpr int kAttempts = 6;

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
    char text[80];
    // One blocking read, without a time limit: several waiting "OK"s are taken
    // by it, and whatever it returns ends the wait, a failure included (the
    // caller then goes on as if acknowledged).
    //
    // The wait stays unbounded on purpose. Only SERIALMGR_SetFlowControl calls
    // this, right after a STOP, and it is the serial manager that decides
    // whether a reader is there to answer: a bound here could only turn a
    // missing reader into a pause that silently did not happen. A read that a
    // signal interrupts (a handler installed without SA_RESTART) is not
    // retried, so a host can still free a caller that waits in vain.
    const ssize_t n = read(s_ack_pipe[0], text, sizeof text - 1);
    if (n > 0) {
        text[n] = '\0';
        AT_LOGI("   USB_Control_Pipe_Wait_Ack: rx ack: %s\n", text);
    } else {
        AT_LOGI("   USB_Control_Pipe_Wait_Ack: rx cnt=%d\n", static_cast<int>(n));
    }
    return 1;
}

Int32 USB_Control_Pipe_Send_Ack(void) {
    AT_LOGI("  USB_Control_Pipe_Send_Ack : send OK to RPC task\n");
    ssize_t ignored = write(s_ack_pipe[1], "OK", 2);
    (void)ignored;
    return 1;
}

}  // extern "C"
