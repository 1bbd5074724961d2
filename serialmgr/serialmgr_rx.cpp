// The reader thread of an open device, and the SIGUSR2 handler through which
// a deregistration reaches it. How the signal reaches a reader, and why it is
// blocked everywhere else: reader_signal.h.
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <string.h>

#include <memory>

#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "../serialapi/serialapi_internal.h"
#include "../stubs/other_stubs.h"
#include "reader_signal.h"
#include "serialmgr_internal.h"

namespace {

// Passes that bring nothing (0 with EAGAIN, or a result outside 1..1536 other
// than the USB stop) are repeated at once a few times; after that the reader
// sleeps one tick before each further read, so that a device that keeps
// returning such results cannot spin a core. Any delivered block or pause
// resets the count.
constexpr UInt32 kIdlePassesBeforeThrottle = 4;
constexpr UInt32 kIdleThrottleTicks = 1;

// The opening's handle as it stands (-1 once its deregistration took it).
Int32 handleOf(SerialMgrOpening& opening) {
    AtLock guard(opening.lock);
    return opening.handle;
}

// One read. A host driver's read gets SIGUSR2 let in (reader_signal.h); a
// signal taken meanwhile is handled here, after the read has returned.
UInt16 readBlock(SerialMgrOpening& opening, UInt8* buffer, bool hostDriver) {
    // @model:read-handle
    const Int32 handle = handleOf(opening);
    if (!hostDriver) return Serial_Read(handle, buffer, SERIALMGR_RX_BUFFER_SIZE);
    // @model:host-read-enter
    opening.life.enterHostRead();
    at_open_signal_window();
    const UInt16 result = Serial_Read(handle, buffer, SERIALMGR_RX_BUFFER_SIZE);
    const int readErrno = errno;
    // @model:host-window-close
    const bool signalled = at_close_signal_window() != 0;
    // @model:host-read-leave
    opening.life.leaveHostRead();
    if (signalled) SERIALMGR_HandleSignal(SIGUSR2);
    errno = readErrno;
    return result;
}

// Hands a block to the current client while holding one unit of useSem.
// While a registration or deregistration holds all five units the wait lasts
// until it gives them back; a deregistration lends the reader one as it stops
// it, and the reader then finds no client.
//
// A block read while a pause came is not handed over but kept (false): the
// reader parks and delivers it after the resume. The reader marks itself
// delivering before it looks at stopRx, and a pause stores stopRx before it
// looks at the mark (SerialMgr_AwaitDelivery), so either this look sees the
// pause or the pause waits until dataCb has returned: no block reaches
// dataCb once a pause has returned.
bool deliver(SerialMgrDevice& dev, SerialMgrOpening& opening, UInt8* buffer, UInt16 length) {
    // @model:deliver-unit
    if (OSSEMAPHORE_Obtain(opening.useSem, OSSUSPEND_WAIT) != OSSTATUS_SUCCESS) return true;
    opening.delivering.store(true);
    // @model:deliver-client
    const bool paused = dev.stopRx.load() != 0;
    SerialMgrClientInfo* client = dev.currentClient.load();
    if (!paused && client != nullptr) {
        const SerialMgrNested inCallback;
        client->params.dataCb(client, client->params.userData, buffer, length);
    }
    opening.delivering.store(false);
    opening.delivering.notify_all();
    OSSEMAPHORE_Release(opening.useSem);
    return !paused;
}

// A read of 0 with an errno other than EAGAIN: the reader ends, and tells the
// client once.
void reportReadError(UInt32 devID, SerialMgrDevice& dev, int readErrno) {
    AT_LOGE("SERIALMGR_RX_Entry: devID=%d, blockdatasize == 0, errno %d (%s)\r\n", static_cast<int>(devID), readErrno,
            strerror(readErrno));
    SerialMgrClientInfo* client = dev.currentClient.load();
    if (client == nullptr) return;
    const SerialMgrNested inCallback;
    // @model:read-error-event
    client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_READ_ERROR, 0);
}

// The pass loop. Returns when the reader must run its clean-up.
void passLoop(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening, UInt8* buffer) {
    const bool hostDriver = Serial_IsHostDriver(devID);
    UInt32 idlePasses = 0;
    UInt16 kept = 0;  // a block read as a pause came, delivered after the resume
    // @model:pass-running
    while (opening.running.load() != 0) {
        // @model:pass-stop
        if (dev.stopRx.load() != 0) {
            idlePasses = 0;
            if (SerialMgr_Park(devID, dev, opening) == SerialMgrParkEnd::Stop) return;
            continue;
        }
        // @model:deliver-kept
        if (kept != 0) {
            if (deliver(dev, opening, buffer, kept)) kept = 0;
            continue;
        }
        memset(buffer, 0, SERIALMGR_RX_BUFFER_SIZE);
        if (idlePasses >= kIdlePassesBeforeThrottle) OSTASK_Sleep(kIdleThrottleTicks);
        // errno is cleared first: a read of an unmatched handle returns 0
        // without a driver call and must not report a stale errno. It is
        // copied before the log line, which may change it.
        errno = 0;
        const UInt16 blockdatasize = readBlock(opening, buffer, hostDriver);
        const int readErrno = errno;
        AT_LOGI("   Serial_Read=%d\n", static_cast<int>(blockdatasize));

        if (blockdatasize == 0 || opening.running.load() == 0) {
            if (readErrno == EAGAIN) {
                ++idlePasses;
                continue;
            }
            reportReadError(devID, dev, readErrno);
            return;
        }
        if (blockdatasize <= SERIALMGR_RX_BUFFER_SIZE) {
            idlePasses = 0;
            dev.rxByteCount.fetch_add(blockdatasize);
            if (!deliver(dev, opening, buffer, blockdatasize)) kept = blockdatasize;
        } else if (blockdatasize == STOP_READING_USB_TTY) {
            idlePasses = 0;
            // The STOP of a USB pause that a resume has ended since is only
            // answered (if that pause still waits): the resume came last.
            if (SerialMgr_StopStillWanted(devID, dev, opening)) {
                AT_LOGI(" SERIALMGR_RX_Entry: STOP_READING_USB_TTY:  stopRx=1\n");
            }
        } else {
            ++idlePasses;  // any other result carries nothing
        }
    }
}

// The reader's last act (also of one that returned at its ready check), with
// the ending it took just before its END line: from then on no deregistration
// commits to signal it. A reader that one committed to signal before gets its
// signal handled here, on the reader, whenever it arrives; and a USB pause
// that still waits for an OK gets one, as no park will send it.
void endReader(UInt32 devID, SerialMgrOpening& opening, ReaderLife::Ending ending) {
    // @model:reader-take-signal
    if (at_take_shutdown_signal(ending.awaitSignal ? 1 : 0) != 0) SERIALMGR_HandleSignal(SIGUSR2);
    // @model:reader-end-ack
    if (devID == SERIAL_DEVICE_USB && opening.pauseEpoch.load() != opening.ackEpoch.load()) {
        SerialMgr_AckPauses(gDevList[devID], opening);
    }
    tSerialMgrReader = nullptr;
}

// The clean-up of the reader's own opening, in the documented order. The
// device's view is cleared only while the opening is still the device's: an
// opening that its deregistration took may already have a successor. Each
// view field is cleared before its object is destroyed, so that a resume
// that follows a reader which ended on its own passes 0 (a no-op).
void cleanUp(SerialMgrDevice& dev, SerialMgrOpening& opening) {
    {
        AtLock guard(opening.lock);
        // @model:cleanup-sems
        opening.semsGone = true;
        if (!opening.closed) {
            dev.wait_sem.store(0);
            dev.useSem.store(0);
            dev.regSem.store(0);
        }
    }
    OSSEMAPHORE_destroyMutex(opening.waitSem);
    OSSEMAPHORE_Destroy(opening.useSem);
    OSSEMAPHORE_Destroy(opening.regSem);
    Int32 handle = -1;
    {
        AtLock guard(opening.lock);
        // @model:cleanup-take
        handle = opening.handle;  // a party closes only the handle it took
        opening.handle = -1;
    }
    // @model:cleanup-close
    if (handle != -1 && handle != SERIAL_OPEN_NOT_OPENED) Serial_CloseDevice(handle);
    AtLock guard(opening.lock);
    // @model:cleanup-view
    if (!opening.closed) dev.devBufHandle.store(-1);
}

// Takes the opening that the registration handed over for this reader.
std::shared_ptr<SerialMgrOpening> takeOpening(SerialMgrDevice& dev) {
    const std::unique_ptr<std::shared_ptr<SerialMgrOpening>> box(dev.handoff.exchange(nullptr));
    return box != nullptr ? *box : nullptr;
}

}  // namespace

void SERIALMGR_RX_Entry(UInt32 devID) {
    // Born with SIGUSR2 blocked (SERIALMGR_RegisterClient); blocked again in
    // case a task library does not pass the creator's mask on.
    at_block_shutdown_signal(nullptr);
    SerialMgrDevice& dev = gDevList[devID];
    const std::shared_ptr<SerialMgrOpening> opening = takeOpening(dev);
    if (opening == nullptr) return;  // not started by a registration
    tSerialMgrReader = opening.get();
    // Published before the ready check, so that the deregistration can
    // signal and join a reader at any point of its life.
    // @model:reader-publish
    opening->life.publish();

    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, BEGIN\r\n", static_cast<int>(devID));
    if (AT_STUBS_IsReadyForCommsIO() == 0) {
        // No clean-up: the device stays open with its semaphores, and the
        // deregistration destroys them.
        // @model:reader-end
        endReader(devID, *opening, opening->life.end());
        return;
    }
    {
        AtLock guard(opening->lock);
        if (!opening->closed) dev.rxThread.store(pthread_self());
    }
    // @model:reader-enter-loop
    opening->life.enterLoop();

    UInt8* buffer = static_cast<UInt8*>(dbHEAP_Alloc(SERIALMGR_RX_BUFFER_SIZE, kSourceFile, __LINE__));
    if (buffer != nullptr) {
        passLoop(devID, dev, *opening, buffer);
    } else {
        // Without a buffer the reader cannot read: it ends as after a read
        // failure, closing the device, but tells nobody (the client may not
        // even be attached yet). The client must still deregister.
        AT_LOGE("SERIALMGR_RX_Entry: devID=%d, no receive buffer\r\n", static_cast<int>(devID));
    }
    cleanUp(dev, *opening);
    if (buffer != nullptr) dbHEAP_Delete(buffer, kSourceFile, __LINE__);
    // @model:reader-end
    const ReaderLife::Ending ending = opening->life.end();
    AT_LOGI("SERIALMGR_RX_Entry: devID=%d, END\r\n", static_cast<int>(devID));
    endReader(devID, *opening, ending);
}

void SERIALMGR_HandleSignal(int sig) {
    if (sig != SIGUSR2) return;
    // Inside a host driver's read only the arrival is recorded; the reader
    // comes back here once the read has returned.
    if (at_defer_signal_here() != 0) return;
    const int savedErrno = errno;
    if (tSerialMgrReader != nullptr) tSerialMgrReader->life.signalTaken();
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
