/* Host stand-in for libkovacutils: what it adds to the device library's ABI
 * for tests, benchmarks and tools. Nothing in libat_stubs uses these.
 *
 * Choices of this stand-in:
 * - Handles: (generation << 16) | (slot index + 1) into a static table of
 *   KOVA_MAX_SEMAPHORES slots. A destroyed handle is stale at once: calls with
 *   it return OSSTATUS_INVALID_HANDLE (or 0 from OSSEMAPHORE_GetCnt) and never
 *   touch the slot's next owner. Waiters on a destroyed semaphore wake up and
 *   return OSSTATUS_INVALID_HANDLE.
 * - Handle 0, and any stale handle: Obtain, Release, GetCnt and releaseMutex
 *   return at once without effect.
 * - A mutex is a binary semaphore: releasing a free mutex leaves it free.
 * - Tick length: KOVA_TICK_MS milliseconds. Timeout OSSUSPEND_WAIT (-1) waits
 *   without limit, 0 only tries.
 * - Tasks: joinable POSIX threads named after the task (first 15 characters),
 *   with a stack of at least KOVA_MIN_TASK_STACK bytes; the priority is
 *   recorded but not mapped to the scheduler. A task's slot is given back when
 *   its entry function returns; the thread stays joinable.
 * - The debug heap is malloc with a count of live blocks.
 * - Debug log channels and __xassert reports go to hooks (tests), and to
 *   stderr when the environment variable KOVA_DEBUG_LOG is set.
 * - Semaphore operations are safe to call from a signal handler as long as the
 *   interrupted code is not itself inside an operation on the same handle. */
#ifndef KOVACUTILS_HOST_H
#define KOVACUTILS_HOST_H

#include "osal.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOVA_TICK_MS 5
#define KOVA_MAX_SEMAPHORES 4096
#define KOVA_MIN_TASK_STACK (256 * 1024)

/* Live objects, for leak checks. */
UInt32 dbHEAP_GetLiveBlocks(void);
UInt32 OSSEMAPHORE_GetLiveCount(void);
UInt32 OSTASK_GetLiveCount(void);

/* Hooks; NULL restores the default (stderr when KOVA_DEBUG_LOG is set). */
typedef void (*KovaDebugLogHook)(UInt32 channel, const char* text);
void KOVA_SetDebugLogHook(KovaDebugLogHook hook);
typedef void (*KovaXassertHook)(const char* expression, const char* file, UInt32 line, Int32 value);
void KOVA_SetXassertHook(KovaXassertHook hook);
UInt32 KOVA_GetXassertCount(void);

/* Name and priority a task was created with; 0/NULL for an unknown handle. */
const char* OSTASK_GetName(OSTask task);

#ifdef __cplusplus
}
#endif

#endif /* KOVACUTILS_HOST_H */
