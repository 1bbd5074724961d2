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

// Never destroyed: a device record holds its opening's shared pointer, and a
// reader may still run while the process runs its exit handlers (nor does
// the library register a destructor at exit).
SerialMgrDevice (&gDevList)[SERIAL_DEVICE_MAX_DEVICE_NUM] = *new SerialMgrDevice[1][SERIAL_DEVICE_MAX_DEVICE_NUM];
SerialMgrShutdownEntry gShutdownList[SERIAL_DEVICE_MAX_DEVICE_NUM];
std::atomic<OSSemaphore> gShutdownMutex{0};

namespace {
std::atomic<UInt32> gLiveOpenings{0};
}  // namespace

SerialMgrOpening::SerialMgrOpening(UInt32 id, Int32 h, OSSemaphore w, OSSemaphore u, OSSemaphore r)
    : devID(id), waitSem(w), useSem(u), regSem(r), handle(h) {
    gLiveOpenings.fetch_add(1);
}

SerialMgrOpening::~SerialMgrOpening() { gLiveOpenings.fetch_sub(1); }

std::shared_ptr<SerialMgrOpening> SerialMgr_CurrentOpening(SerialMgrDevice& dev) {
    AtLock flow(dev.flowLock);
    return dev.opening;
}

bool SerialMgr_ObtainUnit(SerialMgrOpening& opening) {
    {
        AtLock guard(opening.lock);
        if (opening.semsGone) return false;
    }
    return OSSEMAPHORE_Obtain(opening.useSem, OSSUSPEND_WAIT) == OSSTATUS_SUCCESS;
}

void SerialMgr_ReleaseUnit(SerialMgrOpening& opening) {
    AtLock guard(opening.lock);
    if (!opening.semsGone) OSSEMAPHORE_Release(opening.useSem);
}

UInt32 SerialMgr_LiveOpenings() { return gLiveOpenings.load(); }

constinit thread_local SerialMgrOpening* tSerialMgrReader = nullptr;
constinit thread_local UInt32 tSerialMgrNesting = 0;

// Runs at start-up only, before any reader exists.
void SerialMgr_ResetDevice(SerialMgrDevice& dev) NO_THREAD_SAFETY_ANALYSIS {
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
    dev.gate.reset();
    dev.opening.reset();
    dev.live.store(nullptr);
    delete dev.handoff.exchange(nullptr);
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

// The live client records: device and whether a deregistration claimed it.
// Allocated once and never destroyed: a reader may still send while the
// process runs its exit handlers, and its lookup must not meet a destroyed
// table.
struct LiveClient {
    UInt32 devID;
    bool claimed;
};
AtMutex gClientsLock;
std::unordered_map<const SerialMgrClientInfo*, LiveClient>& liveClients() REQUIRES(gClientsLock) {
    static auto* clients = new std::unordered_map<const SerialMgrClientInfo*, LiveClient>();
    return *clients;
}

}  // namespace

void SerialMgr_AddClient(SerialMgrClientInfo* client) {
    AtLock guard(gClientsLock);
    liveClients()[client] = {client->devID, false};
    SerialMgr_StoreSig(client, SERIALMGR_CLIENT_SIG);
}

void SerialMgr_RemoveClient(SerialMgrClientInfo* client) {
    AtLock guard(gClientsLock);
    liveClients().erase(client);
    SerialMgr_StoreSig(client, SERIALMGR_FREED_SIG);
}

bool SerialMgr_FindClient(const SerialMgrClientInfo* client, UInt32* devID) {
    if (client == nullptr) return false;
    AtLock guard(gClientsLock);
    const auto found = liveClients().find(client);
    if (found == liveClients().end() || found->second.claimed) return false;
    *devID = found->second.devID;
    return true;
}

bool SerialMgr_IsLive(const SerialMgrClientInfo* client) {
    AtLock guard(gClientsLock);
    return liveClients().count(client) != 0;
}

bool SerialMgr_ClaimClient(const SerialMgrClientInfo* client, UInt32* devID) {
    if (client == nullptr) return false;
    AtLock guard(gClientsLock);
    const auto found = liveClients().find(client);
    if (found == liveClients().end() || found->second.claimed) return false;
    found->second.claimed = true;
    *devID = found->second.devID;
    return true;
}

SerialMgrClientCall::SerialMgrClientCall(const SerialMgrClientInfo* client) {
    // A call nested in another call or callback of the library may run on a
    // thread that holds a unit of some device, or that a registration or
    // deregistration waits for: it must never wait at a gate.
    const bool nested = tSerialMgrNesting != 0;
    nested_ = nested;
    ++tSerialMgrNesting;  // for the callbacks this call makes (the host's send-data callback)
    UInt32 devID = 0;
    for (;;) {
        if (!SerialMgr_FindClient(client, &devID)) return;
        SerialMgrDevice& dev = gDevList[devID];
        const bool onReader = tSerialMgrReader != nullptr && tSerialMgrReader == dev.live.load();
        // The admission relies on one order only: this entry and a closer's
        // close() are read-modify-writes of the same word (CallGate). If the
        // entry comes first, the closer's drain sees this call counted; if
        // the close comes first, the entry fails here and the call waits.
        // @model:call-enter
        if (dev.gate.tryEnter(onReader)) {
            // In flight now: a deregistration that claims the record from
            // here on drains this call before it frees the record. One that
            // claimed it before is seen by the look below.
            UInt32 nowDev = 0;
            if (SerialMgr_FindClient(client, &nowDev) && nowDev == devID) {
                dev_ = &dev;
                devID_ = devID;
                onReader_ = onReader;
                return;
            }
            dev.gate.leave();
            return;  // deregistered meanwhile
        }
        // @model:call-nested-fails
        if (nested) return;    // fails as for a deregistered record
        // @model:call-wait-open
        dev.gate.waitOpen();   // behind the registration or deregistration
    }
}

SerialMgrClientCall::~SerialMgrClientCall() {
    if (dev_ != nullptr) dev_->gate.leave();
    --tSerialMgrNesting;
}

extern "C" {

Boolean SERIALMGR_Init(void) {
    for (SerialMgrDevice& dev : gDevList) SerialMgr_ResetDevice(dev);
    // Installed before any reader exists; how the signal reaches a reader is
    // explained in serialmgr/reader_signal.h.
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
