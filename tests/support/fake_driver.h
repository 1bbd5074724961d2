// A scriptable serial driver for tests. Install it with attest::fake::install
// on a device ID that Serial_Init leaves free (6 to 13) after SERIALMGR_Init,
// or over a real device's entry; it registers itself with
// Serial_ConfigureDeviceEx.
//
// Its read takes the next scripted result: bytes, or a bare result with an
// errno (0 with EAGAIN, 0 with EIO, 65523, 1537, ...). With nothing scripted
// it blocks until the test scripts something or the device is closed. The
// wait goes through at_pselect_read like the real drivers' waits, so SIGUSR2
// sent to the reader ends it too (0 with errno EAGAIN). A read on a closed
// device returns 0 with EBADF.
//
// Writes are recorded (pointer, length, a copy of the bytes taken). Each
// write returns the next scripted write result, or else min(len, write limit).
// All functions are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "osal/kova_types.h"

namespace attest {
namespace fake {

struct WriteCall {
    const UInt8* buf;
    UInt16 len;
    std::vector<UInt8> data;
};

// Registers the fake driver for devId and resets its script and counters.
void install(UInt32 devId);

// Script of reads, taken in order.
void pushBytes(UInt32 devId, const std::vector<UInt8>& bytes);
void pushText(UInt32 devId, const char* text);
void pushResult(UInt32 devId, UInt16 result, int err);
// false: closing does not wake a blocked read; only SIGUSR2 (or more
// script) ends it, like a tty whose close another thread's select misses.
void setCloseWakesRead(UInt32 devId, bool wakes);
// Result of the next opens: 1 opens (default), 0 or another value fails.
void setOpenResult(UInt32 devId, Int32 result);
// Writes: scripted results first, then min(len, limit) (limit default 65535).
void pushWriteResult(UInt32 devId, UInt16 result);
void setWriteLimit(UInt32 devId, UInt16 limit);

// Observations.
int openCount(UInt32 devId);
int closeCount(UInt32 devId);
std::vector<UInt32> openParams(UInt32 devId);
bool isOpen(UInt32 devId);
int readCount(UInt32 devId);       // reads that returned
size_t scriptLeft(UInt32 devId);   // scripted reads not yet taken
std::vector<WriteCall> writes(UInt32 devId);
std::vector<UInt8> writtenBytes(UInt32 devId);  // all written bytes, in order

// Waits until a read is blocked with nothing scripted (the reader is idle).
bool waitIdle(UInt32 devId, std::chrono::milliseconds limit = std::chrono::seconds(10));

}  // namespace fake
}  // namespace attest
