// Compile-time checks of the records that separately built clients share with
// the library. A client built against an older header, or by another
// compiler, reads these records at fixed offsets; a field moved by a header
// edit would corrupt every registration on the device without any warning.
// Nothing here produces code.
#include <cstddef>
#include <cstdint>

#include "serialmgr/serialmgr.h"

#if defined(__has_include)
#if __has_include("buffer/cbuffer.h")
#include "buffer/cbuffer.h"
#define AT_LAYOUT_HAVE_CBUFFER 1
#endif
#endif

namespace {

// The registration record is eight 32-bit slots on a 32-bit target. Slot n
// (counted from 0) starts at byte 4 * n.
constexpr std::size_t slot(std::size_t n) { return 4u * n; }

// Field order holds on every target: each field starts after the previous one.
static_assert(offsetof(SerialMgrClientParams, dataCb) == 0, "dataCb must open the record");
static_assert(offsetof(SerialMgrClientParams, eventCb) > offsetof(SerialMgrClientParams, dataCb), "field order");
static_assert(offsetof(SerialMgrClientParams, spare) > offsetof(SerialMgrClientParams, eventCb), "field order");
static_assert(offsetof(SerialMgrClientParams, userData) > offsetof(SerialMgrClientParams, spare), "field order");
static_assert(offsetof(SerialMgrClientParams, clientID) > offsetof(SerialMgrClientParams, userData), "field order");
static_assert(offsetof(SerialMgrClientParams, useDefaultDevice) > offsetof(SerialMgrClientParams, clientID),
              "field order");
static_assert(offsetof(SerialMgrClientParams, devID) > offsetof(SerialMgrClientParams, useDefaultDevice),
              "field order");
static_assert(offsetof(SerialMgrClientParams, openParam) > offsetof(SerialMgrClientParams, devID), "field order");

static_assert(offsetof(SerialMgrClientInfo, sig) == 0, "sig must open the record");
static_assert(offsetof(SerialMgrClientInfo, devID) == 4, "client record: devID");
static_assert(offsetof(SerialMgrClientInfo, state) == 8, "client record: state");
static_assert(offsetof(SerialMgrClientInfo, reserved1) == 12, "client record: reserved1");
static_assert(offsetof(SerialMgrClientInfo, reserved2) == 16, "client record: reserved2");
static_assert(offsetof(SerialMgrClientInfo, skipSendLock) == 20, "client record: skipSendLock");
static_assert(offsetof(SerialMgrClientInfo, params) > offsetof(SerialMgrClientInfo, skipSendLock),
              "client record: params last");
static_assert(sizeof(SerialMgrClientInfo) == offsetof(SerialMgrClientInfo, params) + sizeof(SerialMgrClientParams),
              "client record: params must close the record");

#if UINTPTR_MAX == 0xFFFFFFFFu
// The device's own word size: the documented layout, byte for byte.
static_assert(sizeof(SerialMgrClientParams) == 32, "registration record: eight 32-bit slots");
static_assert(offsetof(SerialMgrClientParams, dataCb) == slot(0), "registration record: dataCb in slot 1");
static_assert(offsetof(SerialMgrClientParams, eventCb) == slot(1), "registration record: eventCb in slot 2");
static_assert(offsetof(SerialMgrClientParams, spare) == slot(2), "registration record: spare in slot 3");
static_assert(offsetof(SerialMgrClientParams, userData) == slot(3), "registration record: userData in slot 4");
static_assert(offsetof(SerialMgrClientParams, clientID) == slot(4), "registration record: clientID in slot 5");
static_assert(offsetof(SerialMgrClientParams, useDefaultDevice) == slot(5),
              "registration record: useDefaultDevice in slot 6");
static_assert(offsetof(SerialMgrClientParams, devID) == slot(6), "registration record: devID in slot 7");
static_assert(offsetof(SerialMgrClientParams, openParam) == slot(7), "registration record: openParam in slot 8");
static_assert(offsetof(SerialMgrClientInfo, params) == 24, "client record: params after six 32-bit words");
static_assert(sizeof(SerialMgrClientInfo) == 56, "client record: 24 bytes plus the registration record");
#endif

#ifdef AT_LAYOUT_HAVE_CBUFFER
// The circular buffer record: a 32-bit lock handle, the data pointer, eight
// 16-bit counts and two statistics bytes sharing one 16-bit word.
static_assert(offsetof(CBuffer, wrt_lock) == 0, "CBuffer: wrt_lock first");
static_assert(sizeof(CBuffer::wrt_lock) == 4, "CBuffer: wrt_lock is a 32-bit handle");
static_assert(offsetof(CBuffer, buf) == sizeof(void*), "CBuffer: buf after the handle, pointer-aligned");
static_assert(offsetof(CBuffer, wrt_idx) == offsetof(CBuffer, buf) + sizeof(void*), "CBuffer: wrt_idx");
static_assert(offsetof(CBuffer, rd_idx) == offsetof(CBuffer, wrt_idx) + 2, "CBuffer: rd_idx");
static_assert(offsetof(CBuffer, prv_wrt_idx) == offsetof(CBuffer, wrt_idx) + 4, "CBuffer: prv_wrt_idx");
static_assert(offsetof(CBuffer, wrt_reserved_sz) == offsetof(CBuffer, wrt_idx) + 6, "CBuffer: wrt_reserved_sz");
static_assert(offsetof(CBuffer, rd_reserved_sz) == offsetof(CBuffer, wrt_idx) + 8, "CBuffer: rd_reserved_sz");
static_assert(offsetof(CBuffer, buf_sz) == offsetof(CBuffer, wrt_idx) + 10, "CBuffer: buf_sz");
static_assert(offsetof(CBuffer, locked_sz) == offsetof(CBuffer, wrt_idx) + 12, "CBuffer: locked_sz");
static_assert(offsetof(CBuffer, in_use_cnt) == offsetof(CBuffer, wrt_idx) + 14, "CBuffer: in_use_cnt");
static_assert(offsetof(CBuffer, overrun_cnt) == offsetof(CBuffer, wrt_idx) + 16, "CBuffer: overrun_cnt");
static_assert(offsetof(CBuffer, reloc_cnt) == offsetof(CBuffer, overrun_cnt) + 1, "CBuffer: reloc_cnt");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(offsetof(CBuffer, in_use_cnt) == 22 && sizeof(CBuffer) == 28, "CBuffer: 28 bytes on a 32-bit target");
#endif
#endif

}  // namespace
