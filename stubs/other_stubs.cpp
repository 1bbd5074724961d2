// AT stubs and helpers.
#include "other_stubs.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "../osal/osal.h"
#include "../osal/at_assert.h"

namespace {

const char kSourceFile[] = "common/modem/at/stubs/other_stubs";

// Written by the host's thread, read by reader threads and senders: each word
// is read and written whole.
std::atomic<AtStubsSendDataToClientCb> gSendDataToClientCb{nullptr};
std::atomic<AtStubsIsReadyForCommsIOCb> gIsReadyForCommsIOCb{nullptr};

// The highest client ID reserved so far. Callers serialise themselves.
UInt8 gClientIdIndex = 0;

}  // namespace

extern "C" {

void AT_STUBS_RegisterCallbacks(AtStubsSendDataToClientCb sendDataCb, AtStubsIsReadyForCommsIOCb isReadyCb) {
    gSendDataToClientCb.store(sendDataCb);
    gIsReadyForCommsIOCb.store(isReadyCb);
}

// The callback's result means nothing to this library beyond being handed
// back: the in-process channel returns it as its write result, so a host
// should return the number of bytes it took (the device layer sees the low 16
// bits). No value is treated as an error here.
Int32 AT_STUBS_SendDataToClient(UInt32 devId, const UInt8* data, UInt32 len) {
    AtStubsSendDataToClientCb cb = gSendDataToClientCb.load();
    return cb != nullptr ? cb(devId, data, len) : 0;
}

Int32 AT_STUBS_IsReadyForCommsIO(void) {
    AtStubsIsReadyForCommsIOCb cb = gIsReadyForCommsIOCb.load();
    return cb != nullptr ? cb() : 1;
}

UInt8 SYS_GenClientIDRange(UInt32 range) {
    const UInt8 first = static_cast<UInt8>(gClientIdIndex + 1);
    gClientIdIndex = static_cast<UInt8>(gClientIdIndex + range);  // 8-bit counter
    Log_DebugPrintf(269, "SYS_GenClientIDRange range=%d gClientIdIndex=%d clientID=%d", static_cast<int>(range),
                    gClientIdIndex, first);
    AT_ASSERT(gClientIdIndex < MAX_CLIENT_NUM, "gClientIdIndex < MAX_CLIENT_NUM");
    return first;
}

void SYS_CopyStr8(char* dest, const char* src, UInt32 size) {
    if (dest == nullptr || src == nullptr || size == 0) return;
    std::strncpy(dest, src, size);
    dest[size - 1] = '\0';
}

void SYS_FormatStr8(char* dest, UInt32 size, const char* format, ...) {
    if (dest == nullptr || format == nullptr || size == 0) return;
    std::memset(dest, 0, size);
    va_list args;
    va_start(args, format);
    std::vsnprintf(dest, size, format, args);
    va_end(args);
    dest[size - 1] = '\0';
}

void SYS_AppendStr8(char* dest, const char* src, UInt32 size) {
    if (dest == nullptr || src == nullptr || size == 0) return;
    // The destination should hold a terminated string shorter than size. If
    // no terminator lies within size there is no end to append at, and
    // searching past size would read memory that is not ours: nothing is
    // appended, and the last byte is cleared as for every call, so the
    // destination leaves this call terminated within size.
    const size_t used = strnlen(dest, size);
    if (used < size) {
        size_t room = size - 1 - used;
        size_t n = strnlen(src, room);
        std::memcpy(dest + used, src, n);
        dest[used + n] = '\0';
    }
    dest[size - 1] = '\0';
}

// The stubs' arguments: none. Callers in the AT interpreter pass nothing that
// these read, so they are declared without parameters.
Int32 SYS_RegisterForPredefinedClient(void) { return 1; }

}  // extern "C"
