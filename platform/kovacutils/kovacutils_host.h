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
 * - Tick length: KOVA_TICK_MS (5) milliseconds, so the serial manager's
 *   6-tick pause between blocking writes is 30 ms. Timeout OSSUSPEND_WAIT (-1)
 *   waits without limit, 0 only tries, any other value waits that many ticks
 *   and then returns OSSTATUS_TIMEOUT.
 * - Tasks: joinable POSIX threads named after the task (first 15 characters),
 *   with a stack of at least KOVA_MIN_TASK_STACK bytes; the priority is
 *   recorded but not mapped to the scheduler. A task's slot is given back when
 *   its entry function returns; the thread stays joinable.
 * - The debug heap is malloc with a count of live blocks.
 * - Mode: accepted and ignored. Every caller passes 11, and the only
 *   behaviour callers rely on (counting semaphores; non-recursive mutexes
 *   that any thread may release) does not depend on it.
 * - Debug log channels go to the hook (tests), and to stderr when the
 *   environment variable KOVA_DEBUG_LOG is set. __xassert reports go to
 *   their hook when one is installed (it sees every report), and otherwise to
 *   stderr as "xassert: file:line: "expr" failed (value n)": a failed check
 *   never passes unseen.
 * - The tables are never destroyed: readers may still wait on a semaphore
 *   while exit() runs the static destructors.
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

/* Name a task was created with (up to 31 characters); NULL for handle 0, a
 * handle never issued, or a task whose entry has returned. The text lives in
 * the task's slot: valid while the task runs. */
const char* OSTASK_GetName(OSTask task);

#ifdef __cplusplus
}
#endif

#endif /* KOVACUTILS_HOST_H */
