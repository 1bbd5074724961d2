/* In-process channels: device IDs 18..21, whose far end is the host's
 * send-data callback. A read parks the reader until the channel is closed. */
#ifndef SOCKET_DRV_H
#define SOCKET_DRV_H

#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

/* Always 1. openParam is ignored. */
AT_EXPORT Int32 KOVA_SOCKET_OpenDevice(UInt32 devId, UInt32 openParam);
/* Always 1; ends a parked read. */
AT_EXPORT Int32 KOVA_SOCKET_CloseDevice(UInt32 devId);
/* Parks until the channel is closed, then returns 0. buf is not touched. */
AT_EXPORT UInt16 KOVA_SOCKET_Read(UInt32 devId, UInt8* buf, UInt16 len);
/* The result of AT_STUBS_SendDataToClient(devId, buf, len). */
AT_EXPORT UInt16 KOVA_SOCKET_Write(UInt32 devId, const UInt8* buf, UInt16 len);

AT_EXTERN_C_END

#endif /* SOCKET_DRV_H */
