// Serial device table and dispatch.
#include "serialapi.h"

#include "../osal/at_log.h"
#include "serialapi_internal.h"

namespace {

const char kSourceFile[] = "common/modem/at/stubs/serialapi";

// Finds the entry that holds handle: -1 and handles of closed devices match
// nothing. No lock: a read may block in its driver while others use the table.
SerialDeviceEntry* findDeviceByHandle(Int32 handle, SerialDeviceId* devIdOut) {
    if (handle == -1) return nullptr;
    for (SerialDeviceId id = 0; id < SERIAL_DEVICE_MAX_DEVICE_NUM; ++id) {
        SerialDeviceEntry& entry = gSerialDeviceTable[id];
        if (entry.handle.load() != handle) continue;
        if (entry.refCnt.load() == 0) return nullptr;
        if (devIdOut != nullptr) *devIdOut = id;
        return &entry;
    }
    return nullptr;
}

void createLockOnce() {
    // Unguarded, as the registrations run only from Serial_Init on one thread.
    if (gSerialDeviceLock == 0) {
        gSerialDeviceLock = OSSEMAPHORE_Create(1, OSSEMAPHORE_MODE_DEFAULT);
        OSSEMAPHORE_ChangeName(gSerialDeviceLock, "SrlDev_S");
    }
}

// Adapters of the legacy form: take the device ID first, drop it, call the
// legacy operation and hand back its result unchanged. Open, close, read and
// write are never null (registration refuses that); the spare operations may
// be, and their adapters then call nothing and return 0 rather than jump to
// address 0 for a tool that pokes at the spare slots.
Int32 legacyOpenAdapter(SerialDeviceId devId, UInt32 param) {
    return gSerialDeviceTable[devId].legacyOpen(param);
}
Int32 legacyCloseAdapter(SerialDeviceId devId) { return gSerialDeviceTable[devId].legacyClose(); }
UInt16 legacyReadAdapter(SerialDeviceId devId, UInt8* buf, UInt16 len) {
    return gSerialDeviceTable[devId].legacyRead(buf, len);
}
UInt16 legacyWriteAdapter(SerialDeviceId devId, const UInt8* buf, UInt16 len) {
    return gSerialDeviceTable[devId].legacyWrite(buf, len);
}
Int32 legacyAuxOp1Adapter(SerialDeviceId devId, UInt32 a) {
    SerialLegacyAuxOp1 op = gSerialDeviceTable[devId].legacyAuxOp1;
    return op != nullptr ? op(a) : 0;
}
Int32 legacyAuxOp2Adapter(SerialDeviceId devId) {
    SerialLegacyAuxOp2 op = gSerialDeviceTable[devId].legacyAuxOp2;
    return op != nullptr ? op() : 0;
}
Int32 legacyAuxOp4Adapter(SerialDeviceId devId, UInt32 a) {
    SerialLegacyAuxOp4 op = gSerialDeviceTable[devId].legacyAuxOp4;
    return op != nullptr ? op(a) : 0;
}

// What both registration forms take besides the operations.
struct Registration {
    SerialDeviceId devId;
    bool hostDriver;
    UInt32 defaultOpenParam;
    UInt32 extraParam1;
    UInt32 extraParam2;
};

constexpr bool kHostDriver = true;

struct LegacyOps {
    SerialLegacyOpen open;
    SerialLegacyClose close;
    SerialLegacyRead read;
    SerialLegacyWrite write;
    SerialLegacyAuxOp1 auxOp1;
    SerialLegacyAuxOp2 auxOp2;
    SerialLegacyRegisterEventCallBack registerEventCallBack;
    SerialLegacyAuxOp4 auxOp4;
};

struct DriverOps {
    SerialDriverOpen open;
    SerialDriverClose close;
    SerialDriverRead read;
    SerialDriverWrite write;
    SerialDriverAuxOp1 auxOp1;
    SerialDriverAuxOp2 auxOp2;
    SerialDriverAuxOp3 auxOp3;
    SerialDriverAuxOp4 auxOp4;
};

// The path both forms share: validation, the table lock's creation, and the
// store. storeOps writes the form's own operation fields. Returns the device
// ID, or -1 with the entry unchanged when the ID is out of range or one of
// the four required operations is missing.
template <typename StoreOps>
Int32 registerDriver(const Registration& r, bool opsGiven, StoreOps storeOps) {
    if (r.devId >= SERIAL_DEVICE_MAX_DEVICE_NUM || !opsGiven) return -1;
    createLockOnce();
    SerialDeviceEntry& entry = gSerialDeviceTable[r.devId];
    entry.deviceValid = 1;
    storeOps(entry);
    entry.defaultOpenParam = r.defaultOpenParam;
    entry.extraParam1 = r.extraParam1;
    entry.extraParam2 = r.extraParam2;
    entry.hostDriver.store(r.hostDriver);
    return static_cast<Int32>(r.devId);
}

template <typename Ops>
bool hasRequiredOps(const Ops& ops) {
    return ops.open != nullptr && ops.close != nullptr && ops.read != nullptr && ops.write != nullptr;
}

// The device-ID slots, which both forms fill.
void storeDriverOps(SerialDeviceEntry& entry, const DriverOps& ops) {
    entry.open = ops.open;
    entry.close = ops.close;
    entry.read = ops.read;
    entry.write = ops.write;
    entry.auxOp1 = ops.auxOp1;
    entry.auxOp2 = ops.auxOp2;
    entry.auxOp3 = ops.auxOp3;
    entry.auxOp4 = ops.auxOp4;
}

// The legacy form keeps the operations in the legacy fields and puts the
// adapters into the device-ID slots; auxOp3 stays as it was.
Int32 configureLegacy(const Registration& r, const LegacyOps& ops) {
    return registerDriver(r, hasRequiredOps(ops), [&ops](SerialDeviceEntry& entry) {
        entry.legacyOpen = ops.open;
        entry.legacyClose = ops.close;
        entry.legacyRead = ops.read;
        entry.legacyWrite = ops.write;
        entry.legacyAuxOp1 = ops.auxOp1;
        entry.legacyAuxOp2 = ops.auxOp2;
        entry.legacyRegisterEventCallBack = ops.registerEventCallBack;
        entry.legacyAuxOp4 = ops.auxOp4;
        storeDriverOps(entry, {legacyOpenAdapter, legacyCloseAdapter, legacyReadAdapter, legacyWriteAdapter,
                               legacyAuxOp1Adapter, legacyAuxOp2Adapter, entry.auxOp3, legacyAuxOp4Adapter});
    });
}

// The device-ID form leaves the legacy fields as they were.
Int32 configureEx(const Registration& r, const DriverOps& ops) {
    const Int32 result =
        registerDriver(r, hasRequiredOps(ops), [&ops](SerialDeviceEntry& entry) { storeDriverOps(entry, ops); });
    if (result == -1) AT_LOGE("Serial_ConfigureDeviceEx(%d) failed\n", static_cast<int>(r.devId));
    return result;
}

}  // namespace

// Constant-initialised (see SerialDeviceEntry): no constructor runs for it,
// so a host's static constructor may already open devices.
SerialDeviceEntry gSerialDeviceTable[SERIAL_DEVICE_MAX_DEVICE_NUM];
OSSemaphore gSerialDeviceLock = 0;
Int32 gNextSerialHandle = 0;

// The library's own registrations (Serial_Init) pass 0 for every argument
// beyond the four operations, as the exported forms would be called.
Int32 Serial_RegisterLibraryDriver(SerialDeviceId devId, SerialDriverOpen open, SerialDriverClose close,
                                   SerialDriverRead read, SerialDriverWrite write) {
    const Registration r{devId, !kHostDriver, 0, 0, 0};
    return configureEx(r, {open, close, read, write, nullptr, nullptr, nullptr, nullptr});
}

Int32 Serial_RegisterLibraryLegacyDriver(SerialDeviceId devId, SerialLegacyOpen open, SerialLegacyClose close,
                                         SerialLegacyRead read, SerialLegacyWrite write) {
    const Registration r{devId, !kHostDriver, 0, 0, 0};
    return configureLegacy(r, {open, close, read, write, nullptr, nullptr, nullptr, nullptr});
}

bool Serial_IsHostDriver(SerialDeviceId devId) {
    return devId < SERIAL_DEVICE_MAX_DEVICE_NUM && gSerialDeviceTable[devId].hostDriver.load();
}

extern "C" {

Int32 Serial_ConfigureDevice(SerialDeviceId devId, SerialLegacyOpen open, SerialLegacyClose close,
                             SerialLegacyRead read, SerialLegacyWrite write, SerialLegacyAuxOp1 auxOp1,
                             SerialLegacyAuxOp2 auxOp2, SerialLegacyRegisterEventCallBack registerEventCallBack,
                             SerialLegacyAuxOp4 auxOp4, UInt32 defaultOpenParam, UInt32 extraParam1,
                             UInt32 extraParam2) {
    const Registration r{devId, kHostDriver, defaultOpenParam, extraParam1, extraParam2};
    return configureLegacy(r, {open, close, read, write, auxOp1, auxOp2, registerEventCallBack, auxOp4});
}

Int32 Serial_ConfigureDeviceEx(SerialDeviceId devId, SerialDriverOpen open, SerialDriverClose close,
                               SerialDriverRead read, SerialDriverWrite write, SerialDriverAuxOp1 auxOp1,
                               SerialDriverAuxOp2 auxOp2, SerialDriverAuxOp3 auxOp3, SerialDriverAuxOp4 auxOp4,
                               UInt32 defaultOpenParam, UInt32 extraParam1, UInt32 extraParam2) {
    const Registration r{devId, kHostDriver, defaultOpenParam, extraParam1, extraParam2};
    return configureEx(r, {open, close, read, write, auxOp1, auxOp2, auxOp3, auxOp4});
}

Int32 Serial_OpenDevice(SerialDeviceId devId, UInt32 openParam) {
    AT_LOGI("Serial_OpenDevice: devID=%d\r\n", static_cast<int>(devId));
    if (devId >= SERIAL_DEVICE_MAX_DEVICE_NUM || gSerialDeviceTable[devId].deviceValid == 0) {
        AT_LOGI("Serial_OpenDevice: deviceID invalid(%d), or !deviceValid\r\n",
                devId >= SERIAL_DEVICE_MAX_DEVICE_NUM ? 1 : 0);
        return -1;
    }
    SerialDeviceEntry& entry = gSerialDeviceTable[devId];
    OSSEMAPHORE_Obtain(gSerialDeviceLock, OSSUSPEND_WAIT);
    // The handle is given at the first attempt, before the driver is asked,
    // so a device whose open fails keeps it.
    if (entry.handle.load() == -1) entry.handle.store(gNextSerialHandle++);
    Int32 result = 0;
    if (entry.refCnt.load() == 0) {
        result = entry.open(devId, openParam != 0 ? openParam : entry.defaultOpenParam);
    }
    AT_LOGI("Serial_OpenDevice: openResult=%d\r\n", result);
    if (result == 1) entry.refCnt.store(static_cast<UInt8>(entry.refCnt.load() + 1));
    const Int32 handle = entry.handle.load();
    OSSEMAPHORE_Release(gSerialDeviceLock);
    if (result == 1) return handle;
    return result == 0 ? SERIAL_OPEN_NOT_OPENED : SERIAL_OPEN_FAILED;
}

// Before any registration there is no table lock, and no device can be open:
// such a close matches nothing and returns 1 without waiting for a lock.
Int32 Serial_CloseDevice(Int32 handle) {
    if (gSerialDeviceLock == 0) return 1;
    OSSEMAPHORE_Obtain(gSerialDeviceLock, OSSUSPEND_WAIT);
    SerialDeviceId devId = 0;
    SerialDeviceEntry* entry = findDeviceByHandle(handle, &devId);
    if (entry == nullptr) {
        OSSEMAPHORE_Release(gSerialDeviceLock);
        return 1;
    }
    const UInt8 count = static_cast<UInt8>(entry->refCnt.load() - 1);
    entry->refCnt.store(count);
    if (count == 0) entry->close(devId);
    OSSEMAPHORE_Release(gSerialDeviceLock);
    return 0;
}

UInt16 Serial_Read(Int32 handle, UInt8* buf, UInt16 len) {
    SerialDeviceId devId = 0;
    SerialDeviceEntry* entry = findDeviceByHandle(handle, &devId);
    return entry != nullptr ? entry->read(devId, buf, len) : 0;
}

UInt16 Serial_Write(Int32 handle, const UInt8* buf, UInt16 len) {
    SerialDeviceId devId = 0;
    SerialDeviceEntry* entry = findDeviceByHandle(handle, &devId);
    return entry != nullptr ? entry->write(devId, buf, len) : 0;
}

// Only the legacy event-callback operation is ever called. A device without
// one (every device that Serial_Init registers) gets 1 and nothing is called,
// as for an unmatched handle.
Int32 Serial_RegisterEventCallBack(Int32 handle, SerialEventCallBack cb) {
    SerialDeviceEntry* entry = findDeviceByHandle(handle, nullptr);
    if (entry == nullptr || entry->legacyRegisterEventCallBack == nullptr) return 1;
    entry->legacyRegisterEventCallBack(cb);
    return 0;
}

SerialDeviceId Serial_GetDeviceID(Int32 handle) {
    SerialDeviceId devId = SERIAL_DEVICE_NULL;
    return findDeviceByHandle(handle, &devId) != nullptr ? devId : SERIAL_DEVICE_NULL;
}

UInt8 Serial_GetRefCnt(SerialDeviceId devId) {
    if (devId >= SERIAL_DEVICE_MAX_DEVICE_NUM) {
        __xassert("deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM", kSourceFile, __LINE__, static_cast<Int32>(devId));
        return 0;
    }
    return gSerialDeviceTable[devId].refCnt.load();
}

void Serial_SetRefCnt(SerialDeviceId devId, UInt8 count) {
    if (devId >= SERIAL_DEVICE_MAX_DEVICE_NUM) {
        __xassert("deviceID < SERIAL_DEVICE_MAX_DEVICE_NUM", kSourceFile, __LINE__, static_cast<Int32>(devId));
        return;
    }
    gSerialDeviceTable[devId].refCnt.store(count);
}

}  // extern "C"
