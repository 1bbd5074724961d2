// In-process channels (device IDs 18 to 21). The far end is the host's
// send-data callback; nothing is ever received through this driver, so a read
// only parks the serial manager's reader thread until the channel is closed.
#include "socket_drv.h"

#include "../osal/at_log.h"
#include "../osal/osal.h"
#include "../osal/at_assert.h"
#include "../serialapi/serialapi.h"
#include "../stubs/other_stubs.h"
#include "socket_drv_internal.h"

std::atomic<OSSemaphore> gSocketMutex[SOCKET_CHANNEL_NUM];
std::atomic<bool> gSocketClosed[SOCKET_CHANNEL_NUM];

namespace {

constexpr const char* kSourceFile = "common/modem/at/stubs/socket_drv";

#define SOCKET_CHECK_RANGE(devId)                                                               \
    AT_ASSERT((devId) >= SERIAL_DEVICE_SOCKET && (devId) <= SERIAL_DEVICE_SOCKET4,                     \
                   "devId >= SERIAL_DEVICE_SOCKET && devId <= SERIAL_DEVICE_SOCKET4")

}  // namespace

extern "C" {

Int32 KOVA_SOCKET_OpenDevice(UInt32 devId, UInt32 /*openParam*/) {
    SOCKET_CHECK_RANGE(devId);
    const UInt32 channel = devId - SERIAL_DEVICE_SOCKET;
    // The closed flag is cleared before the new mutex is published, so a read
    // that finds the new mutex never sees the close of an earlier open.
    gSocketClosed[channel].store(false);
    const OSSemaphore fresh = OSSEMAPHORE_createMutex(OSSEMAPHORE_MODE_DEFAULT);
    // A mutex still in the slot belongs to an earlier open whose read never
    // ran (the reader ended before reading, or was never started) and that
    // nobody else will destroy: destroy it here so that no handle leaks. The
    // device layer opens a channel only after its last close, and a read woken
    // by that close destroys its own mutex only if the slot still names it
    // (see KOVA_SOCKET_Read), so exactly one side destroys each mutex. A read
    // that is, against that rule, still waiting on the old mutex is woken by
    // the destroy with a failed obtain, logs it and returns 0.
    const OSSemaphore stale = gSocketMutex[channel].exchange(fresh);
    if (stale != 0) OSSEMAPHORE_destroyMutex(stale);
    return 1;
}

Int32 KOVA_SOCKET_CloseDevice(UInt32 devId) {
    SOCKET_CHECK_RANGE(devId);
    const UInt32 channel = devId - SERIAL_DEVICE_SOCKET;
    const OSSemaphore mutex = gSocketMutex[channel].load();
    if (mutex != 0) {
        // The mutex is binary: releasing it while no reader holds it leaves it
        // free, and a later read would take it once and then park for good on
        // the second obtain. The flag, set before the release, tells such a
        // read that its close has already happened.
        gSocketClosed[channel].store(true);
        OSSEMAPHORE_releaseMutex(mutex);
    }
    return 1;
}

UInt16 KOVA_SOCKET_Read(UInt32 devId, UInt8* /*buf*/, UInt16 /*len*/) {
    SOCKET_CHECK_RANGE(devId);
    const UInt32 channel = devId - SERIAL_DEVICE_SOCKET;
    const int index = static_cast<int>(channel);
    // One handle for the whole read: if a re-open replaced the slot meanwhile,
    // the replaced mutex is the one this read parked on.
    const OSSemaphore mutex = gSocketMutex[channel].load();

    OSStatus status = OSSEMAPHORE_obtainMutex(mutex, OSSUSPEND_WAIT);
    if (status != OSSTATUS_SUCCESS) {
        AT_LOGE("KOVA_SOCKET_Read[%d]: OSSEMAPHORE_obtainMutex fail. status=%d\r\n", index,
                static_cast<int>(status));
    }
    // A close that came before this point released a free mutex; without this
    // check the second obtain would wait for a close that has already passed.
    // A close after the check releases the mutex this thread holds, which ends
    // the second obtain as usual.
    if (!gSocketClosed[channel].load()) {
        status = OSSEMAPHORE_obtainMutex(mutex, OSSUSPEND_WAIT);
        if (status != OSSTATUS_SUCCESS) {
            AT_LOGE("KOVA_SOCKET_Read[%d]: OSSEMAPHORE_obtainMutex (2) fail. status=%d\r\n", index,
                    static_cast<int>(status));
        }
    }

    // Clear the slot only if it still names this read's mutex; otherwise a
    // re-open has taken the slot over and has destroyed the old mutex itself.
    OSSemaphore expected = mutex;
    if (mutex != 0 && gSocketMutex[channel].compare_exchange_strong(expected, 0)) {
        OSSEMAPHORE_destroyMutex(mutex);
    }
    AT_LOGI("KOVA_SOCKET_Read[%d]: exiting read\n", index);
    return 0;
}

UInt16 KOVA_SOCKET_Write(UInt32 devId, const UInt8* buf, UInt16 len) {
    // The device layer reports the callback's result as an unsigned 16-bit count.
    return static_cast<UInt16>(AT_STUBS_SendDataToClient(devId, buf, len));
}

}  // extern "C"
