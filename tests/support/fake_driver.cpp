#include "fake_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

#include "drivers/signal_wait.h"
#include "serialapi/serialapi.h"
#include "wait.h"

namespace attest {
namespace fake {
namespace {

struct ReadStep {
    std::vector<UInt8> bytes;  // used when isBytes
    bool isBytes;
    UInt16 result;
    int err;
};

struct FakeDevice {
    std::mutex lock;
    bool installed = false;
    int wakePipe[2] = {-1, -1};  // a byte in it wakes blocked reads
    std::deque<ReadStep> script;
    bool closeWakes = true;
    Int32 openResult = 1;
    bool open = false;
    int opens = 0, closes = 0, reads = 0, blocked = 0;
    std::vector<UInt32> params;
    std::deque<UInt16> writeResults;
    UInt16 writeLimit = 0xFFFF;
    std::vector<WriteCall> writeCalls;
};

FakeDevice g_devices[SERIAL_DEVICE_MAX_DEVICE_NUM];

FakeDevice& dev(UInt32 devId) {
    if (devId >= SERIAL_DEVICE_MAX_DEVICE_NUM) abort();
    return g_devices[devId];
}

void wake(FakeDevice& d) {
    const char byte = 1;
    (void)!write(d.wakePipe[1], &byte, 1);
}

template <typename F>
auto locked(UInt32 devId, F f) {
    FakeDevice& d = dev(devId);
    std::lock_guard<std::mutex> guard(d.lock);
    return f(d);
}

Int32 fakeOpen(SerialDeviceId devId, UInt32 param) {
    return locked(devId, [&](FakeDevice& d) {
        d.opens++;
        d.params.push_back(param);
        if (d.openResult == 1) d.open = true;
        return d.openResult;
    });
}

Int32 fakeClose(SerialDeviceId devId) {
    return locked(devId, [](FakeDevice& d) {
        d.closes++;
        d.open = false;
        if (d.closeWakes) wake(d);
        return Int32{1};
    });
}

UInt16 fakeRead(SerialDeviceId devId, UInt8* buf, UInt16 len) {
    FakeDevice& d = dev(devId);
    std::unique_lock<std::mutex> guard(d.lock);
    for (;;) {
        if (!d.script.empty()) {
            ReadStep step = std::move(d.script.front());
            d.script.pop_front();
            d.reads++;
            if (!step.isBytes) {
                errno = step.err;
                return step.result;
            }
            const size_t n = std::min<size_t>(step.bytes.size(), len);
            std::copy(step.bytes.begin(), step.bytes.begin() + static_cast<long>(n), buf);
            return static_cast<UInt16>(n);
        }
        if (!d.open) {
            d.reads++;
            errno = EBADF;
            return 0;
        }
        d.blocked++;
        guard.unlock();
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(d.wakePipe[0], &readable);
        const int rc = at_pselect_read(d.wakePipe[0] + 1, &readable, -1);
        const int waitErr = errno;
        guard.lock();
        d.blocked--;
        if (rc < 0 && waitErr == EINTR) {
            // SIGUSR2 ended the wait, as in the real drivers: nothing read.
            d.reads++;
            errno = EAGAIN;
            return 0;
        }
        char drained[64];
        while (read(d.wakePipe[0], drained, sizeof drained) > 0) {
        }
    }
}

UInt16 fakeWrite(SerialDeviceId devId, const UInt8* buf, UInt16 len) {
    return locked(devId, [&](FakeDevice& d) {
        UInt16 result = std::min(len, d.writeLimit);
        if (!d.writeResults.empty()) {
            result = d.writeResults.front();
            d.writeResults.pop_front();
        }
        // Copy only what the result says was taken, and never past len.
        d.writeCalls.push_back({buf, len, std::vector<UInt8>(buf, buf + std::min(result, len))});
        return result;
    });
}

void pushStep(UInt32 devId, ReadStep step) {
    locked(devId, [&](FakeDevice& d) {
        d.script.push_back(std::move(step));
        wake(d);
    });
}

}  // namespace

void install(UInt32 devId) {
    locked(devId, [](FakeDevice& d) {
        if (!d.installed && pipe2(d.wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) abort();
        d.installed = true;
        d.script.clear();
        d.writeResults.clear();
        d.writeCalls.clear();
        d.params.clear();
        d.opens = d.closes = d.reads = 0;
        d.openResult = 1;
        d.closeWakes = true;
        d.writeLimit = 0xFFFF;
    });
    Serial_ConfigureDeviceEx(devId, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0, 0,
                             0);
}

void pushBytes(UInt32 devId, const std::vector<UInt8>& bytes) { pushStep(devId, {bytes, true, 0, 0}); }
void pushText(UInt32 devId, const char* text) {
    pushBytes(devId, std::vector<UInt8>(text, text + std::strlen(text)));
}
void pushResult(UInt32 devId, UInt16 result, int err) { pushStep(devId, {{}, false, result, err}); }
void setCloseWakesRead(UInt32 devId, bool wakes) {
    locked(devId, [&](FakeDevice& d) { d.closeWakes = wakes; });
}
void setOpenResult(UInt32 devId, Int32 result) {
    locked(devId, [&](FakeDevice& d) { d.openResult = result; });
}
void pushWriteResult(UInt32 devId, UInt16 result) {
    locked(devId, [&](FakeDevice& d) { d.writeResults.push_back(result); });
}
void setWriteLimit(UInt32 devId, UInt16 limit) {
    locked(devId, [&](FakeDevice& d) { d.writeLimit = limit; });
}

int openCount(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.opens; }); }
int closeCount(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.closes; }); }
std::vector<UInt32> openParams(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.params; }); }
bool isOpen(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.open; }); }
int readCount(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.reads; }); }
size_t scriptLeft(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.script.size(); }); }
std::vector<WriteCall> writes(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.writeCalls; }); }
std::vector<UInt8> writtenBytes(UInt32 devId) {
    std::vector<UInt8> all;
    for (const WriteCall& call : writes(devId)) all.insert(all.end(), call.data.begin(), call.data.end());
    return all;
}

bool waitIdle(UInt32 devId, std::chrono::milliseconds limit) {
    return waitUntil([devId] { return locked(devId, [](FakeDevice& d) { return d.blocked > 0 && d.script.empty(); }); },
                     limit);
}

}  // namespace fake
}  // namespace attest
