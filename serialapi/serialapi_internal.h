// The device table behind serialapi.h, for the library's own code and tests.
#pragma once

#include <atomic>

#include "../osal/osal.h"
#include "serialapi.h"

// Every field starts at 0 except handle, which starts at -1. The default
// member initialisers make the table constant-initialised: it holds these
// values before any static constructor of any library or host runs.
struct SerialDeviceEntry {
    UInt8 deviceValid{0};  // 1 once a driver was registered; never cleared
    // Number of opens not yet closed. Changed under the table lock; read
    // without it by the lookups of read and write, so it is atomic.
    std::atomic<UInt8> refCnt{0};
    std::atomic<Int32> handle{-1};  // -1 until the first open attempt
    UInt32 defaultOpenParam{0};
    SerialLegacyOpen legacyOpen{nullptr};
    SerialLegacyClose legacyClose{nullptr};
    SerialLegacyRead legacyRead{nullptr};
    SerialLegacyWrite legacyWrite{nullptr};
    SerialLegacyAuxOp1 legacyAuxOp1{nullptr};
    SerialLegacyAuxOp2 legacyAuxOp2{nullptr};
    SerialLegacyRegisterEventCallBack legacyRegisterEventCallBack{nullptr};
    SerialLegacyAuxOp4 legacyAuxOp4{nullptr};
    // The two extra parameters and the spare operations are kept for the
    // drivers' own tools; the layer stores them and never reads or calls them
    // (auxOp1, auxOp2 and auxOp4 of a legacy driver are reachable only
    // through the adapters, which return 0 for an operation given as null).
    UInt32 extraParam1{0};
    UInt32 extraParam2{0};
    SerialDriverOpen open{nullptr};
    SerialDriverClose close{nullptr};
    SerialDriverRead read{nullptr};
    SerialDriverWrite write{nullptr};
    SerialDriverAuxOp1 auxOp1{nullptr};
    SerialDriverAuxOp2 auxOp2{nullptr};
    SerialDriverAuxOp3 auxOp3{nullptr};
    SerialDriverAuxOp4 auxOp4{nullptr};
    // Not part of the documented record, so it comes last: false while the
    // driver is one of the library's own (registered by Serial_Init), true
    // once the host has registered one (any later Serial_ConfigureDevice/Ex
    // call, also one that replaces a library driver). Atomic: reader threads
    // ask while the host may register.
    std::atomic<bool> hostDriver{false};
};

extern SerialDeviceEntry gSerialDeviceTable[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern OSSemaphore gSerialDeviceLock;
extern Int32 gNextSerialHandle;

// Registration of the library's own drivers, for Serial_Init: as
// Serial_ConfigureDeviceEx and Serial_ConfigureDevice with every further
// argument 0, and the entry marked as the library's.
Int32 Serial_RegisterLibraryDriver(SerialDeviceId devId, SerialDriverOpen open, SerialDriverClose close,
                                   SerialDriverRead read, SerialDriverWrite write);
Int32 Serial_RegisterLibraryLegacyDriver(SerialDeviceId devId, SerialLegacyOpen open, SerialLegacyClose close,
                                         SerialLegacyRead read, SerialLegacyWrite write);

// True when the driver registered for devId was registered by the host, not
// by Serial_Init; false for an unregistered or out-of-range ID.
bool Serial_IsHostDriver(SerialDeviceId devId);
