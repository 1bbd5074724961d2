// A scriptable serial driver, installed as a host driver on a device ID: one
// that Serial_Init leaves free (6 to 13) or over a real device's entry.
//
// Its read takes the next scripted result: bytes, or a bare result with an
// errno. With nothing scripted it waits until more is scripted or the device
// closes (unless told that a close does not wake it, as with a tty whose close
// another thread's select misses); SIGUSR2 ends the wait (0 with EAGAIN), and
// a read of a closed device returns 0 with EBADF. It waits in at_pselect_read
// like the library's drivers, or in plain select() or poll() like a host's.
// Writes are recorded and return the next scripted result, or else
// min(len, write limit). All functions are thread-safe.
#pragma once

#include <string>
#include <vector>

#include "osal/kova_types.h"

namespace attest::fake {

enum class Wait { Pselect, Select, Poll };

struct WriteCall {
    const UInt8* buf;
    UInt16 len;
    std::vector<UInt8> data;  // what the result says was taken
};

void install(UInt32 devId);  // registers the fake on devId and resets it
void pushBytes(UInt32 devId, const std::vector<UInt8>& bytes);
void pushText(UInt32 devId, const std::string& text);
void pushResult(UInt32 devId, UInt16 result, int err);
void setCloseWakesRead(UInt32 devId, bool wakes);
void setWait(UInt32 devId, Wait how);
void setOpenResult(UInt32 devId, Int32 result);  // 1 opens (the default), anything else fails
void pushWriteResult(UInt32 devId, UInt16 result);
void setWriteLimit(UInt32 devId, UInt16 limit);  // default 65535

std::vector<UInt32> openParams(UInt32 devId);  // one per open
bool isOpen(UInt32 devId);
size_t scriptLeft(UInt32 devId);
std::vector<WriteCall> writes(UInt32 devId);
std::vector<UInt8> writtenBytes(UInt32 devId);
bool waitIdle(UInt32 devId);  // until a read waits with nothing scripted

}  // namespace attest::fake
