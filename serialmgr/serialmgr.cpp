// Serial manager records, accessors and start-up.
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <signal.h>
#include <stddef.h>
#include <stdint.h>

#include "../drivers/uart_x_drv.h"
#include "../drivers/usb_control_pipe.h"
#include "../serialapi/serialapi.h"
#include "../stubs/other_stubs.h"
#include "bionic_shim.h"
#include "serialmgr_internal.h"

// Separately built clients fill the registration record: on a 32-bit target
// it is eight 32-bit slots, and the client record's layout is fixed as well.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(SerialMgrClientParams) == 8 * 4, "registration record: eight 32-bit slots");
static_assert(offsetof(SerialMgrClientParams, useDefaultDevice) == 5 * 4, "useDefaultDevice is slot 6");
static_assert(offsetof(SerialMgrClientParams, openParam) == 7 * 4, "openParam is slot 8");
static_assert(offsetof(SerialMgrClientInfo, params) == 6 * 4, "client record header: six 32-bit words");
#endif

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
    dev.rxLife.store(kRxLifeNone);
    dev.rxJoinThread.store(pthread_t{});
    dev.rxInLoop.store(0);
    dev.rxEnded.store(0);
    dev.deregWaiting.store(0);
}

// rxLife is a 32-bit word, so the kernel's futex can wait on it directly:
// no lock, and the reader's one wake costs nothing when nobody waits.
static_assert(sizeof(std::atomic<UInt32>) == sizeof(UInt32) && std::atomic<UInt32>::is_always_lock_free,
              "the futex waits on the atomic's own 32-bit word");
void SerialMgr_WaitReaderStart(SerialMgrDevice& dev) {
    syscall(SYS_futex, reinterpret_cast<UInt32*>(&dev.rxLife), FUTEX_WAIT_PRIVATE, kRxLifeCreated, nullptr, nullptr, 0);
}

void SerialMgr_WakeReaderStartWaiters(SerialMgrDevice& dev) {
    syscall(SYS_futex, reinterpret_cast<UInt32*>(&dev.rxLife), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

bool SerialMgr_ReapReader(SerialMgrDevice& dev) {
    // OSTASK_CreateWArg has returned but the new thread may not have run yet;
    // it publishes its identity as its first act, holding no lock.
    // The new reader publishes its identity as its first act and wakes this
    // wait; sleeping a whole tick here made every short-lived registration
    // cost 5 ms.
    while (dev.rxLife.load() == kRxLifeCreated) SerialMgr_WaitReaderStart(dev);
    // The exchange makes the join happen once even when two threads get here.
    if (dev.rxLife.exchange(kRxLifeNone) != kRxLifeJoinable) return false;
    const pthread_t thread = dev.rxJoinThread.load();
    if (pthread_equal(thread, pthread_self())) {
        pthread_detach(thread);
    } else {
        pthread_join(thread, nullptr);
    }
    return true;
}

SerialMgrExclusive SerialMgr_ObtainExclusive(SerialMgrDevice& dev) {
    SerialMgrExclusive held{dev.regSem.load(), 0};
    OSSEMAPHORE_Obtain(held.regSem, OSSUSPEND_WAIT);
    held.useSem = dev.useSem.load();
    for (int unit = 0; unit < 5; ++unit) OSSEMAPHORE_Obtain(held.useSem, OSSUSPEND_WAIT);
    return held;
}

void SerialMgr_ReleaseIfCurrent(const std::atomic<OSSemaphore>& field, OSSemaphore handle) {
    if (handle != 0 && field.load() == handle) OSSEMAPHORE_Release(handle);
}

void SerialMgr_ReleaseExclusive(SerialMgrDevice& dev, const SerialMgrExclusive& held) {
    for (int unit = 0; unit < 5; ++unit) SerialMgr_ReleaseIfCurrent(dev.useSem, held.useSem);
    SerialMgr_ReleaseIfCurrent(dev.regSem, held.regSem);
}

extern "C" {

Boolean SERIALMGR_Init(void) {
    for (SerialMgrDevice& dev : gDevList) SerialMgr_ResetDevice(dev);
    // Installed before any reader exists. bsd_signal gives SA_RESTART; the
    // readers keep SIGUSR2 blocked except inside their drivers' waits
    // (drivers/signal_wait.h), so the handler never interrupts reader code
    // that holds a lock.
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
