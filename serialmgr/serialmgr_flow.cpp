// Flow control: pause and resume, both sides of it. The caller's side sets
// stopRx and the client's state; the reader's side parks on "SMgr_F" and,
// when the pause ends, reopens the device. On the USB device a pause also
// sends STOP on the control pipe and waits for the reader's OK; the whole of
// that exchange is here.
//
// The STOP/OK rule. A USB pause holds the ack pipe (UsbAckPipeHold), counts
// itself (the opening's pauseEpoch) under flowLock in the same turn in which
// it sets stopRx, writes STOP and reads OKs until the reader has acknowledged
// its count (ackEpoch) or a resume has overridden it (overriddenEpoch). The
// reader acknowledges every count it has seen, with one OK, when it parks
// (each round of its park, which also takes the spent STOPs out of the
// pipe), when it ends, and when it reads a STOP whose pause still waits after
// a resume. Only pauses write STOPs on the USB device, each after setting
// stopRx, so a STOP read with stopRx clear belongs to a pause that a resume
// has ended: the reader reads on (another device's STOP result is its
// driver's own and parks the reader). A resume that overrides a waiting pause
// sends an OK itself, since the reader may never read that pause's STOP: a
// reopen's open throws away what the control pipe holds. So a pause returns
// when the reader is parked for it, has ended, or when a later resume won;
// never on an OK left over from an earlier park. Pauses from other threads
// take turns on pauseLock, so only one of them reads the ack pipe at a time.
//
// On every device, a pause from another thread also waits for a delivery
// that is under way (the reader's delivering mark): when it returns, no block
// reaches dataCb until a resume. A block read as the pause came is kept by
// the reader and delivered after the resume.
#include "../drivers/usb_control_pipe.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

#include <stdint.h>

namespace {

// A mutex whose obtain keeps failing cannot wake anyone, so the park polls
// then: one tick a round keeps it from spinning a core and flooding the log.
constexpr UInt32 kFailedParkTicks = 1;

void* handleAsPointer(OSSemaphore handle) { return reinterpret_cast<void*>(static_cast<uintptr_t>(handle)); }

// Takes the opening's handle, closes it and opens the device again with its
// default open argument (not the client's), for the opening only: when the
// deregistration took the opening meanwhile, the reader closes what it
// opened and ends at its next pass.
void reopen(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening) {
    Int32 old = -1;
    {
        AtLock guard(opening.lock);
        if (opening.closed) return;
        // @model:reopen-take
        old = opening.handle;
        opening.handle = -1;
    }
    // @model:reopen-close
    Serial_CloseDevice(old);
    // @model:reopen-open
    const Int32 fresh = Serial_OpenDevice(devID, 0);
    {
        AtLock guard(opening.lock);
        if (!opening.closed) {
            // @model:reopen-store
            opening.handle = fresh;
            dev.devBufHandle.store(fresh);
            AT_ASSERT_IN("SERIALMGR_RX_Entry", fresh != -1, "pDev->devBufHandle != -1");
            return;
        }
    }
    // @model:reopen-close-own
    if (fresh != SERIAL_OPEN_FAILED && fresh != SERIAL_OPEN_NOT_OPENED) Serial_CloseDevice(fresh);
}

// While parked, the reader answers pauses by their counts, so the STOPs in
// the control pipe are spent: each round of the park takes them out. Else a
// host that pauses and resumes while the reader stays parked would fill the
// pipe, and its next STOP would wait for ever.
void dropSpentStops() {
    char text[80];
    // @model:park-drop-stops
    while (usbControlPipeReadIfReady(s_control_pipe[0], text) > 0) {
    }
}

}  // namespace

SerialMgrFlowChange SerialMgr_SetFlow(SerialMgrDevice& dev, SerialMgrClientInfo* client, UInt32 devID,
                                      UInt32 enable) {
    SerialMgrOpening* opening = dev.opening.get();
    // stopRx is written only under flowLock, so this look and the store below
    // are one turn.
    const UInt8 wasPaused = dev.stopRx.load();
    // A USB pause counts itself before it sets stopRx: a reader that sees
    // stopRx set then acknowledges this count when it parks.
    const bool usbPause = enable != 0 && devID == SERIAL_DEVICE_USB && wasPaused == 0 && opening != nullptr;
    // @model:setflow-count
    const UInt32 epoch = usbPause ? opening->pauseEpoch.fetch_add(1) + 1 : 0;
    // @model:setflow-store
    dev.stopRx.store(static_cast<UInt8>(enable));
    AT_LOGI("SERIALMGR_SetFlowControl: devID=%d, client=%d enable=%d state=%d\r\n", static_cast<int>(devID),
            static_cast<int>(client->params.clientID), static_cast<int>(enable),
            static_cast<int>(SerialMgr_LoadState(client)));
    if (enable != 0) {
        SerialMgr_StoreState(client, 2);
        // A repeated pause skips the control pipe: the reader is parked, or
        // looks at stopRx before it reads again. So does a pause with no
        // reader in its loop to answer; a reader that ends after this look
        // sees the count and answers at its end.
        // @model:setflow-can-answer
        return {usbPause && opening->life.canAnswerPause() ? epoch : 0, false};
    }
    // A resume overrides the pauses whose STOP is still unanswered: when the
    // reader reads such a STOP it answers it and reads on.
    bool answerPause = false;
    if (opening != nullptr && opening->pauseEpoch.load() != opening->ackEpoch.load()) {
        // @model:setflow-override
        opening->overriddenEpoch.store(opening->pauseEpoch.load());
        answerPause = opening->awaitedEpoch.exchange(0) > opening->ackEpoch.load();
    }
    // The state first: the released reader may deliver at once, and a reply
    // sent from dataCb must find its client sending again.
    SerialMgr_StoreState(client, 1);
    // After a reader ended on its own, wait_sem is 0 (cleared before the
    // reader destroyed the mutex), and both calls do nothing.
    const OSSemaphore waitSem = dev.wait_sem.load();
    // @model:setflow-release
    if (OSSEMAPHORE_GetCnt(waitSem) == 0) OSSEMAPHORE_releaseMutex(waitSem);
    return {0, answerPause};
}

void SerialMgr_AnswerOverridden(const SerialMgrFlowChange& change) {
    // @model:resume-answer
    if (change.answerPause) USB_Control_Pipe_Send_Ack();
}

void SerialMgr_AwaitPark(SerialMgrDevice&, const std::shared_ptr<SerialMgrOpening>& opening, UInt32 epoch,
                         const UsbAckPipeHold& ackHold) {
    // @model:await-stop
    USB_Control_Pipe_Send_Stop();
    do {
        ackHold.waitAck();
        // @model:await-epoch
    } while (opening->ackEpoch.load() < epoch && opening->overriddenEpoch.load() < epoch);
}

void SerialMgr_AwaitDelivery(const SerialMgrOpening& opening) {
    while (opening.delivering.load()) opening.delivering.wait(true);
}

void SerialMgr_AckPauses(SerialMgrDevice& dev, SerialMgrOpening& opening) {
    // The count is read under flowLock, where a pause counts itself and sets
    // stopRx in one turn: a reader that read the count without it could
    // acknowledge a pause whose stopRx it has not seen, reopen (draining that
    // pause's STOP and this OK) and leave the pause waiting for ever.
    UInt32 count = 0;
    {
        AtLock flow(dev.flowLock);
        // @model:ack-pauses
        count = opening.pauseEpoch.load();
    }
    opening.ackEpoch.store(count);  // before the OK: the pause looks at it on the OK
    USB_Control_Pipe_Send_Ack();
}

bool SerialMgr_StopStillWanted(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening) {
    bool answer = false;
    {
        AtLock flow(dev.flowLock);
        // @model:stop-still-wanted
        // Only pauses write STOPs into the USB control pipe, and each sets
        // stopRx first: with stopRx clear, a resume has ended the pause that
        // wrote this one. Another device's STOP is its driver's own.
        if (dev.stopRx.load() != 0 || devID != SERIAL_DEVICE_USB) {
            dev.stopRx.store(1);
            return true;
        }
        // A pause that still waits is answered here. Under flowLock: a pause
        // that comes after this look counts itself after the count
        // acknowledged here, and waits for a real park.
        answer = opening.overriddenEpoch.load() > opening.ackEpoch.load();
        if (answer) opening.ackEpoch.store(opening.pauseEpoch.load());
    }
    AT_LOGI(" SERIALMGR_RX_Entry: STOP_READING_USB_TTY: resumed since, reading on\n");
    // @model:stop-overridden-ack
    if (answer) USB_Control_Pipe_Send_Ack();
    return false;
}

SerialMgrParkEnd SerialMgr_Park(UInt32 devID, SerialMgrDevice& dev, SerialMgrOpening& opening) {
    // There is no timed poll: every resume, and every deregistration (which
    // resumes before it clears the run flag), releases wait_sem after it
    // cleared stopRx, and the mutex is binary, so the release cannot be
    // missed. When the obtain returns at once (the mutex was free, as at the
    // first pause after it was created) and the pause is still on, the reader
    // logs, acknowledges and parks again here rather than in a new pass, so
    // that a resume that comes just then still leads to the reopen below and
    // with it to the drain of the USB control pipes.
    do {
        if (opening.running.load() == 0) return SerialMgrParkEnd::NewPass;  // the top of the pass ends the loop
        AT_LOGI("SERIALMGR_RX_Entry: devID=%d, wait_sem=%p\r\n", static_cast<int>(devID),
                handleAsPointer(opening.waitSem));
        if (devID == SERIAL_DEVICE_USB) {
            dropSpentStops();
            SerialMgr_AckPauses(dev, opening);
        }
        // @model:park-obtain
        const OSStatus status = OSSEMAPHORE_obtainMutex(opening.waitSem, OSSUSPEND_WAIT);
        if (status != OSSTATUS_SUCCESS) {
            AT_LOGE("SERIALMGR_RX_Entry: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
            OSTASK_Sleep(kFailedParkTicks);
        }
        // The reader stays the holder of wait_sem; a resume releases it.
        // @model:park-while
    } while (dev.stopRx.load() != 0);
    if (opening.running.load() == 0) return SerialMgrParkEnd::NewPass;
    // @model:park-client-gone
    if (dev.currentClient.load() == nullptr) {
        AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Stop devID %d\r\n", static_cast<int>(devID));
        return SerialMgrParkEnd::Stop;
    }
    AT_LOGI("SERIALMGR_RX_Entry: Flow wait end. Refresh device %d\r\n", static_cast<int>(devID));
    reopen(devID, dev, opening);
    // A new pass looks at stopRx again before it reads: a pause that came
    // during the reopen had its STOP drained by the open, and only this look
    // parks the reader (and acknowledges that pause) before it reads.
    return SerialMgrParkEnd::NewPass;
}

extern "C" {

Boolean SERIALMGR_SetFlowControl(SerialMgrClientInfo* client, UInt32 enable) {
    const SerialMgrClientCall call(client);
    if (!call.valid()) return FALSE;
    SerialMgrDevice& dev = call.dev();
    UInt32 devID = call.devID();
    if (enable == 0 || call.onReader() || call.nested()) {
        // Nothing to wait for. From the reader's own callbacks a pause parks
        // the reader as soon as the callback returns; from another device's
        // callbacks it does not wait for this reader (which may be waiting
        // for that one).
        SerialMgrFlowChange change;
        {
            // @model:cb-flowlock
            AtLock flow(dev.flowLock);
            // @model:flow-lock-find
            if (!SerialMgr_FindClient(client, &devID)) return FALSE;  // deregistered meanwhile
            change = SerialMgr_SetFlow(dev, client, devID, enable);
        }
        SerialMgr_AnswerOverridden(change);
        return TRUE;
    }
    // @model:pause-lock
    AtLock pause(dev.pauseLock);
    std::shared_ptr<SerialMgrOpening> opening;
    {
        // Every OK meant for this pause is written after its count, below.
        // @model:pause-ack-hold
        const UsbAckPipeHold ackHold(devID == SERIAL_DEVICE_USB);
        UInt32 epoch = 0;
        {
            AtLock flow(dev.flowLock);
            // @model:flow-lock-find
            if (!SerialMgr_FindClient(client, &devID)) return FALSE;  // deregistered while this call waited
            opening = dev.opening;
            epoch = SerialMgr_SetFlow(dev, client, devID, enable).awaitEpoch;
            // @model:pause-awaited
            if (epoch != 0) opening->awaitedEpoch.store(epoch);
        }
        if (epoch != 0) SerialMgr_AwaitPark(dev, opening, epoch, ackHold);
    }
    // @model:await-delivery
    if (opening != nullptr) SerialMgr_AwaitDelivery(*opening);
    return TRUE;
}

}  // extern "C"
