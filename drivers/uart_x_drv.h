/* UART driver: /dev/ttyS0../dev/ttyS2 as device IDs 0..2, raw 115200 8N1.
 * Which ports exist comes from the "console=" arguments of /proc/cmdline. */
#ifndef UART_X_DRV_H
#define UART_X_DRV_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

/* Port mask from /proc/cmdline: bit n set = /dev/ttySn is used. 0 on failure. */
AT_EXPORT int UART_GetAvailablePorts(void);
/* 1 = opened and configured; 0 = failure. openParam is ignored. */
AT_EXPORT Int32 UART_OpenDevice(UInt32 devID, UInt32 openParam);
/* Restores the saved settings and closes. Always 1. */
AT_EXPORT Int32 UART_CloseDevice(UInt32 devID);
/* One block: bytes until a 100 ms pause or capacity. Called from the port's
 * reader thread only, which keeps SIGUSR2 blocked (drivers/signal_wait.h).
 * 0 with errno EAGAIN: nothing; the wait was ended by a signal, the port was
 * closed meanwhile, or it is not open. 0 with another errno: the read failed
 * ("Read: read errno [%d]" logged; EIO for a hung-up line). A block that ends
 * normally also leaves errno EAGAIN. */
AT_EXPORT UInt16 UART_Read(UInt32 devID, UInt8* buf, UInt16 capacity);
/* One write(); its result's low 16 bits (65535 on failure); 0 when not open. */
AT_EXPORT UInt16 UART_Write(UInt32 devID, const UInt8* buf, UInt16 len);
/* Shutdown hook run from the SIGUSR2 handler: logs, and writes one space to an open UART. */
AT_EXPORT void UART_HandleShutdown(UInt32 devID);
/* 1 when fd became readable within timeoutUs microseconds (0 = just poll);
 * 0 otherwise, also when select fails. fd must be below FD_SETSIZE. */
AT_EXPORT int isDataAvailable(int fd, UInt32 timeoutUs);
/* The read of UART_Read on a bare descriptor (no check that it stays the
 * caller's); -1 gives 0 at once. A non-blocking descriptor is read without
 * waiting first: with nothing there, 0 with errno EAGAIN and no log line. */
AT_EXPORT UInt16 ReadTtyData(int fd, UInt8* buf, int capacity);

AT_EXTERN_C_END

#endif /* UART_X_DRV_H */
