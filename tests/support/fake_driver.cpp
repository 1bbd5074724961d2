#include "fake_driver.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>

#include "serialapi/serialapi.h"
#include "wait.h"

namespace attest::fake {
namespace {

void wake(Device& d) { (void)!write(d.wakePipe[1], "", 1); }

// Waits until the wake pipe is readable; false when a signal ended the wait.
bool waitWoken(bool usePoll, int fd) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    pollfd p{fd, POLLIN, 0};
    const int rc = usePoll ? poll(&p, 1, -1) : select(fd + 1, &readable, nullptr, nullptr, nullptr);
    return !(rc < 0 && errno == EINTR);
}

Int32 fakeOpen(SerialDeviceId devId, UInt32 param) {
    return with(devId, [&](Device& d) {
        d.openParams.push_back(param);
        d.open = true;
        return Int32{1};
    });
}

Int32 fakeClose(SerialDeviceId devId) {
    return with(devId, [](Device& d) {
        d.open = false;
        if (d.closeWakes) wake(d);
        return Int32{1};
    });
}

UInt16 fakeRead(SerialDeviceId devId, UInt8* buf, UInt16 len) {
    Device& d = device(devId);
    std::unique_lock<std::mutex> guard(d.lock);
    while (d.script.empty() && d.open) {
        ++d.waiting;
        const bool usePoll = d.poll;
        guard.unlock();
        const bool woken = waitWoken(usePoll, d.wakePipe[0]);
        guard.lock();
        --d.waiting;
        char drained[64];
        while (read(d.wakePipe[0], drained, sizeof drained) > 0) {
        }
        if (!woken) {
            errno = EAGAIN;
            return 0;
        }
    }
    const State::Step step = d.script.empty() ? State::Step{"", 0, EBADF} : d.script.front();
    if (!d.script.empty()) d.script.pop_front();
    errno = step.err;
    if (step.bytes.empty()) return step.result;
    const size_t n = std::min<size_t>(step.bytes.size(), len);
    std::copy_n(step.bytes.begin(), n, buf);
    return static_cast<UInt16>(n);
}

UInt16 fakeWrite(SerialDeviceId devId, const UInt8*, UInt16 len) {
    return with(devId, [&](Device& d) {
        ++d.writes;
        return std::min(len, d.writeLimit);
    });
}

}  // namespace

Device& device(UInt32 devId) {
    static Device devices[SERIAL_DEVICE_MAX_DEVICE_NUM];
    return devices[devId];
}

void install(UInt32 devId) {
    with(devId, [](Device& d) {
        if (d.wakePipe[0] < 0 && pipe2(d.wakePipe, O_NONBLOCK | O_CLOEXEC) != 0) abort();
        const State was = d;
        static_cast<State&>(d) = State{};
        d.open = was.open;
        d.waiting = was.waiting;
    });
    Serial_ConfigureDeviceEx(devId, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr, nullptr, 0, 0,
                             0);
}

void push(UInt32 devId, const std::string& bytes, UInt16 result, int err) {
    with(devId, [&](Device& d) {
        d.script.push_back({bytes, result, err});
        wake(d);
    });
}

bool waitIdle(UInt32 devId) {
    return waitUntil([devId] { return with(devId, [](Device& d) { return d.waiting > 0 && d.script.empty(); }); });
}

}  // namespace attest::fake
