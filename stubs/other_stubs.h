/* AT stubs and helpers: the host's callback pair for the in-process channels,
 * client-ID ranges, bounded string helpers, and empty stubs that the AT
 * command interpreter links against. */
#ifndef OTHER_STUBS_H
#define OTHER_STUBS_H

#include <stdarg.h>
#include "../osal/at_export.h"
#include "../osal/kova_types.h"

AT_EXTERN_C_BEGIN

/* The host's send-data callback: the in-process channel devId (18 to 21)
 * hands it len bytes to carry to the far end. Its result is the channel's
 * write result (the device layer reports it as an unsigned 16-bit count). */
typedef Int32 (*AtStubsSendDataToClientCb)(UInt32 devId, const UInt8* data, UInt32 len);
/* The host's is-ready callback: nonzero when reader threads may run. */
typedef Int32 (*AtStubsIsReadyForCommsIOCb)(void);

#define MAX_CLIENT_NUM 30

/* Stores both callbacks, unconditionally: NULL restores the default. Any thread. */
AT_EXPORT void AT_STUBS_RegisterCallbacks(AtStubsSendDataToClientCb sendDataCb, AtStubsIsReadyForCommsIOCb isReadyCb);
/* The send-data callback's result; 0 when none is registered. */
AT_EXPORT Int32 AT_STUBS_SendDataToClient(UInt32 devId, const UInt8* data, UInt32 len);
/* The is-ready callback's result; 1 when none is registered. */
AT_EXPORT Int32 AT_STUBS_IsReadyForCommsIO(void);

/* Reserves `range` client IDs and returns the first. IDs start at 1; the
 * process stops when the highest reserved ID would reach MAX_CLIENT_NUM.
 * Not thread-safe: callers serialise themselves. */
AT_EXPORT UInt8 SYS_GenClientIDRange(UInt32 range);

/* Bounded string helpers for 8-bit character buffers of `size` bytes,
 * terminator included. Each does nothing when a pointer is NULL or size is 0,
 * and never writes at or past dest[size]. */
AT_EXPORT void SYS_CopyStr8(char* dest, const char* src, UInt32 size);
AT_EXPORT void SYS_FormatStr8(char* dest, UInt32 size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
AT_EXPORT void SYS_AppendStr8(char* dest, const char* src, UInt32 size);

/* Empty stubs. The last three are one function exported under three names;
 * OSSEMAPHORE_ChangeName stores no name. */
AT_EXPORT Int32 SYS_RegisterForPredefinedClient(void);
AT_EXPORT void AT_ReportCallAbortInd(void);
AT_EXPORT void SYS_DeRegisterForMSEvent(void);
AT_EXPORT void OSSEMAPHORE_ChangeName(UInt32 sem, const char* name);

AT_EXTERN_C_END

#endif /* OTHER_STUBS_H */
