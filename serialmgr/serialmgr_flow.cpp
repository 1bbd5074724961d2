// Flow control and deregistration.
#include <sched.h>
#include <signal.h>

#include <chrono>
#include <mutex>

#include "../drivers/usb_control_pipe.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

namespace {

constexpr char kClientValidText[] = "pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";

// A host driver's wait cannot take SIGUSR2 atomically (drivers/signal_wait.h):
// one that arrives just before the wait begins is lost, and nothing else can
// wake that wait. So while the reader is still inside such a read, the signal
// is sent again this often.
// The close and the first signal end nearly every read within microseconds,
// so the deregistration first yields to the reader for up to a millisecond;
// only a read still going after that waits for resends.
constexpr UInt32 kResendTicks = 4;
constexpr auto kFirstLook = std::chrono::milliseconds(1);

void resendWhileInHostRead(const SerialMgrDevice& dev, pthread_t reader) {
    auto inHostRead = [&dev] {
        return dev.rxLife.has(ReaderLife::kInHostRead) && !dev.rxLife.has(ReaderLife::kEnded);
    };
    const auto firstLookEnds = std::chrono::steady_clock::now() + kFirstLook;
    while (inHostRead() && std::chrono::steady_clock::now() < firstLookEnds) sched_yield();
    while (inHostRead()) {
        OSTASK_Sleep(kResendTicks);
        if (inHostRead()) pthread_kill(reader, SIGUSR2);
    }
}

// A reader that has read a block waits for a unit of useSem, and the
// deregistration holds all five until after the join: it lends the reader one
// once rxRunning and txReady are 0. Whoever takes it (the reader, or a send
// that was already waiting) finds no client or nothing to write and gives it
// back at once.
void lendUnitToReader(SerialMgrDevice& dev) {
    SerialMgrExclusive& held = dev.held;
    if (held.units != kUseUnits || held.useSem == 0 || dev.useSem.load() != held.useSem) return;
    OSSEMAPHORE_Release(held.useSem);
    --held.units;
}

// The USB pause's STOP/OK exchange: returns once the reader is parked for
// this pause, or has ended. The reader acknowledges on every round of its
// park, so an OK may be left over from an earlier pause (the first park after
// wait_sem was created sends two); an OK counts only when the reader has been
// in its park loop since this pause set stopRx, which kParked tells (the
// pause cleared it just before).
void pauseHandshake(SerialMgrDevice& dev) {
    USB_Control_Pipe_Send_Stop();
    do {
        USB_Control_Pipe_Wait_Ack();
    } while (!dev.rxLife.has(ReaderLife::kParked) && !dev.rxLife.has(ReaderLife::kEnded));
    dev.rxLife.clear(ReaderLife::kPauseWaiting);
}

// A deregistration of a device whose reader never ran its clean-up (it never
// passed its ready check, or no reader could be started) would otherwise
// leave the device's three semaphores behind for ever: the next registration
// creates new ones. They are destroyed here, once the units are given back;
// a field is cleared only if it still names the semaphore seen at the start,
// so that the semaphores of a newer registration are never touched.
void destroyLeftovers(SerialMgrDevice& dev, OSSemaphore waitSem, const SerialMgrExclusive& held) {
    OSSemaphore expected = waitSem;
    if (waitSem != 0 && dev.wait_sem.compare_exchange_strong(expected, 0)) OSSEMAPHORE_destroyMutex(waitSem);
    expected = held.useSem;
    if (held.useSem != 0 && dev.useSem.compare_exchange_strong(expected, 0)) OSSEMAPHORE_Destroy(held.useSem);
    expected = held.regSem;
    if (held.regSem != 0 && dev.regSem.compare_exchange_strong(expected, 0)) OSSEMAPHORE_Destroy(held.regSem);
}

// The part of a deregistration that holds the device's locks: detach, stop
// the reader, tell the client, mark the record freed.
void detachAndStop(SerialMgrClientInfo* client, UInt32 devID, SerialMgrDevice& dev) {
    std::lock_guard<std::mutex> flow(dev.flowLock);
    const OSSemaphore waitSem = dev.wait_sem.load();
    SerialMgr_ObtainExclusive(dev);
    dev.currentClient.store(nullptr);
    SerialMgr_SetFlow(client, devID, 0, false);  // releases a parked reader, which finds no client
    SERIALMGR_RX_Shutdown(devID);
    SerialMgr_StoreState(client, 0);
    client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_DEREGISTERED, 0);
    SerialMgr_RemoveClient(client);
    const SerialMgrExclusive held = dev.held;
    SerialMgr_ReleaseExclusive(dev);
    destroyLeftovers(dev, waitSem, held);
}

}  // namespace

void SERIALMGR_RX_Shutdown(UInt32 devID) {
    SerialMgrDevice& dev = gDevList[devID];
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d\r\n", static_cast<int>(devID));
    dev.rxRunning.store(0);
    dev.txReady.store(0);
    AT_LOGI("SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n");
    Serial_CloseDevice(dev.devBufHandle.load());
    dev.devBufHandle.store(-1);
    lendUnitToReader(dev);

    // Any reader that exists and has not ended is signalled, also one that has
    // not passed its ready check yet: it keeps the signal pending and handles
    // it at its end, so the device's shutdown function runs whatever the
    // timing. One that has ended is only joined: its identity may not name a
    // thread any more once it is joined.
    dev.rxLife.waitUntilStarted();
    if (dev.rxLife.commitStop()) {
        const pthread_t reader = dev.rxLife.thread();
        // gShutdownMutex is released before the signal: the handler takes it
        // on the reader.
        SerialMgr_SetPending(devID, 1);
        AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, send SIGUSR2 to %d\r\n", static_cast<int>(devID),
                static_cast<int>(reader));
        pthread_kill(reader, SIGUSR2);
        if (!pthread_equal(reader, pthread_self())) resendWhileInHostRead(dev, reader);
    }
    dev.rxLife.reap();
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, exiting\r\n", static_cast<int>(devID));
}

void SerialMgr_SetFlow(SerialMgrClientInfo* client, UInt32 devID, UInt32 enable, bool handshake) {
    SerialMgrDevice& dev = gDevList[devID];
    // Cleared before stopRx is set: a reader that sees this pause's stopRx
    // parks and sets kParked after this, so its OK counts (pauseHandshake).
    // Cleared after, a reader already on its way to the OK would set the bit
    // first and then wait in its park for ever, and the pause with it.
    if (enable != 0) dev.rxLife.clear(ReaderLife::kParked);
    const UInt8 wasPaused = dev.stopRx.exchange(static_cast<UInt8>(enable));
    AT_LOGI("SERIALMGR_SetFlowControl: devID=%d, client=%d enable=%d state=%d\r\n", static_cast<int>(devID),
            static_cast<int>(client->params.clientID), static_cast<int>(enable),
            static_cast<int>(SerialMgr_LoadState(client)));
    if (enable != 0) {
        SerialMgr_StoreState(client, 2);
        // A repeated pause skips the control pipe, and so does a pause that
        // finds the reader in its park already: it would not read a STOP
        // until some later pause, and STOPs left unread pile up beyond what
        // the reopen's drain takes. The handshake is also skipped when no
        // reader is there to answer; a reader that ends while a pause waits
        // answers at its end (serialmgr_rx.cpp).
        if (handshake && devID == SERIAL_DEVICE_USB && wasPaused == 0 && dev.rxLife.beginPauseWait()) {
            pauseHandshake(dev);
        }
        return;
    }
    // After a reader ended on its own, wait_sem is 0 (the reader clears it as
    // it destroys the mutex), and both calls do nothing.
    const OSSemaphore waitSem = dev.wait_sem.load();
    if (OSSEMAPHORE_GetCnt(waitSem) == 0) OSSEMAPHORE_releaseMutex(waitSem);
    SerialMgr_StoreState(client, 1);
}

extern "C" {

Boolean SERIALMGR_SetFlowControl(SerialMgrClientInfo* client, UInt32 enable) {
    const SerialMgrClientCall call(client);
    if (!call.valid()) return FALSE;
    if (call.onReader()) {
        // From dataCb or eventCb: flowLock may be held by a pause that waits
        // for this very reader. A pause from here does not wait for the OK;
        // the reader parks as soon as the callback returns.
        SerialMgr_SetFlow(client, call.devID(), enable, false);
        return TRUE;
    }
    std::lock_guard<std::mutex> flow(call.dev().flowLock);
    UInt32 devID = 0;
    if (!SerialMgr_FindClient(client, &devID)) return FALSE;  // deregistered while this call waited
    SerialMgr_SetFlow(client, devID, enable, true);
    return TRUE;
}

Boolean SERIALMGR_DeRegisterClient(SerialMgrClientInfo* client) {
    UInt32 devID = 0;
    AT_ASSERT(SerialMgr_FindClient(client, &devID), kClientValidText);
    AT_LOGI("SERIALMGR_DeRegisterClient: %p\n", static_cast<void*>(client));
    SerialMgrDevice& dev = gDevList[devID];
    {
        const SerialMgrGate gate(dev);
        std::lock_guard<std::mutex> reg(dev.regLock);
        // A second deregistration of the same record waited here for the
        // first one, and stops the process cleanly instead of freeing twice.
        AT_ASSERT(SerialMgr_FindClient(client, &devID), kClientValidText);
        detachAndStop(client, devID, dev);
        // Calls that were already under way with this record (a send waiting
        // for its unit, a pause waiting for flowLock) finish before it goes;
        // new ones wait at the gate and then find it deregistered. regLock is
        // still held, so no registration can start a reader (and with it
        // calls from its thread) meanwhile; none of those calls waits for it.
        for (UInt32 n = dev.inside.load(); n != 0; n = dev.inside.load()) dev.inside.wait(n);
    }
    AT_LOGI("SERIALMGR_DeRegisterClient: %p, exiting\n", static_cast<void*>(client));
    dbHEAP_Delete(client, kSourceFile, __LINE__);
    return TRUE;
}

}  // extern "C"
