// Fuzz target: sequences of driver read results into a device's reader
// thread through the tests' fake driver (device 7): blocks of 1 to 1536
// bytes, 0 with EAGAIN, 0 with a failure errno, 65523 (the USB stop), 1537
// and 65535. For each input a client registers, the sequence is scripted,
// and the target waits until the reader has taken all of it (or has ended on
// the failure). Every delivered block must be the scripted block, in order;
// event 11 must come exactly once when the sequence holds a failure (and
// nothing after the failure may be read), never otherwise. A 65523 parks
// the reader; the target resumes it as a client would, with
// SERIALMGR_SetFlowControl(client, 0). Then the client deregisters, and the
// process must be back to its threads, descriptors, heap blocks, tasks and
// semaphores of before the input.
//
// Input: one byte per step chooses its kind; a block step takes two more
// bytes for its length and one for its fill. At most 24 steps: results that
// carry nothing make the reader sleep a tick after its fourth in a row, and
// an input has to stay fast.
#include <android/log.h>
#include <errno.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "fake_driver.h"
#include "fuzz/fuzz_common.h"
#include "serialmgr/serialmgr.h"
#include "serialmgr/serialmgr_internal.h"
#include "serialmgr_harness.h"
#include "wait.h"

namespace {

namespace fake = attest::fake;

constexpr UInt32 kDev = 7;
constexpr size_t kMaxSteps = 24;
constexpr auto kLimit = std::chrono::seconds(5);

struct Step {
    bool isBytes;
    std::vector<UInt8> bytes;
    UInt16 result;
    int err;
};

std::mutex g_lock;
std::vector<std::vector<UInt8>> g_blocks;
std::vector<UInt32> g_events;

void onData(SerialMgrClientInfo*, UInt32, UInt8* data, UInt32 len) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_blocks.emplace_back(data, data + len);
}

void onEvent(SerialMgrClientInfo*, UInt32, UInt32 event, UInt32) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_events.push_back(event);
}

size_t eventCount() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_events.size();
}

void quietLog(const struct __android_logger_data*, const char*) {}

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "reader_results: %s\n", what);
    std::abort();
}

std::vector<Step> parse(const uint8_t* data, size_t size) {
    std::vector<Step> steps;
    size_t i = 0;
    auto next = [&]() -> UInt8 { return i < size ? data[i++] : 0; };
    while (i < size && steps.size() < kMaxSteps) {
        const UInt8 kind = next() % 9;
        Step s{false, {}, 0, 0};
        switch (kind) {
            case 0:
            case 1:
            case 2: {  // a block of 1 to 1536 bytes
                const UInt16 raw = static_cast<UInt16>(next() << 8 | next());
                const UInt8 fill = next();
                s.isBytes = true;
                s.bytes.resize(1 + raw % SERIALMGR_RX_BUFFER_SIZE);
                for (size_t k = 0; k < s.bytes.size(); ++k)
                    s.bytes[k] = static_cast<UInt8>(fill + k * 7 + steps.size());
                break;
            }
            case 3:
                s.err = EAGAIN;
                break;
            case 4:  // a failure; mostly EIO
                s.err = next() % 4 == 0 ? EBADF : EIO;
                break;
            case 5:
                s.result = 0xFFF3;  // STOP_READING_USB_TTY
                break;
            case 6:
                s.result = SERIALMGR_RX_BUFFER_SIZE + 1;
                break;
            case 7:
                s.result = 0xFFFF;
                break;
            default:  // a full buffer
                s.isBytes = true;
                s.bytes.assign(SERIALMGR_RX_BUFFER_SIZE, static_cast<UInt8>(steps.size()));
                break;
        }
        steps.push_back(std::move(s));
    }
    return steps;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __android_log_set_logger(quietLog);
    if (SERIALMGR_Init() != 1) fail("SERIALMGR_Init failed");
    fake::install(kDev);
    // The first thread makes the sanitizer runtime start its own helpers now,
    // so that they are not counted as left behind by the first input.
    std::thread([] {}).join();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<Step> steps = parse(data, size);
    std::vector<std::vector<UInt8>> want;
    size_t failureAt = steps.size();
    for (size_t k = 0; k < steps.size(); ++k) {
        const Step& s = steps[k];
        if (!s.isBytes && s.result == 0 && s.err != EAGAIN) {
            failureAt = k;
            break;
        }
        if (s.isBytes) want.push_back(s.bytes);
    }
    const bool failure = failureAt < steps.size();

    fake::install(kDev);  // empty script, counters at 0
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_blocks.clear();
        g_events.clear();
    }
    const attest::Resources before = attest::snapshot();

    SerialMgrClientParams params{};
    params.dataCb = onData;
    params.eventCb = onEvent;
    params.clientID = 1;
    params.devID = kDev;
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&params);
    if (client == nullptr) fail("registration failed");
    // Scripted only now: blocks read before the client is attached would be
    // dropped, as they must be.
    for (const Step& s : steps) {
        if (s.isBytes)
            fake::pushBytes(kDev, s.bytes);
        else
            fake::pushResult(kDev, s.result, s.err);
    }

    // Until the reader has ended on the failure, or has taken the whole
    // script and waits in the driver again. A 65523 parks it; resume it.
    const bool done = attest::waitUntil(
        [&] {
            if (gDevList[kDev].stopRx.load() != 0) SERIALMGR_SetFlowControl(client, 0);
            if (failure) return eventCount() > 0 && gDevList[kDev].rxLife.has(ReaderLife::kEnded);
            return fake::scriptLeft(kDev) == 0 && fake::blockedReaders(kDev) > 0 && gDevList[kDev].stopRx.load() == 0;
        },
        kLimit);
    if (!done) fail(failure ? "no event 11 after the failure" : "the reader did not take the whole script");
    if (failure && fake::readCount(kDev) != static_cast<int>(failureAt) + 1) fail("read past the failure");

    if (SERIALMGR_DeRegisterClient(client) != TRUE) fail("deregistration failed");
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_blocks != want) fail("delivered blocks differ from the scripted ones");
        const std::vector<UInt32> events = failure
                                               ? std::vector<UInt32>{SERIALMGR_EVENT_READ_ERROR, SERIALMGR_EVENT_DEREGISTERED}
                                               : std::vector<UInt32>{SERIALMGR_EVENT_DEREGISTERED};
        if (g_events != events) fail("wrong events");
    }
    if (!attest::waitResourcesBack(before, 0, kLimit)) {
        std::fprintf(stderr, "before: %s\nafter:  %s\n", before.describe().c_str(),
                     attest::snapshot().describe().c_str());
        fail("resources left behind");
    }
    return 0;
}
