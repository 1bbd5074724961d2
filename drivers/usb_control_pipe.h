/* USB control pipe: the STOP/OK handshake between the thread that pauses the
 * USB device and the USB reader thread. */
#ifndef USB_CONTROL_PIPE_H
#define USB_CONTROL_PIPE_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

/* Creates both pipes (6 attempts each, a second apart); ends the process with
 * exit(-10) or exit(-11) when it cannot. Called once by SERIALMGR_Init. */
AT_EXPORT void USB_Control_Pipe_Init(void);
/* Writes "STOP" for the reader. Returns 1. */
AT_EXPORT Int32 USB_Control_Pipe_Send_Stop(void);
/* Blocks until the reader's "OK" arrives. Returns 1. */
AT_EXPORT Int32 USB_Control_Pipe_Wait_Ack(void);
/* Writes "OK" for the pausing thread. Returns 1. */
AT_EXPORT Int32 USB_Control_Pipe_Send_Ack(void);

AT_EXTERN_C_END

#endif /* USB_CONTROL_PIPE_H */
