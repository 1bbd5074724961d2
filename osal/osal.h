/* The operating-system services that libat_stubs takes from libkovacutils:
 * semaphores and mutexes, tasks, the debug heap, debug log channels and the
 * non-fatal check __xassert. On the device the closed libkovacutils provides
 * them; on the host platform/kovacutils is our stand-in with the same ABI.
 *
 * Handles are opaque 32-bit values. A handle of 0 names nothing:
 * OSSEMAPHORE_Obtain, OSSEMAPHORE_Release, OSSEMAPHORE_GetCnt and
 * OSSEMAPHORE_releaseMutex return at once without effect for it. */
#ifndef OSAL_H
#define OSAL_H

#include <stddef.h>
#include "kova_types.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef UInt32 OSSemaphore; /* semaphore or mutex handle, 0 = none */
typedef UInt32 OSTask;      /* task handle, 0 = none */
typedef UInt32 OSStatus;

#define OSSTATUS_SUCCESS 1
#define OSSTATUS_FAILURE 0
#define OSSTATUS_TIMEOUT 2
#define OSSTATUS_INVALID_HANDLE 3

/* Timeout of the obtain calls, in ticks; this value waits without limit. */
#define OSSUSPEND_WAIT ((UInt32)-1)
/* Mode passed at every creation by libat_stubs. */
#define OSSEMAPHORE_MODE_DEFAULT 11

/* Counting semaphores. */
OSSemaphore OSSEMAPHORE_Create(UInt32 initialCount, UInt32 mode);
OSStatus OSSEMAPHORE_Obtain(OSSemaphore sem, UInt32 timeoutTicks);
OSStatus OSSEMAPHORE_Release(OSSemaphore sem);
OSStatus OSSEMAPHORE_Destroy(OSSemaphore sem);
UInt32 OSSEMAPHORE_GetCnt(OSSemaphore sem);

/* Mutexes: not recursive (a holder that obtains again blocks until another
 * thread releases), and any thread may release. */
OSSemaphore OSSEMAPHORE_createMutex(UInt32 mode);
OSStatus OSSEMAPHORE_obtainMutex(OSSemaphore mutex, UInt32 timeoutTicks);
OSStatus OSSEMAPHORE_releaseMutex(OSSemaphore mutex);
OSStatus OSSEMAPHORE_destroyMutex(OSSemaphore mutex);

/* Names a semaphore or mutex. libat_stubs defines this itself (empty). */
void OSSEMAPHORE_ChangeName(OSSemaphore sem, const char* name);

/* Tasks. The task runs entry(argument) on a joinable POSIX thread. */
typedef void (*OSTaskEntryWArg)(UInt32 argument);
OSTask OSTASK_CreateWArg(OSTaskEntryWArg entry, const char* name, UInt32 priority,
                         UInt32 stackBytes, UInt32 argument, UInt32 options);
void OSTASK_Sleep(UInt32 ticks);

/* Debug heap. */
void* dbHEAP_Alloc(size_t size, const char* file, UInt32 line);
void dbHEAP_Delete(void* block, const char* file, UInt32 line);

/* Debug log channels. */
void Log_DebugPrintf(UInt32 channel, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void Log_DebugOutputString(UInt32 channel, const char* text);

/* Non-fatal check: reports the failed expression and returns. */
void __xassert(const char* expression, const char* file, UInt32 line, Int32 value);

#ifdef __cplusplus
}
#endif

#endif /* OSAL_H */
