// Flow control and deregistration.
#include <signal.h>
#include <stdint.h>

#include "../drivers/usb_control_pipe.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

namespace {

// Whether a reader of this device is in its loop and can still answer a STOP
// on the USB control pipe. A reader that never passed its ready check, or
// that has ended, never acknowledges, and USB_Control_Pipe_Wait_Ack has no
// time limit.
bool readerCanAcknowledge(const SerialMgrDevice& dev) {
    return dev.rxInLoop.load() != 0 && dev.rxEnded.load() == 0 && dev.rxRunning.load() != 0;
}

void setPending(UInt32 devID, UInt8 value) {
    const OSSemaphore mutex = gShutdownMutex.load();
    const OSStatus status = OSSEMAPHORE_obtainMutex(mutex, OSSUSPEND_WAIT);
    if (status != OSSTATUS_SUCCESS) {
        AT_LOGE("SERIALMGR_RX_Shutdown: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
    }
    gShutdownList[devID].pending.store(value);
    OSSEMAPHORE_releaseMutex(mutex);
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

}  // namespace

void SERIALMGR_RX_Shutdown(UInt32 devID) {
    SerialMgrDevice& dev = gDevList[devID];
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d\r\n", static_cast<int>(devID));
    dev.rxRunning.store(0);
    dev.txReady.store(0);
    AT_LOGI("SERIALMGR_RX_Shutdown: Serial_CloseDevice\r\n");
    Serial_CloseDevice(dev.devBufHandle.load());
    dev.devBufHandle.store(-1);

    // rxThread keeps the identity of any reader that ever passed its ready
    // check, also one that has ended or was joined long ago, so it is not
    // what decides here. A thread is signalled only while it is this device's
    // current reader, has passed its ready check and has not finished its
    // clean-up; it is not yet joined, so its identity cannot name any other
    // thread. A reader that has not passed the check cannot block in a read:
    // rxRunning is already 0, and the reader stores rxInLoop before it reads
    // rxRunning.
    // The new reader publishes its identity as its first act and wakes this
    // wait; sleeping a whole tick here made every short-lived registration
    // cost 5 ms.
    while (dev.rxLife.load() == kRxLifeCreated) SerialMgr_WaitReaderStart(dev);
    const bool joinable = dev.rxLife.load() == kRxLifeJoinable;
    const pthread_t reader = dev.rxJoinThread.load();
    const bool self = joinable && pthread_equal(reader, pthread_self());
    bool signalled = false;
    if (joinable && !self && dev.rxInLoop.load() != 0 && dev.rxEnded.load() == 0) {
        // gShutdownMutex is released before the signal: the handler takes it
        // on the reader.
        setPending(devID, 1);
        AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, send SIGUSR2 to %d\r\n", static_cast<int>(devID),
                static_cast<int>(reader));
        pthread_kill(reader, SIGUSR2);
        signalled = true;
    }
    // Joined exactly once, also a reader that ended on its own or returned at
    // its ready check, so that no finished thread is left unjoined.
    SerialMgr_ReapReader(dev);
    if (signalled && gShutdownList[devID].pending.load() != 0) {
        // The reader had already taken its last pending SIGUSR2 and the
        // signal died with the thread: clear the flag so that no later signal
        // runs this device's shutdown function for it.
        setPending(devID, 0);
    }
    AT_LOGI("SERIALMGR_RX_Shutdown: devID=%d, exiting\r\n", static_cast<int>(devID));
}

extern "C" {

Boolean SERIALMGR_SetFlowControl(SerialMgrClientInfo* client, UInt32 enable) {
    if (client == nullptr || SerialMgr_LoadSig(client) != SERIALMGR_CLIENT_SIG) return FALSE;
    const UInt32 devID = client->devID;
    SerialMgrDevice& dev = gDevList[devID];
    const UInt8 wasPaused = dev.stopRx.exchange(static_cast<UInt8>(enable));
    AT_LOGI("SERIALMGR_SetFlowControl: devID=%d, client=%d enable=%d state=%d\r\n", static_cast<int>(devID),
            static_cast<int>(client->params.clientID), static_cast<int>(enable),
            static_cast<int>(SerialMgr_LoadState(client)));
    if (enable != 0) {
        SerialMgr_StoreState(client, 2);
        // A repeated pause skips the control pipe: the reader is parked (or
        // about to park) already and would not acknowledge a second STOP
        // until some later pause, so the wait for its OK would not end. The
        // handshake is also skipped when no reader is there to answer it.
        if (devID == SERIAL_DEVICE_USB && wasPaused == 0 && readerCanAcknowledge(dev)) {
            USB_Control_Pipe_Send_Stop();
            USB_Control_Pipe_Wait_Ack();
        }
        return TRUE;
    }
    // After a reader ended on its own, wait_sem is 0 (the reader clears it as
    // it destroys the mutex), and both calls do nothing.
    const OSSemaphore waitSem = dev.wait_sem.load();
    if (OSSEMAPHORE_GetCnt(waitSem) == 0) OSSEMAPHORE_releaseMutex(waitSem);
    SerialMgr_StoreState(client, 1);
    return TRUE;
}

Boolean SERIALMGR_DeRegisterClient(SerialMgrClientInfo* client) {
    AT_ASSERT(client != nullptr && SerialMgr_LoadSig(client) == SERIALMGR_CLIENT_SIG,
              "pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE");
    AT_LOGI("SERIALMGR_DeRegisterClient: %p\n", static_cast<void*>(client));
    const UInt32 devID = client->devID;
    SerialMgrDevice& dev = gDevList[devID];

    // Blocking sends that make no progress stop while this is nonzero
    // (SERIALMGR_SendData); they hold units that the deregistration needs.
    dev.deregWaiting.fetch_add(1);
    const OSSemaphore waitSem = dev.wait_sem.load();
    const SerialMgrExclusive held = SerialMgr_ObtainExclusive(dev);
    dev.deregWaiting.fetch_sub(1);

    dev.currentClient.store(nullptr);
    SERIALMGR_SetFlowControl(client, 0);
    SERIALMGR_RX_Shutdown(devID);

    SerialMgr_StoreState(client, 0);
    client->params.eventCb(client, client->params.userData, SERIALMGR_EVENT_DEREGISTERED, 0);
    SerialMgr_StoreSig(client, SERIALMGR_FREED_SIG);

    SerialMgr_ReleaseExclusive(dev, held);
    destroyLeftovers(dev, waitSem, held);
    AT_LOGI("SERIALMGR_DeRegisterClient: %p, exiting\n", static_cast<void*>(client));
    dbHEAP_Delete(client, kSourceFile, __LINE__);
    return TRUE;
}

}  // extern "C"
