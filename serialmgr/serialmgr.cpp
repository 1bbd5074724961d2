// Serial manager records, accessors and start-up.
#include <signal.h>

#include <unordered_map>

#include "../drivers/uart_x_drv.h"
#include "../drivers/usb_control_pipe.h"
#include "../serialapi/serialapi.h"
#include "../stubs/other_stubs.h"
#include "../osal/at_log.h"
#include "bionic_shim.h"
#include "serialmgr_internal.h"

SerialMgrDevice gDevList[SERIAL_DEVICE_MAX_DEVICE_NUM];
SerialMgrShutdownEntry gShutdownList[SERIAL_DEVICE_MAX_DEVICE_NUM];
std::atomic<OSSemaphore> gShutdownMutex{0};

void SerialMgr_ResetDevice(SerialMgrDevice& dev) {
    dev.devBufHandle.store(-1);
    dev.currentClient.store(nullptr);
    dev.rxTask.store(0);
    dev.wait_sem.store(0);
    dev.rxByteCount.store(0);
    dev.rxRunning.store(0);
    dev.stopRx.store(0);
    dev.rxThread.store(pthread_t{});
    dev.useSem.store(0);
    dev.regSem.store(0);
    dev.txReady.store(0);
    dev.rxLife.abandon();
    dev.held = SerialMgrExclusive{};
    dev.exclusive.store(0);
    dev.inside.store(0);
}

void SerialMgr_ObtainExclusive(SerialMgrDevice& dev) {
    SerialMgrExclusive& held = dev.held;
    held.regSem = dev.regSem.load();
    OSSEMAPHORE_Obtain(held.regSem, OSSUSPEND_WAIT);
    held.useSem = dev.useSem.load();
    for (held.units = 0; held.units < kUseUnits; ++held.units) OSSEMAPHORE_Obtain(held.useSem, OSSUSPEND_WAIT);
}

void SerialMgr_ReleaseIfCurrent(const std::atomic<OSSemaphore>& field, OSSemaphore handle) {
    if (handle != 0 && field.load() == handle) OSSEMAPHORE_Release(handle);
}

void SerialMgr_ReleaseExclusive(SerialMgrDevice& dev) {
    SerialMgrExclusive& held = dev.held;
    for (; held.units > 0; --held.units) SerialMgr_ReleaseIfCurrent(dev.useSem, held.useSem);
    SerialMgr_ReleaseIfCurrent(dev.regSem, held.regSem);
}

void SerialMgr_SetPending(UInt32 devID, UInt8 value) {
    const OSSemaphore mutex = gShutdownMutex.load();
    const OSStatus status = OSSEMAPHORE_obtainMutex(mutex, OSSUSPEND_WAIT);
    if (status != OSSTATUS_SUCCESS) {
        AT_LOGE("SERIALMGR_RX_Shutdown: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", static_cast<int>(status));
    }
    gShutdownList[devID].pending.store(value);
    OSSEMAPHORE_releaseMutex(mutex);
}

namespace {

// The live client records and their devices. Allocated once and never
// destroyed: a reader may still send while the process runs its exit
// handlers, and its lookup must not meet a destroyed table.
std::mutex gClientsLock;
std::unordered_map<const SerialMgrClientInfo*, UInt32>& liveClients() {
    static auto* clients = new std::unordered_map<const SerialMgrClientInfo*, UInt32>();
    return *clients;
}

}  // namespace

void SerialMgr_AddClient(SerialMgrClientInfo* client) {
    std::lock_guard<std::mutex> guard(gClientsLock);
    liveClients()[client] = client->devID;
    SerialMgr_StoreSig(client, SERIALMGR_CLIENT_SIG);
}

void SerialMgr_RemoveClient(SerialMgrClientInfo* client) {
    std::lock_guard<std::mutex> guard(gClientsLock);
    liveClients().erase(client);
    SerialMgr_StoreSig(client, SERIALMGR_FREED_SIG);
}

bool SerialMgr_FindClient(const SerialMgrClientInfo* client, UInt32* devID) {
    if (client == nullptr) return false;
    std::lock_guard<std::mutex> guard(gClientsLock);
    const auto found = liveClients().find(client);
    if (found == liveClients().end()) return false;
    *devID = found->second;
    return true;
}

SerialMgrGate::SerialMgrGate(SerialMgrDevice& d) : dev(d) { dev.exclusive.fetch_add(1); }

SerialMgrGate::~SerialMgrGate() {
    dev.exclusive.fetch_sub(1);
    dev.exclusive.notify_all();
}

SerialMgrClientCall::SerialMgrClientCall(const SerialMgrClientInfo* client) {
    UInt32 devID = 0;
    for (;;) {
        if (!SerialMgr_FindClient(client, &devID)) return;
        SerialMgrDevice& dev = gDevList[devID];
        const bool onReader = tSerialMgrReaderDev == devID;
        // Counted first, then the gate and the record are looked at: a
        // deregistration that closed the gate before this count either sees
        // the count (and waits for it before it frees) or is seen here.
        dev.inside.fetch_add(1);
        const UInt32 gate = dev.exclusive.load();
        UInt32 nowDev = 0;
        if ((gate == 0 || onReader) && SerialMgr_FindClient(client, &nowDev) && nowDev == devID) {
            dev_ = &dev;
            devID_ = devID;
            onReader_ = onReader;
            return;
        }
        dev.inside.fetch_sub(1);
        dev.inside.notify_all();
        if (gate == 0 || onReader) return;  // deregistered meanwhile
        dev.exclusive.wait(gate);           // behind the registration or deregistration
    }
}

SerialMgrClientCall::~SerialMgrClientCall() {
    if (dev_ == nullptr) return;
    dev_->inside.fetch_sub(1);
    dev_->inside.notify_all();
}

extern "C" {

Boolean SERIALMGR_Init(void) {
    for (SerialMgrDevice& dev : gDevList) SerialMgr_ResetDevice(dev);
    // Installed before any reader exists; how the signal reaches a reader is
    // explained in drivers/signal_wait.h.
    bsd_signal(SIGUSR2, SERIALMGR_HandleSignal);
    USB_Control_Pipe_Init();
    Serial_Init();
    for (SerialMgrShutdownEntry& entry : gShutdownList) {
        entry.handler = nullptr;
        entry.pending.store(0);
    }
    for (UInt32 devID = SERIAL_DEVICE_UART_A; devID <= SERIAL_DEVICE_UART_C; ++devID) {
        gShutdownList[devID].handler = UART_HandleShutdown;
    }
    const OSSemaphore mutex = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    OSSEMAPHORE_ChangeName(mutex, "SMgr_S");
    gShutdownMutex.store(mutex);
    return TRUE;
}

UInt32 SERIALMGR_GetDeviceID(SerialMgrClientInfo* client) { return client->devID; }

SerialMgrClientInfo* SERIALMGR_GetCurrentATSerialMgrHandle(void) {
    for (SerialMgrDevice& dev : gDevList) {
        SerialMgrClientInfo* client = dev.currentClient.load();
        if (client != nullptr && client->params.clientID == 1) return client;
    }
    return nullptr;
}

Int32 SERIALMGR_GetSerialDeviceHandle(SerialMgrClientInfo* client) {
    if (client == nullptr) return -1;
    return gDevList[client->devID].devBufHandle.load();
}

UInt32 SERIALMGR_GetDefaultATDevice(void) { return SERIAL_DEVICE_UART_A; }

}  // extern "C"
