// The two obtains of an in-process channel's read, reached from a test.
//
// A test program that includes this header (one source file per program)
// defines OSSEMAPHORE_obtainMutex itself. libkovacutils is a shared library,
// so this definition wins for the library's objects linked into the program;
// it calls the real one through dlsym(RTLD_NEXT). For the mutex of a channel
// (gSocketMutex) it calls the test's stage function with the channel index
// after the read's first obtain (stage 1) and right before its second obtain
// (stage 2), so that a test can put a close into either window. Obtains of
// any other mutex pass straight through.
#pragma once

#include <dlfcn.h>

#include <atomic>

#include "drivers/socket_drv_internal.h"
#include "osal/osal.h"
#include "serialapi/serialapi.h"

namespace socketstages {

using StageFn = void (*)(UInt32 channel, int stage);
inline std::atomic<StageFn> onStage{nullptr};

// The channel mutex that this thread obtained last: a read obtains the same
// mutex twice, so a second obtain of it on the same thread is stage 2.
inline thread_local OSSemaphore heldByThisThread = 0;

inline int channelOf(OSSemaphore mutex) {
    if (mutex == 0) return -1;
    for (int i = 0; i < SOCKET_CHANNEL_NUM; ++i) {
        if (gSocketMutex[i].load() == mutex) return i;
    }
    return -1;
}

inline void run(int channel, int stage) {
    if (StageFn fn = onStage.load()) fn(static_cast<UInt32>(channel), stage);
}

using ObtainFn = OSStatus (*)(OSSemaphore, UInt32);

inline ObtainFn realObtain() {
    static const ObtainFn fn = reinterpret_cast<ObtainFn>(dlsym(RTLD_NEXT, "OSSEMAPHORE_obtainMutex"));
    return fn;
}

}  // namespace socketstages

extern "C" OSStatus OSSEMAPHORE_obtainMutex(OSSemaphore mutex, UInt32 timeoutTicks) {
    using namespace socketstages;
    const int channel = channelOf(mutex);
    if (channel < 0) return realObtain()(mutex, timeoutTicks);
    if (heldByThisThread == mutex) {
        run(channel, 2);
        return realObtain()(mutex, timeoutTicks);
    }
    const OSStatus status = realObtain()(mutex, timeoutTicks);
    heldByThisThread = mutex;
    run(channel, 1);
    return status;
}
