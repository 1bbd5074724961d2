// Sending.
#include "../osal/at_log.h"
#include "../serialapi/serialapi.h"
#include "serialmgr_internal.h"

namespace {

constexpr UInt32 kSendRetryTicks = 6;

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
        if (written == 0 && dev.gate.closed()) break;
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
    // The unit is one of the current opening's "SMgr_C"; the opening is held
    // for the call so that the unit is given back only while the semaphore
    // exists (a reader that ends on its own destroys it).
    std::shared_ptr<SerialMgrOpening> opening;
    bool obtained = false;
    if (takeUnit) {
        opening = SerialMgr_CurrentOpening(dev);
        // @model:send-unit
        obtained = opening != nullptr && SerialMgr_ObtainUnit(*opening);
        AT_ASSERT(SerialMgr_IsLive(client), kClientValidText);
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
    if (obtained) SerialMgr_ReleaseUnit(*opening);
    return lenSent;
}

}  // extern "C"
