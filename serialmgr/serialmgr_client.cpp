// Client registration and sending.
#include <string.h>

#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

namespace {

constexpr UInt32 kSendRetryTicks = 6;

const char kClientValidText[] = "pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";

// Opens a closed device for its first client: handle, semaphores, reader.
// Returns false (device left closed, nothing created) when the open fails.
bool openDevice(UInt32 devID, SerialMgrDevice& dev, const SerialMgrClientParams* params) {
    const Int32 handle = Serial_OpenDevice(devID, params->openParam);
    dev.devBufHandle.store(handle);
    if (handle == SERIAL_OPEN_FAILED || handle == SERIAL_OPEN_NOT_OPENED) {
        AT_LOGE("SERIALMGR_RegisterClient: Open Failed devID=%d, client=%d\r\n", static_cast<int>(devID),
                static_cast<int>(params->clientID));
        dev.devBufHandle.store(-1);
        return false;
    }
    dev.txReady.store(1);

    OSSemaphore sem = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_ChangeName(sem, "SMgr_F");
    dev.wait_sem.store(sem);
    sem = OSSEMAPHORE_Create(5, OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_ChangeName(sem, "SMgr_C");
    dev.useSem.store(sem);
    sem = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_ChangeName(sem, "SMgr_W");
    dev.regSem.store(sem);

    dev.rxRunning.store(1);
    // A reader of an earlier opening that finished but was never joined (it
    // ended on its own before any client was attached) is joined now, before
    // its bookkeeping is reused.
    if (dev.rxEnded.load() != 0) SerialMgr_ReapReader(dev);
    dev.rxInLoop.store(0);
    dev.rxEnded.store(0);
    // Marked before the thread exists: the reader may run and publish its
    // identity before OSTASK_CreateWArg returns.
    dev.rxLife.store(kRxLifeCreated);
    const OSTask task = OSTASK_CreateWArg(SERIALMGR_RX_Entry, "SerMgr", 20, 4608, devID, 0);
    if (task == 0) dev.rxLife.store(kRxLifeNone);  // no thread: the device stays open without a reader
    dev.rxTask.store(task);
    return true;
}

}  // namespace

extern "C" {

SerialMgrClientInfo* SERIALMGR_RegisterClient(const SerialMgrClientParams* params) {
    AT_LOGI("SERIALMGR_RegisterClient: inDevID=%d\r\n", static_cast<int>(params->devID));
    UInt32 devID = params->devID;
    bool nullDevice = false;
    if (params->useDefaultDevice != 0) {
        devID = SERIAL_DEVICE_UART_A;
    } else if (devID >= SERIAL_DEVICE_MAX_DEVICE_NUM) {
        AT_LOGE("SERIALMGR_RegisterClient: Invalid devID=%d, client=%d\r\n", static_cast<int>(devID),
                static_cast<int>(params->clientID));
        return nullptr;
    } else if (devID == SERIAL_DEVICE_NULL) {
        AT_LOGE("SERIALMGR_RegisterClient: setting up NULL device\r\n");
        nullDevice = true;
    }
    SerialMgrDevice& dev = gDevList[devID];

    const bool needOpen = !nullDevice && dev.devBufHandle.load() == -1;
    AT_ASSERT(!needOpen || dev.currentClient.load() == nullptr, "gDevList[inDevID].currentClient == NULL");

    // The record is allocated before the device is opened: when the heap is
    // exhausted the registration fails like a failed open, with NULL and the
    // device exactly as it was (no open, no semaphores, no reader to undo).
    SerialMgrClientInfo* client = static_cast<SerialMgrClientInfo*>(
        dbHEAP_Alloc(sizeof(SerialMgrClientInfo), kSourceFile, __LINE__));
    if (client == nullptr) {
        AT_LOGE("SERIALMGR_RegisterClient: no memory for the client record devID=%d, client=%d\r\n",
                static_cast<int>(devID), static_cast<int>(params->clientID));
        return nullptr;
    }
    memset(client, 0, sizeof *client);

    if (needOpen && !openDevice(devID, dev, params)) {
        dbHEAP_Delete(client, kSourceFile, __LINE__);
        return nullptr;
    }

    const SerialMgrExclusive held = SerialMgr_ObtainExclusive(dev);
    client->devID = devID;
    client->params = *params;
    client->state = 1;
    client->reserved1 = 0;
    client->reserved2 = 0;
    client->skipSendLock = 0;
    SerialMgr_StoreSig(client, SERIALMGR_CLIENT_SIG);
    // A previous current client is replaced and stays valid until it
    // deregisters.
    dev.currentClient.store(client);
    SERIALMGR_SetFlowControl(client, 0);
    SerialMgr_ReleaseExclusive(dev, held);
    return client;
}

Int32 SERIALMGR_SendData(SerialMgrClientInfo* client, const UInt8* buf, UInt32 len, UInt32 block) {
    AT_ASSERT(len < 0xFFFF, "len < 0xFFFF");
    if (client == nullptr || SerialMgr_LoadSig(client) != SERIALMGR_CLIENT_SIG) {
        AT_LOGE("SERIALMGR_SendData Fail. Invalid client handle [%p].\r\n", static_cast<void*>(client));
        return 0;
    }
    // A send from inside dataCb for the device being delivered takes no
    // second unit: the reader already holds one for the whole call, which
    // keeps registrations and deregistrations out just as well. Waiting for a
    // second unit there could deadlock: a deregistration takes the units one
    // at a time and may hold all the others, waiting for the reader's.
    const bool takeUnit = client->skipSendLock == 0 && tSerialMgrDeliveringDev != client->devID;
    OSSemaphore unit = 0;
    if (takeUnit) {
        unit = gDevList[client->devID].useSem.load();
        OSSEMAPHORE_Obtain(unit, OSSUSPEND_WAIT);
        AT_ASSERT(SerialMgr_LoadSig(client) == SERIALMGR_CLIENT_SIG, kClientValidText);
    }

    UInt32 unsent = len;
    const SerialMgrDevice& start = gDevList[client->devID];
    if (SerialMgr_LoadState(client) == 1 && start.txReady.load() != 0) {
        if (block == 0) {
            // One write; its result is the result, 65535 for a failed write.
            const UInt16 written = Serial_Write(start.devBufHandle.load(), buf, static_cast<UInt16>(len));
            unsent = len - written;
        } else if (len == 0) {
            unsent = 0;
        } else {
            const UInt8* position = buf;
            UInt32 remaining = len;
            for (;;) {
                // The device ID, handle and flag are read again on each pass.
                const SerialMgrDevice& dev = gDevList[client->devID];
                const Int32 handle = dev.devBufHandle.load();
                if (dev.txReady.load() == 0) break;
                // A closed device (its reader ended on its own) takes nothing
                // until the client deregisters: the send ends now instead of
                // retrying every 6 ticks while it holds a unit of useSem.
                if (handle == -1) break;
                const UInt16 written = Serial_Write(handle, position, static_cast<UInt16>(remaining));
                // A result above what was asked (65535 is a failed write) is
                // not a count: nothing past the caller's data is read and no
                // more than len is counted; the failed write ends the send.
                if (written > remaining) break;
                remaining -= written;
                position += written;
                if (remaining == 0) break;
                // A pass that moved nothing while a deregistration waits for
                // this send's unit ends the send: that deregistration would
                // clear txReady, but only after the send has given its unit
                // back, so otherwise neither could go on.
                if (written == 0 && dev.deregWaiting.load() != 0) break;
                OSTASK_Sleep(kSendRetryTicks);
            }
            unsent = remaining;
        }
    }

    const UInt32 devID = client->devID;
    if (gDevList[devID].txReady.load() == 0) {
        AT_LOGE("SERIALMGR_SendData Fail!! ( DTR Received ) devID=%d, client=%d len=%ld \r\n", static_cast<int>(devID),
                static_cast<int>(client->params.clientID), static_cast<long>(len));
    }
    const Int32 lenSent = static_cast<Int32>(len - unsent);
    AT_LOGI("SERIALMGR_SendData: devID=%d, client=%d buf=%p len=%ld lenSent=%ld block=%d state=%d\r\n",
            static_cast<int>(devID), static_cast<int>(client->params.clientID), static_cast<const void*>(buf),
            static_cast<long>(len), static_cast<long>(lenSent), static_cast<int>(block),
            static_cast<int>(SerialMgr_LoadState(client)));
    if (takeUnit) SerialMgr_ReleaseIfCurrent(gDevList[devID].useSem, unit);
    return lenSent;
}

}  // extern "C"
