#include "fake_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <mutex>

#include "drivers/signal_wait.h"
#include "serialapi/serialapi.h"
#include "wait.h"

namespace attest::fake {
namespace {

struct ReadStep {
    std::vector<UInt8> bytes;
    bool isBytes;
    UInt16 result;
    int err;
};

struct FakeDevice {
    std::mutex lock;
    int wakePipe[2] = {-1, -1};  // a byte in it wakes waiting reads
    std::deque<ReadStep> script;
    bool closeWakes = true, open = false;
    Wait wait = Wait::Pselect;
    Int32 openResult = 1;
    int blocked = 0;
    std::vector<UInt32> params;
    std::deque<UInt16> writeResults;
    UInt16 writeLimit = 0xFFFF;
    std::vector<WriteCall> writeCalls;
};

FakeDevice g_devices[SERIAL_DEVICE_MAX_DEVICE_NUM];

template <typename F>
auto locked(UInt32 devId, F f) {
    FakeDevice& d = g_devices[devId];
    std::lock_guard<std::mutex> guard(d.lock);
    return f(d);
}

void wake(FakeDevice& d) { (void)!write(d.wakePipe[1], "", 1); }

// Waits until the wake pipe is readable; false when a signal ended the wait.
bool waitWoken(Wait how, int fd) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    pollfd p{fd, POLLIN, 0};
    const int rc = how == Wait::Pselect ? at_pselect_read(fd + 1, &readable, -1)
                   : how == Wait::Select ? select(fd + 1, &readable, nullptr, nullptr, nullptr)
                                         : poll(&p, 1, -1);
    return !(rc < 0 && errno == EINTR);
}

Int32 fakeOpen(SerialDeviceId devId, UInt32 param) {
    return locked(devId, [&](FakeDevice& d) {
        d.params.push_back(param);
        d.open = d.open || d.openResult == 1;
        return d.openResult;
    });
}

Int32 fakeClose(SerialDeviceId devId) {
    return locked(devId, [](FakeDevice& d) {
        d.open = false;
        if (d.closeWakes) wake(d);
        return Int32{1};
    });
}

UInt16 fakeRead(SerialDeviceId devId, UInt8* buf, UInt16 len) {
    FakeDevice& d = g_devices[devId];
    std::unique_lock<std::mutex> guard(d.lock);
    while (d.script.empty() && d.open) {
        ++d.blocked;
        const Wait how = d.wait;
        guard.unlock();
        const bool woken = waitWoken(how, d.wakePipe[0]);
        guard.lock();
        --d.blocked;
        if (!woken) {
            errno = EAGAIN;
            return 0;
        }
        char drained[64];
        while (read(d.wakePipe[0], drained, sizeof drained) > 0) {
        }
    }
    if (d.script.empty()) {
        errno = EBADF;
        return 0;
    }
    ReadStep step = std::move(d.script.front());
    d.script.pop_front();
    if (!step.isBytes) {
        errno = step.err;
        return step.result;
    }
    const size_t n = std::min<size_t>(step.bytes.size(), len);
    std::copy_n(step.bytes.begin(), n, buf);
    return static_cast<UInt16>(n);
}

UInt16 fakeWrite(SerialDeviceId devId, const UInt8* buf, UInt16 len) {
    return locked(devId, [&](FakeDevice& d) {
        UInt16 result = std::min(len, d.writeLimit);
        if (!d.writeResults.empty()) {
            result = d.writeResults.front();
            d.writeResults.pop_front();
        }
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
        if (d.wakePipe[0] < 0 && pipe2(d.wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) abort();
        d.script.clear();
        d.writeResults.clear();
        d.writeCalls.clear();
        d.params.clear();
        d.openResult = 1;
        d.closeWakes = true;
        d.wait = Wait::Pselect;
        d.writeLimit = 0xFFFF;
    });
    Serial_ConfigureDeviceEx(devId, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0, 0,
                             0);
}

void pushBytes(UInt32 devId, const std::vector<UInt8>& bytes) { pushStep(devId, {bytes, true, 0, 0}); }
void pushText(UInt32 devId, const std::string& text) { pushBytes(devId, {text.begin(), text.end()}); }
void pushResult(UInt32 devId, UInt16 result, int err) { pushStep(devId, {{}, false, result, err}); }
void setCloseWakesRead(UInt32 devId, bool wakes) { locked(devId, [&](FakeDevice& d) { d.closeWakes = wakes; }); }
void setWait(UInt32 devId, Wait how) { locked(devId, [&](FakeDevice& d) { d.wait = how; }); }
void setOpenResult(UInt32 devId, Int32 result) { locked(devId, [&](FakeDevice& d) { d.openResult = result; }); }
void pushWriteResult(UInt32 devId, UInt16 result) {
    locked(devId, [&](FakeDevice& d) { d.writeResults.push_back(result); });
}
void setWriteLimit(UInt32 devId, UInt16 limit) { locked(devId, [&](FakeDevice& d) { d.writeLimit = limit; }); }

std::vector<UInt32> openParams(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.params; }); }
bool isOpen(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.open; }); }
size_t scriptLeft(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.script.size(); }); }
std::vector<WriteCall> writes(UInt32 devId) { return locked(devId, [](FakeDevice& d) { return d.writeCalls; }); }
std::vector<UInt8> writtenBytes(UInt32 devId) {
    std::vector<UInt8> all;
    for (const WriteCall& call : writes(devId)) all.insert(all.end(), call.data.begin(), call.data.end());
    return all;
}
bool waitIdle(UInt32 devId) {
    return waitUntil([devId] { return locked(devId, [](FakeDevice& d) { return d.blocked > 0 && d.script.empty(); }); });
}

}  // namespace attest::fake
