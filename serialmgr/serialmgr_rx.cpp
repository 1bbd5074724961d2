// The reader thread of an open device, and the SIGUSR2 handler through which
// a deregistration reaches it. How the signal reaches a reader, and why it is
// blocked everywhere else: drivers/signal_wait.h.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include "../drivers/signal_wait.h"
#include "../drivers/usb_control_pipe.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "../serialapi/serialapi_internal.h"
#include "../stubs/other_stubs.h"
#include "serialmgr_internal.h"

namespace {

// Passes that bring nothing (0 with EAGAIN, or a result outside 1..1536 other
// than the USB stop) are repeated at once a few times; after that the reader
// sleeps one tick before each further read, so that a device that keeps
// returning such results cannot spin a core. Any delivered block or pause
// resets the count.
constexpr UInt32 kIdlePassesBeforeThrottle = 4;
constexpr UInt32 kIdleThrottleTicks = 1;

void* handleAsPointer(OSSemaphore handle) { return reinterpret_cast<void*>(static_cast<uintptr_t>(handle)); }

// What the pass loop does after a pause.
enum class AfterPause {
    Stop,     // the client is gone: leave the loop
    NewPass,  // the device was reopened (or a shutdown came): start a new pass
};

// The reception side of a pause: parks on wait_sem until a resume releases
// it. There is no timed poll: every resume, and every deregistration (which
// resumes before it clears rxRunning), releases wait_sem after it cleared
// stopRx, and the mutex is binary, so the release cannot be missed.
//
// When the obtain returns at once (the mutex was free, as at the first pause
// after it was created) and the pause is still on, the reader logs,
// acknowledges and parks again here rather than in a new pass, so that a
// resume that comes just then still leads to the reopen below and with it to
// the drain of the USB control pipes.
AfterPause waitWhilePaused(UInt32 devID, SerialMgrDevice& dev) {
    do {
        if (dev.rxRunning.load() == 0) return AfterPause::NewPass;  // the top of the pass ends the loop
        AT_LOGI("SERIALMGR_RX_Entry: devID=%d, wait_sem=%p\r\n", static_cast<int>(devID),
                handleAsPointer(dev.wait_sem.load()));
        if (devID == SERIAL_DEVICE_USB) {
            dev.rxLife.set(ReaderLife::kParked);  // before the OK: the pause checks it on the OK
            USB_Control_Pipe_Send_Ack();
        }
        const OSStatus status = OSSEMAPHORE_obtainMutex(dev.wait_sem.load(), OSSUSPEND_WAIT);
        if (status != OSSTATUS_SUCCESS) {
            AT_LOGE("SERIALMGR_RX_Entry: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
            // The reader goes on as if it held the mutex. A mutex that keeps
            // failing cannot wake anyone, so this is a poll: one tick a round
            // keeps it from spinning a core and flooding the log.
            OSTASK_Sleep(kIdleThrottleTicks);
        }
        // The reader stays the holder of wait_sem; a resume releases it.
    } while (dev.stopRx.load() != 0);
    if (dev.currentClient.load() == nullptr) {
        AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Stop devID %d\r\n", static_cast<int>(devID));
        return AfterPause::Stop;
    }
    AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Refresh device %d\r\n", static_cast<int>(devID));
    Serial_CloseDevice(dev.devBufHandle.load());
    // Reopened with the device's default open argument, not the client's.
    dev.devBufHandle.store(Serial_OpenDevice(devID, 0));
    AT_ASSERT_IN("SERIALMGR_RX_Entry", dev.devBufHandle.load() != -1, "pDev->devBufHandle != -1");
    // A new pass looks at stopRx again before it reads: a pause that came
    // during the reopen had its STOP drained by the open, and only this look
    // parks the reader (and acknowledges that pause) before it reads.
    return AfterPause::NewPass;
}

// One read. A host driver's read gets SIGUSR2 let in (drivers/signal_wait.h);
// a signal taken meanwhile is handled here, after the read has returned.
UInt16 readBlock(SerialMgrDevice& dev, UInt8* buffer, bool hostDriver) {
    if (!hostDriver) return Serial_Read(dev.devBufHandle.load(), buffer, SERIALMGR_RX_BUFFER_SIZE);
    dev.rxLife.set(ReaderLife::kInHostRead);
    at_open_signal_window();
    const UInt16 result = Serial_Read(dev.devBufHandle.load(), buffer, SERIALMGR_RX_BUFFER_SIZE);
    const int readErrno = errno;
    const bool signalled = at_close_signal_window() != 0;
    dev.rxLife.clear(ReaderLife::kInHostRead);
    if (signalled) SERIALMGR_HandleSignal(SIGUSR2);
    errno = readErrno;
    return result;
}

// Hands a block to the current client while holding one unit of useSem.
// While a registration or deregistration holds all five units the wait lasts
// until it gives them back; a deregistration lends the reader one as it stops
// it (SERIALMGR_RX_Shutdown), and the reader then finds no client.
void deliver(SerialMgrDevice& dev, UInt8* buffer, UInt16 length) {
    dev.rxByteCount.fetch_add(length);
    const OSSemaphore unit = dev.useSem.load();
    if (OSSEMAPHORE_Obtain(unit, OSSUSPEND_WAIT) != OSSTATUS_SUCCESS) return;
    SerialMgrClientInfo* client = dev.currentClient.load();
    if (client != nullptr) client->params.dataCb(client, client->params.userData, buffer, length);
    OSSEMAPHORE_Release(unit);
}

// A read of 0 with an errno other than EAGAIN: the reader ends, and tells the
// client once.
void reportReadError(UInt32 devID, SerialMgrDevice& dev, int readErrno) {
    AT_LOGE("SERIALMGR_RX_Entry: devID=%d, blockdatasize == 0, errno %d (%s)\r\n", static_cast<int>(devID), readErrno,
            strerror(readErrno));
    SerialMgrClientInfo* client = dev.currentClient.load();
    if (client != nullptr) client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_READ_ERROR, 0);
}

// The pass loop. Returns when the reader must run its clean-up.
void passLoop(UInt32 devID, SerialMgrDevice& dev, UInt8* buffer) {
    const bool hostDriver = Serial_IsHostDriver(devID);
    UInt32 idlePasses = 0;
    while (dev.rxRunning.load() != 0) {
        memset(buffer, 0, SERIALMGR_RX_BUFFER_SIZE);
        // Cleared before stopRx is read, and a pause reads it after it set
        // stopRx: so either this pass sees the pause, or the pause sees the
        // reader outside its park and sends a STOP (SerialMgr_SetFlow).
        dev.rxLife.clear(ReaderLife::kInPark);
        if (dev.stopRx.load() != 0) {
            dev.rxLife.set(ReaderLife::kInPark);
            idlePasses = 0;
            if (waitWhilePaused(devID, dev) == AfterPause::Stop) return;
            continue;
        }
        if (idlePasses >= kIdlePassesBeforeThrottle) OSTASK_Sleep(kIdleThrottleTicks);
        // errno is cleared first: a read of an unmatched handle returns 0
        // without a driver call and must not report a stale errno. It is
        // copied before the log line, which may change it.
        errno = 0;
        const UInt16 blockdatasize = readBlock(dev, buffer, hostDriver);
        const int readErrno = errno;
        AT_LOGI("   Serial_Read=%d\n", static_cast<int>(blockdatasize));

        if (blockdatasize == 0 || dev.rxRunning.load() == 0) {
            if (readErrno == EAGAIN) {
                ++idlePasses;
                continue;
            }
            reportReadError(devID, dev, readErrno);
            return;
        }
        if (blockdatasize <= SERIALMGR_RX_BUFFER_SIZE) {
            idlePasses = 0;
            deliver(dev, buffer, blockdatasize);
        } else if (blockdatasize == STOP_READING_USB_TTY) {
            idlePasses = 0;
            dev.stopRx.store(1);
            AT_LOGI(" SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n");
        } else {
            ++idlePasses;  // any other result carries nothing
        }
    }
}

// The reader's last act (also of one that returned at its ready check), with
// before = rxLife.end(), which it calls just before its END line: from then on
// no deregistration signals it. One that committed to signal it before gets
// its signal handled here, on the reader, whenever it arrives; and a USB
// pause that still waits for an OK gets one, as no park will send it.
void endReader(UInt32 devID, UInt32 before) {
    const bool committed = (before & ReaderLife::kStopSent) != 0 && (before & ReaderLife::kSignalTaken) == 0;
    if (at_take_shutdown_signal(committed ? 1 : 0) != 0) SERIALMGR_HandleSignal(SIGUSR2);
    if (devID == SERIAL_DEVICE_USB && (before & ReaderLife::kPauseWaiting) != 0) USB_Control_Pipe_Send_Ack();
}

}  // namespace

thread_local UInt32 tSerialMgrReaderDev = kSerialMgrNoDevice;

void SERIALMGR_RX_Entry(UInt32 devID) {
    // Born with SIGUSR2 blocked (SERIALMGR_RegisterClient); blocked again in
    // case a task library does not pass the creator's mask on.
    at_block_shutdown_signal(nullptr);
    tSerialMgrReaderDev = devID;
    SerialMgrDevice& dev = gDevList[devID];
    // Published before the ready check, so that the deregistration can
    // signal and join a reader at any point of its life.
    dev.rxLife.publish();

    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, BEGIN\r\n", static_cast<int>(devID));
    if (AT_STUBS_IsReadyForCommsIO() == 0) {
        // No clean-up: the device stays open with its semaphores, and the
        // deregistration destroys them (SERIALMGR_DeRegisterClient).
        endReader(devID, dev.rxLife.end());
        return;
    }
    dev.rxThread.store(pthread_self());
    dev.rxLife.set(ReaderLife::kInLoop);

    UInt8* buffer = static_cast<UInt8*>(dbHEAP_Alloc(SERIALMGR_RX_BUFFER_SIZE, kSourceFile, __LINE__));
    if (buffer != nullptr) {
        passLoop(devID, dev, buffer);
    } else {
        // Without a buffer the reader cannot read: it ends as after a read
        // failure, closing the device, but tells nobody (the client may not
        // even be attached yet). The client must still deregister.
        AT_LOGE("SERIALMGR_RX_Entry: devID=%d, no receive buffer\r\n", static_cast<int>(devID));
    }

    // Clean-up. Each handle field is cleared before its object is destroyed:
    // a deregistration that follows a reader which ended on its own then
    // passes 0 (a no-op) instead of a destroyed mutex to its resume.
    OSSEMAPHORE_destroyMutex(dev.wait_sem.exchange(0));
    OSSEMAPHORE_Destroy(dev.useSem.exchange(0));
    OSSEMAPHORE_Destroy(dev.regSem.exchange(0));
    const Int32 handle = dev.devBufHandle.load();
    if (handle != -1 && handle != SERIAL_OPEN_NOT_OPENED) Serial_CloseDevice(handle);
    dev.devBufHandle.store(-1);
    if (buffer != nullptr) dbHEAP_Delete(buffer, kSourceFile, __LINE__);
    const UInt32 before = dev.rxLife.end();
    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, END\r\n", static_cast<int>(devID));
    endReader(devID, before);
}

void SERIALMGR_HandleSignal(int sig) {
    if (sig != SIGUSR2) return;
    // Inside a host driver's read only the arrival is recorded; the reader
    // comes back here once the read has returned.
    if (at_defer_signal_here() != 0) return;
    const int savedErrno = errno;
    if (tSerialMgrReaderDev < SERIAL_DEVICE_MAX_DEVICE_NUM) {
        gDevList[tSerialMgrReaderDev].rxLife.set(ReaderLife::kSignalTaken);
    }
    // Runs on a reader inside a driver's wait, or is called by it after a
    // host driver's read or at its end, never while that thread holds
    // gShutdownMutex, so this obtain cannot deadlock: other holders keep the
    // mutex only while they set a flag.
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
