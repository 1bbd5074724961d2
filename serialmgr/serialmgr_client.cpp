// Client registration and sending.
#include <signal.h>
#include <string.h>

#include <mutex>

#include "../drivers/signal_wait.h"
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

namespace {

constexpr UInt32 kSendRetryTicks = 6;

constexpr char kClientValidText[] = "pClientInfo != NULL && pClientInfo->sig == 0xBABEFACE";

OSSemaphore createNamed(OSSemaphore sem, const char* name) {
    OSSEMAPHORE_ChangeName(sem, name);
    return sem;
}

// Starts the device's reader. It is born with SIGUSR2 blocked (threads take
// their creator's mask), so a deregistration's signal that comes before the
// reader's first instruction stays pending (drivers/signal_wait.h).
void startReader(UInt32 devID, SerialMgrDevice& dev) {
    // A reader of an earlier opening that ended on its own is joined before
    // its bookkeeping is reused: a thread nobody joins would stay for ever.
    dev.rxLife.waitUntilStarted();
    dev.rxLife.reap();
    dev.rxLife.start();
    sigset_t old;
    at_block_shutdown_signal(&old);
    const OSTask task = OSTASK_CreateWArg(SERIALMGR_RX_Entry, "SerMgr", 20, 4608, devID, 0);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (task == 0) dev.rxLife.abandon();  // no thread: the device stays open without a reader
    dev.rxTask.store(task);
}

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
    dev.wait_sem.store(createNamed(OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT), "SMgr_F"));
    dev.useSem.store(createNamed(OSSEMAPHORE_Create(kUseUnits, OSSEMAPHORE_MODE_DEFAULT), "SMgr_C"));
    dev.regSem.store(createNamed(OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT), "SMgr_W"));
    dev.rxRunning.store(1);
    startReader(devID, dev);
    return true;
}

// Attaches the new record as the device's current client under the device's
// exclusive lock; a previous current client is replaced and stays valid until
// it deregisters.
void attach(SerialMgrClientInfo* client, UInt32 devID, SerialMgrDevice& dev, const SerialMgrClientParams* params) {
    std::lock_guard<std::mutex> flow(dev.flowLock);
    SerialMgr_ObtainExclusive(dev);
    client->devID = devID;
    client->params = *params;
    client->state = 1;
    client->reserved1 = 0;
    client->reserved2 = 0;
    client->skipSendLock = 0;
    SerialMgr_AddClient(client);
    dev.currentClient.store(client);
    SerialMgr_SetFlow(client, devID, 0, false);
    SerialMgr_ReleaseExclusive(dev);
}

// Blocking mode: writes in passes 6 ticks apart until all is written. Returns
// the bytes left unsent.
UInt32 writeInPasses(const SerialMgrClientInfo* client, const UInt8* buf, UInt32 len) {
    const UInt8* position = buf;
    UInt32 remaining = len;
    while (remaining != 0) {
        // The device, its handle and flag are read again on each pass.
        const SerialMgrDevice& dev = gDevList[client->devID];
        const Int32 handle = dev.devBufHandle.load();
        // A closed device (its reader ended on its own) takes nothing until
        // the client deregisters: the send ends now instead of retrying.
        if (dev.txReady.load() == 0 || handle == -1) break;
        const UInt16 written = Serial_Write(handle, position, static_cast<UInt16>(remaining));
        // A result above what was asked (65535 is a failed write) is not a
        // count: nothing past the caller's data is read and no more than len
        // is counted; the failed write ends the send.
        if (written > remaining) break;
        remaining -= written;
        position += written;
        if (remaining == 0) break;
        // A pass that moved nothing while a registration or deregistration
        // waits for the device's units ends the send: it holds a unit (or the
        // reader does, around dataCb), so otherwise neither could go on.
        if (written == 0 && dev.exclusive.load() != 0) break;
        OSTASK_Sleep(kSendRetryTicks);
    }
    return remaining;
}

// Writes as the client's state and the device allow; returns the bytes unsent.
UInt32 writeData(SerialMgrClientInfo* client, const UInt8* buf, UInt32 len, UInt32 block) {
    const SerialMgrDevice& dev = gDevList[client->devID];
    if (SerialMgr_LoadState(client) != 1 || dev.txReady.load() == 0) return len;
    if (block != 0) return writeInPasses(client, buf, len);
    // One write; its result is the result, 65535 for a failed write.
    return len - Serial_Write(dev.devBufHandle.load(), buf, static_cast<UInt16>(len));
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
    const SerialMgrGate gate(dev);
    std::lock_guard<std::mutex> reg(dev.regLock);
    const bool needOpen = !nullDevice && dev.devBufHandle.load() == -1;
    AT_ASSERT(!needOpen || dev.currentClient.load() == nullptr, "gDevList[inDevID].currentClient == NULL");

    // The record is allocated before the device is opened: when the heap is
    // exhausted the registration fails like a failed open, with NULL and the
    // device exactly as it was (no open, no semaphores, no reader to undo).
    auto* client = static_cast<SerialMgrClientInfo*>(
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
    attach(client, devID, dev, params);
    return client;
}

Int32 SERIALMGR_SendData(SerialMgrClientInfo* client, const UInt8* buf, UInt32 len, UInt32 block) {
    AT_ASSERT(len < 0xFFFF, "len < 0xFFFF");
    const SerialMgrClientCall call(client);
    if (!call.valid()) {
        AT_LOGE("SERIALMGR_SendData Fail. Invalid client handle [%p].\r\n", static_cast<void*>(client));
        return 0;
    }
    SerialMgrDevice& dev = call.dev();
    // A send on the device's own reader thread takes no unit: from dataCb the
    // reader holds one for the whole call, and waiting for a second could
    // deadlock with a deregistration that holds the other four; from eventCb
    // the deregistration joins the reader before it frees anything.
    const bool takeUnit = client->skipSendLock == 0 && !call.onReader();
    OSSemaphore unit = 0;
    if (takeUnit) {
        unit = dev.useSem.load();
        OSSEMAPHORE_Obtain(unit, OSSUSPEND_WAIT);
        UInt32 devID = 0;
        AT_ASSERT(SerialMgr_FindClient(client, &devID), kClientValidText);
    }
    const UInt32 unsent = writeData(client, buf, len, block);

    const UInt32 devID = call.devID();
    if (dev.txReady.load() == 0) {
        AT_LOGE("SERIALMGR_SendData Fail!! ( DTR Received ) devID=%d, client=%d len=%ld \r\n", static_cast<int>(devID),
                static_cast<int>(client->params.clientID), static_cast<long>(len));
    }
    const Int32 lenSent = static_cast<Int32>(len - unsent);
    AT_LOGI("SERIALMGR_SendData: devID=%d, client=%d buf=%p len=%ld lenSent=%ld block=%d state=%d\r\n",
            static_cast<int>(devID), static_cast<int>(client->params.clientID), static_cast<const void*>(buf),
            static_cast<long>(len), static_cast<long>(lenSent), static_cast<int>(block),
            static_cast<int>(SerialMgr_LoadState(client)));
    if (takeUnit) SerialMgr_ReleaseIfCurrent(dev.useSem, unit);
    return lenSent;
}

}  // extern "C"
