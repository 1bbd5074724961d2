// The two pipes of the USB control channel, shared with the USB tty driver:
// element 0 is the read end, element 1 the write end.
#pragma once

extern int s_control_pipe[2];  // "STOP": pausing thread -> USB reader
extern int s_ack_pipe[2];      // "OK": USB reader -> pausing thread
