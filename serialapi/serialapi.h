/* Serial device layer: 24 numbered devices, each with its driver's open,
 * close, read and write, reached by device ID (open) or by handle (the rest).
 *
 * Threads: Serial_OpenDevice and Serial_CloseDevice are serialised by the
 * table lock "SrlDev_S" and may be called from any thread. Serial_Read,
 * Serial_Write and the lookups take no lock: a driver's read may block while
 * other threads write to the same device or close it. The registration calls
 * take no lock either; call them before any device is opened. */
#ifndef SERIALAPI_H
#define SERIALAPI_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

typedef UInt32 SerialDeviceId;

#define SERIAL_DEVICE_UART_A 0u
#define SERIAL_DEVICE_UART_B 1u
#define SERIAL_DEVICE_UART_C 2u
#define SERIAL_DEVICE_USB 5u
#define SERIAL_DEVICE_RNDIS 14u
#define SERIAL_DEVICE_RNDIS2 15u
#define SERIAL_DEVICE_RNDIS3 16u
#define SERIAL_DEVICE_RNDIS4 17u
#define SERIAL_DEVICE_SOCKET 18u
#define SERIAL_DEVICE_SOCKET2 19u
#define SERIAL_DEVICE_SOCKET3 20u
#define SERIAL_DEVICE_SOCKET4 21u
#define SERIAL_DEVICE_NULL 23u
#define SERIAL_DEVICE_MAX_DEVICE_NUM 24u

/* Results of Serial_OpenDevice besides a handle. */
#define SERIAL_OPEN_FAILED (-1)
#define SERIAL_OPEN_NOT_OPENED 0x9999 /* 39321: already open, or the driver's open gave 0 */

/* Read results of the drivers besides a byte count. */
#define SERIAL_IO_FAILED 0xFFFFu    /* 65535: failed system call (a receive may be retried) */
#define STOP_READING_USB_TTY 0xFFF3u /* 65523: USB flow-control stop */

/* Driver contract, device-ID form. open: 1 = open, 0 = not opened, other =
 * failure. read: bytes placed in buf (at most len), 0 = none (errno says why;
 * EAGAIN = read again), 65535 = failed receive, 65523 = USB stop. write: bytes
 * written, 65535 = failed system call.
 *
 * What a host's driver read must do so that a deregistration ends it: the
 * read runs on the device's reader thread, and the serial manager stops that
 * thread by calling the driver's close (from another thread) and then sending
 * SIGUSR2 to it. SIGUSR2 is let in for the whole of a host driver's read, and
 * its handler is installed with SA_RESTART. So a read may wait in select(),
 * poll(), pselect(), ppoll() or epoll_wait(), which the signal interrupts with
 * EINTR, and must then return 0 with errno EAGAIN; it must not wait in a
 * plain read() or recvfrom() of a blocking descriptor, which SA_RESTART
 * restarts. Signals that arrive while the read waits are resent until it has
 * returned, so one that comes just before the wait begins is not lost. The
 * read must not take SIGUSR2 itself (block it, wait for it, or change its
 * handler). The library's own drivers wait with SIGUSR2 let in only inside
 * their waits. */
typedef Int32 (*SerialDriverOpen)(SerialDeviceId devId, UInt32 openParam);
typedef Int32 (*SerialDriverClose)(SerialDeviceId devId);
typedef UInt16 (*SerialDriverRead)(SerialDeviceId devId, UInt8* buf, UInt16 len);
typedef UInt16 (*SerialDriverWrite)(SerialDeviceId devId, const UInt8* buf, UInt16 len);
typedef Int32 (*SerialDriverAuxOp1)(SerialDeviceId devId, UInt32 a);
typedef Int32 (*SerialDriverAuxOp2)(SerialDeviceId devId);
typedef void (*SerialDriverAuxOp3)(void); /* stored, never called */
typedef Int32 (*SerialDriverAuxOp4)(SerialDeviceId devId, UInt32 a);

/* Driver contract, legacy form (no device ID). */
typedef void (*SerialEventCallBack)(void); /* opaque to the layer, handed to the driver */
typedef Int32 (*SerialLegacyOpen)(UInt32 openParam);
typedef Int32 (*SerialLegacyClose)(void);
typedef UInt16 (*SerialLegacyRead)(UInt8* buf, UInt16 len);
typedef UInt16 (*SerialLegacyWrite)(const UInt8* buf, UInt16 len);
typedef Int32 (*SerialLegacyAuxOp1)(UInt32 a);
typedef Int32 (*SerialLegacyAuxOp2)(void);
typedef Int32 (*SerialLegacyRegisterEventCallBack)(SerialEventCallBack cb);
typedef Int32 (*SerialLegacyAuxOp4)(UInt32 a);

/* Registers a driver in the legacy form. Returns devId, or -1 (devId >= 24 or
 * a null open/close/read/write; the entry is left unchanged). Registering
 * again replaces the operations and keeps the handle and reference count. */
AT_EXPORT Int32 Serial_ConfigureDevice(SerialDeviceId devId, SerialLegacyOpen open, SerialLegacyClose close,
                                       SerialLegacyRead read, SerialLegacyWrite write,
                                       SerialLegacyAuxOp1 auxOp1, SerialLegacyAuxOp2 auxOp2,
                                       SerialLegacyRegisterEventCallBack registerEventCallBack,
                                       SerialLegacyAuxOp4 auxOp4, UInt32 defaultOpenParam, UInt32 extraParam1,
                                       UInt32 extraParam2);

/* Registers a driver in the device-ID form; results as Serial_ConfigureDevice,
 * and a failure logs "Serial_ConfigureDeviceEx(<id>) failed". */
AT_EXPORT Int32 Serial_ConfigureDeviceEx(SerialDeviceId devId, SerialDriverOpen open, SerialDriverClose close,
                                         SerialDriverRead read, SerialDriverWrite write, SerialDriverAuxOp1 auxOp1,
                                         SerialDriverAuxOp2 auxOp2, SerialDriverAuxOp3 auxOp3,
                                         SerialDriverAuxOp4 auxOp4, UInt32 defaultOpenParam, UInt32 extraParam1,
                                         UInt32 extraParam2);

/* Opens a device. openParam 0 selects the device's defaultOpenParam. Returns
 * its handle (0, 1, 2, ... by first open attempt, kept for the life of the
 * process), 39321 when it is already open or the driver's open gave 0, or -1
 * (invalid or unregistered ID, or any other driver result). */
AT_EXPORT Int32 Serial_OpenDevice(SerialDeviceId devId, UInt32 openParam);

/* Releases one reference; the driver's close runs when the last one goes.
 * Returns 0, or 1 for an unmatched handle (-1, unknown, or device closed). */
AT_EXPORT Int32 Serial_CloseDevice(Int32 handle);

/* The driver's read or write result unchanged; 0 for an unmatched handle. */
AT_EXPORT UInt16 Serial_Read(Int32 handle, UInt8* buf, UInt16 len);
AT_EXPORT UInt16 Serial_Write(Int32 handle, const UInt8* buf, UInt16 len);

/* Hands cb to the driver's legacy event-callback operation. Returns 0, or 1
 * for an unmatched handle or a device whose driver has no such operation. */
AT_EXPORT Int32 Serial_RegisterEventCallBack(Int32 handle, SerialEventCallBack cb);

/* The device that holds handle; SERIAL_DEVICE_NULL (23) when none does. */
AT_EXPORT SerialDeviceId Serial_GetDeviceID(Int32 handle);

/* Reference count of a device, without lock. devId >= 24 is reported through
 * __xassert; then Get returns 0 and Set stores nothing. */
AT_EXPORT UInt8 Serial_GetRefCnt(SerialDeviceId devId);
AT_EXPORT void Serial_SetRefCnt(SerialDeviceId devId, UInt8 count);

/* Registers every driver of the library; called once by SERIALMGR_Init. */
AT_EXPORT void Serial_Init(void);

AT_EXTERN_C_END

#endif /* SERIALAPI_H */
