// The device table behind serialapi.h, for the library's own code and tests.
#pragma once

#include <atomic>

#include "../osal/osal.h"
#include "serialapi.h"

struct SerialDeviceEntry {
    UInt8 deviceValid;  // 1 once a driver was registered; never cleared
    // Number of opens not yet closed. Changed under the table lock; read
    // without it by the lookups of read and write, so it is atomic.
    std::atomic<UInt8> refCnt;
    std::atomic<Int32> handle;  // -1 until the first open attempt
    UInt32 defaultOpenParam;
    SerialLegacyOpen legacyOpen;
    SerialLegacyClose legacyClose;
    SerialLegacyRead legacyRead;
    SerialLegacyWrite legacyWrite;
    SerialLegacyAuxOp1 legacyAuxOp1;
    SerialLegacyAuxOp2 legacyAuxOp2;
    SerialLegacyRegisterEventCallBack legacyRegisterEventCallBack;
    SerialLegacyAuxOp4 legacyAuxOp4;
    UInt32 extraParam1;  // stored, never read
    UInt32 extraParam2;  // stored, never read
    SerialDriverOpen open;
    SerialDriverClose close;
    SerialDriverRead read;
    SerialDriverWrite write;
    SerialDriverAuxOp1 auxOp1;
    SerialDriverAuxOp2 auxOp2;
    SerialDriverAuxOp3 auxOp3;
    SerialDriverAuxOp4 auxOp4;
};

extern SerialDeviceEntry gSerialDeviceTable[SERIAL_DEVICE_MAX_DEVICE_NUM];
extern OSSemaphore gSerialDeviceLock;
extern Int32 gNextSerialHandle;
