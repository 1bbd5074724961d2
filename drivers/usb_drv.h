/* USB gadget tty driver: /dev/ttyGS0 as device ID 5 (legacy driver form).
 * A read waits on the tty and the USB control pipe together; a STOP on the
 * pipe comes back as STOP_READING_USB_TTY (65523). */
#ifndef USB_DRV_H
#define USB_DRV_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

#ifndef STOP_READING_USB_TTY
#define STOP_READING_USB_TTY 0xFFF3u
#endif

/* 1 = the tty is open (up to 6 attempts a second apart); 0 = not open. Drains both control pipes. */
AT_EXPORT Int32 USB_OpenDevice(UInt32 openParam);
/* Restores the saved settings and closes. Always 1. */
AT_EXPORT Int32 USB_CloseDevice(void);
/* Bytes read; 65523 = stop. Called from the USB reader thread only, which
 * keeps SIGUSR2 blocked (drivers/signal_wait.h). 0 with errno EAGAIN:
 * nothing; the wait was ended by a signal, the tty was closed meanwhile, or
 * it is not open. 0 with another errno: the read failed (EIO for a hung-up
 * tty). */
AT_EXPORT UInt16 USB_Read(UInt8* buf, UInt16 capacity);
/* One write(); its result's low 16 bits (65535 on failure); 0 when not open. */
AT_EXPORT UInt16 USB_Write(const UInt8* buf, UInt16 len);
/* The read of USB_Read on a descriptor. A capacity below 1 gives 0 with
 * errno EINVAL at once. */
AT_EXPORT UInt16 ReadUsbTtyData(int fd, UInt8* buf, int capacity);
/* Waits on fd and the control pipe (timeoutUs 0 = no limit): 1 fd readable,
 * 0 nothing (errno EAGAIN after a time-out or an interrupting signal),
 * -1 a stop message was taken from the control pipe. */
AT_EXPORT int isUsbDataAvailable(int fd, UInt32 timeoutUs);

AT_EXTERN_C_END

#endif /* USB_DRV_H */
