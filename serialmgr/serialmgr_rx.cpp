// The reader thread of an open device, and the SIGUSR2 handler through which
// a deregistration reaches it.
//
// How a reader ends: the deregistration clears rxRunning, closes the device
// and sends SIGUSR2 to the reader (serialmgr_flow.cpp). The handler is
// installed with bsd_signal, i.e. SA_RESTART, so a plain blocking read() would
// be restarted and never return, and a signal that arrived just before a wait
// began would be lost. Therefore the reader blocks SIGUSR2 as its first act;
// the drivers' blocking waits unblock it atomically for the duration of the
// wait (at_pselect_read, drivers/signal_wait.h), so a SIGUSR2 sent before or
// during the wait ends it. Everywhere else the signal stays pending: the
// handler takes gShutdownMutex, logs and may write to a UART, and must never
// interrupt reader code that holds a lock (the log's, a semaphore's). At the
// very end of its clean-up the reader takes a signal still pending and runs
// the handler itself (it clears the pending flags and runs the device's
// shutdown function); SIGUSR2 is never unblocked outside a driver's wait.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include "../drivers/signal_wait.h"
#include "../drivers/usb_control_pipe.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "../stubs/other_stubs.h"
#include "serialmgr_internal.h"

namespace {

// While parked on wait_sem, or while waiting for a unit of useSem that a
// registration or deregistration holds, the reader wakes this often to see
// whether rxRunning was cleared. SIGUSR2 is blocked there, so the flag is
// what ends such a wait; the deregistration clears it before it signals.
constexpr UInt32 kParkPollTicks = 20;
constexpr UInt32 kUsePollTicks = 2;

// Passes that bring nothing (0 with EAGAIN, or a result outside 1..1536 other
// than the USB stop) are repeated at once a few times; after that the reader
// sleeps one tick before each further read, so that a device that keeps
// returning such results cannot spin a core. Any delivered block or pause
// resets the count.
constexpr UInt32 kIdlePassesBeforeThrottle = 4;
constexpr UInt32 kIdleThrottleTicks = 1;

void* handleAsPointer(OSSemaphore handle) { return reinterpret_cast<void*>(static_cast<uintptr_t>(handle)); }

// Parks on wait_sem until another thread releases it. Returns the obtain's
// status; OSSTATUS_TIMEOUT means that rxRunning was cleared meanwhile and the
// mutex is not held.
OSStatus parkOnWaitSem(SerialMgrDevice& dev) {
    for (;;) {
        const OSStatus status = OSSEMAPHORE_obtainMutex(dev.wait_sem.load(), kParkPollTicks);
        if (status != OSSTATUS_TIMEOUT) return status;
        if (dev.rxRunning.load() == 0) return OSSTATUS_TIMEOUT;
    }
}

// Takes one unit of useSem for a delivery. The uncontended case takes it at
// once. When a registration or deregistration holds all five units, the wait
// is a timed loop that gives up once rxRunning is cleared: the deregistration
// joins the reader before it gives the units back, so an unbounded wait here
// would never end. Returns true when a unit is held.
bool obtainUseUnit(SerialMgrDevice& dev) {
    const OSSemaphore sem = dev.useSem.load();
    OSStatus status = OSSEMAPHORE_Obtain(sem, 0);
    while (status == OSSTATUS_TIMEOUT) {
        if (dev.rxRunning.load() == 0) return false;
        status = OSSEMAPHORE_Obtain(sem, kUsePollTicks);
    }
    return status == OSSTATUS_SUCCESS;
}

void deliver(UInt32 devID, SerialMgrDevice& dev, UInt8* buffer, UInt16 length) {
    dev.rxByteCount.fetch_add(length);
    if (!obtainUseUnit(dev)) return;  // shut down while waiting: currentClient is NULL by now
    SerialMgrClientInfo* client = dev.currentClient.load();
    if (client != nullptr) {
        tSerialMgrDeliveringDev = devID;
        client->params.dataCb(client, client->params.userData, buffer, length);
        tSerialMgrDeliveringDev = kSerialMgrNoDelivery;
    }
    OSSEMAPHORE_Release(dev.useSem.load());
}

// The reception side of a pause. Returns false when the reader must leave its
// loop, true when it goes on with the next pass (continuePass) or reads now.
//
// A pause ends for the reader only through the step after the park: the
// client is gone, or the device is closed and reopened. When the obtain
// returns at once (the mutex was free, as at the first pause after it was
// created) and the pause is still on, the reader logs, acknowledges and parks
// again here rather than in a new pass. Going round the loop instead would
// let a resume that comes just then skip the reopen, and with it the drain of
// the USB control pipes: a STOP that the reader never read would stay there
// and park it again, with the client resumed and nobody left to release it.
bool waitWhilePaused(UInt32 devID, SerialMgrDevice& dev, bool& continuePass) {
    continuePass = false;
    do {
        if (dev.rxRunning.load() == 0) {  // shut down meanwhile; the top of the pass ends the loop
            continuePass = true;
            return true;
        }
        AT_LOGI("SERIALMGR_RX_Entry: devID=%d, wait_sem=%p\r\n", static_cast<int>(devID),
                handleAsPointer(dev.wait_sem.load()));
        if (devID == SERIAL_DEVICE_USB) USB_Control_Pipe_Send_Ack();
        const OSStatus status = parkOnWaitSem(dev);
        if (status == OSSTATUS_TIMEOUT) {  // shut down while parked
            continuePass = true;
            return true;
        }
        if (status != OSSTATUS_SUCCESS) {
            AT_LOGE("SERIALMGR_RX_Entry: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
            // The reader goes on as if it held the mutex; while the pause
            // lasts, a mutex that keeps failing (never created, or its handle
            // overwritten) would spin a core and flood the log without this
            // pause of one tick per round.
            OSTASK_Sleep(kIdleThrottleTicks);
        }
        // The reader stays the holder of wait_sem; SERIALMGR_SetFlowControl(.., 0)
        // releases it from another thread.
    } while (dev.stopRx.load() != 0);
    if (dev.currentClient.load() == nullptr) {
        AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Stop devID %d\r\n", static_cast<int>(devID));
        return false;
    }
    AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Refresh device %d\r\n", static_cast<int>(devID));
    Serial_CloseDevice(dev.devBufHandle.load());
    // Reopened with the device's default open argument, not the client's.
    dev.devBufHandle.store(Serial_OpenDevice(devID, 0));
    AT_ASSERT_IN("SERIALMGR_RX_Entry", dev.devBufHandle.load() != -1, "pDev->devBufHandle != -1");
    return true;
}

}  // namespace

thread_local UInt32 tSerialMgrDeliveringDev = kSerialMgrNoDelivery;

void SERIALMGR_RX_Entry(UInt32 devID) {
    // First act: keep SIGUSR2 pending until a driver's wait or the end of the
    // clean-up (see the top of this file).
    at_block_shutdown_signal();
    SerialMgrDevice& dev = gDevList[devID];
    // Published before the ready check, so that the deregistration can join a
    // reader that returns at that check: every reader thread is joinable and
    // is joined exactly once, by SERIALMGR_RX_Shutdown.
    dev.rxJoinThread.store(pthread_self());
    dev.rxLife.store(kRxLifeJoinable);
    SerialMgr_WakeReaderStartWaiters(dev);

    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, BEGIN\r\n", static_cast<int>(devID));
    if (AT_STUBS_IsReadyForCommsIO() == 0) {
        // No clean-up: the device stays open with its semaphores, and the
        // deregistration destroys them (SERIALMGR_DeRegisterClient).
        return;
    }
    dev.rxThread.store(pthread_self());
    // Stored before rxRunning is read below; the shutdown clears rxRunning
    // before it reads rxInLoop. So either this reader sees rxRunning 0, or the
    // shutdown sees rxInLoop 1 and signals it.
    dev.rxInLoop.store(1);

    UInt8* buffer = static_cast<UInt8*>(dbHEAP_Alloc(SERIALMGR_RX_BUFFER_SIZE, kSourceFile, __LINE__));
    if (buffer == nullptr) {
        // Without a buffer the reader cannot read: it ends as after a read
        // failure, closing the device, but tells nobody (the client may not
        // even be attached yet). The client must still deregister.
        AT_LOGE("SERIALMGR_RX_Entry: devID=%d, no receive buffer\r\n", static_cast<int>(devID));
    }

    UInt32 idlePasses = 0;
    while (buffer != nullptr && dev.rxRunning.load() != 0) {
        memset(buffer, 0, SERIALMGR_RX_BUFFER_SIZE);
        if (dev.stopRx.load() != 0) {
            idlePasses = 0;
            bool continuePass = false;
            if (!waitWhilePaused(devID, dev, continuePass)) break;
            if (continuePass) continue;
        }
        if (dev.rxRunning.load() == 0) break;

        if (idlePasses >= kIdlePassesBeforeThrottle) OSTASK_Sleep(kIdleThrottleTicks);
        // errno is cleared first: a read of an unmatched handle returns 0
        // without a driver call and must not report a stale errno.
        errno = 0;
        const UInt16 blockdatasize = Serial_Read(dev.devBufHandle.load(), buffer, SERIALMGR_RX_BUFFER_SIZE);
        const int readErrno = errno;  // AT_LOGI keeps errno too; this copy makes the order obvious
        AT_LOGI("   Serial_Read=%d\n", static_cast<int>(blockdatasize));

        if (blockdatasize == 0 || dev.rxRunning.load() == 0) {
            if (readErrno == EAGAIN) {
                ++idlePasses;
                continue;
            }
            AT_LOGE("SERIALMGR_RX_Entry: devID=%d, blockdatasize == 0, errno %d (%s)\r\n", static_cast<int>(devID),
                    readErrno, strerror(readErrno));
            SerialMgrClientInfo* client = dev.currentClient.load();
            if (client != nullptr) {
                client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_READ_ERROR, 0);
            }
            break;
        }
        if (blockdatasize <= SERIALMGR_RX_BUFFER_SIZE) {
            idlePasses = 0;
            deliver(devID, dev, buffer, blockdatasize);
            continue;
        }
        if (blockdatasize == STOP_READING_USB_TTY) {
            idlePasses = 0;
            dev.stopRx.store(1);
            AT_LOGI(" SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n");
            continue;
        }
        ++idlePasses;  // any other result carries nothing
    }

    // Clean-up. Each handle field is cleared before its object is destroyed:
    // a deregistration that follows a reader which ended on its own then
    // passes 0 (a no-op) instead of a destroyed mutex to
    // SERIALMGR_SetFlowControl's release.
    OSSEMAPHORE_destroyMutex(dev.wait_sem.exchange(0));
    OSSEMAPHORE_Destroy(dev.useSem.exchange(0));
    OSSEMAPHORE_Destroy(dev.regSem.exchange(0));
    const Int32 handle = dev.devBufHandle.load();
    if (handle != -1 && handle != SERIAL_OPEN_NOT_OPENED) Serial_CloseDevice(handle);
    dev.devBufHandle.store(-1);
    if (buffer != nullptr) dbHEAP_Delete(buffer, kSourceFile, __LINE__);
    // From here on a shutdown no longer signals this thread (it only joins
    // it). A signal sent before is still pending: it is taken here and its
    // handler runs as a plain call, where no lock is held. SIGUSR2 stays
    // blocked to the thread's very end, so one sent in the moment after that
    // dies with the thread, and the shutdown clears the device's pending flag
    // for it after the join.
    dev.rxEnded.store(1);
    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, END\r\n", static_cast<int>(devID));
    if (at_take_shutdown_signal() != 0) SERIALMGR_HandleSignal(SIGUSR2);
}

void SERIALMGR_HandleSignal(int sig) {
    if (sig != SIGUSR2) return;
    const int savedErrno = errno;
    // Runs on a reader inside a driver's wait, or is called by it at the end
    // of its clean-up (see the top of this file), never while that thread
    // holds gShutdownMutex, so this obtain cannot deadlock: other holders keep
    // the mutex only while they set a flag.
    const OSSemaphore mutex = gShutdownMutex.load();
    const OSStatus status = OSSEMAPHORE_obtainMutex(mutex, OSSUSPEND_WAIT);
    if (status != OSSTATUS_SUCCESS) {
        AT_LOGE("SERIALMGR_HandleSignal: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
    }
    for (UInt32 devID = 0; devID < SERIAL_DEVICE_MAX_DEVICE_NUM; ++devID) {
        SerialMgrShutdownEntry& entry = gShutdownList[devID];
        if (entry.pending.load() != 0 && entry.handler != nullptr) {
            AT_LOGI("SERIALMGR_HandleSignal: devID = %d, shutting down\n", static_cast<int>(devID));
            entry.handler(devID);
        }
        entry.pending.store(0);
    }
    OSSEMAPHORE_releaseMutex(mutex);
    errno = savedErrno;
}
