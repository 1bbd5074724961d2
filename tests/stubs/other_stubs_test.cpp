// AT stubs and helpers: the host's callback pair, client-ID ranges, the
// bounded string helpers and the empty stubs.
#include "stubs/other_stubs.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

// ---- callbacks ----

struct SendCall {
    UInt32 devId;
    const UInt8* data;
    UInt32 len;
};
std::vector<SendCall> g_sends;
Int32 g_sendResult = 0;
Int32 g_ready = 0;
int g_readyCalls = 0;

Int32 fakeSend(UInt32 devId, const UInt8* data, UInt32 len) {
    g_sends.push_back({devId, data, len});
    return g_sendResult;
}
Int32 fakeReady() {
    ++g_readyCalls;
    return g_ready;
}

TEST(AtStubsCallbacks, DefaultsApplyBeforeRegistration) {
    const UInt8 bytes[] = {'A', 'T'};
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 1);
    EXPECT_EQ(AT_STUBS_SendDataToClient(18, bytes, 2), 0);
}

TEST(AtStubsCallbacks, RegisteredCallbacksGetTheArgumentsAndTheirResultIsReturned) {
    AT_STUBS_RegisterCallbacks(fakeSend, fakeReady);
    const UInt8 bytes[] = {'O', 'K', '\r'};
    // The result is handed back whatever it is; the in-process channel makes
    // it the write result, so a failure value such as 65535 passes through.
    g_sendResult = 65535;
    EXPECT_EQ(AT_STUBS_SendDataToClient(21, bytes, 3), 65535);
    g_sendResult = -7;
    EXPECT_EQ(AT_STUBS_SendDataToClient(19, bytes, 1), -7);
    ASSERT_EQ(g_sends.size(), 2u);
    EXPECT_EQ(g_sends[0].devId, 21u);
    EXPECT_EQ(g_sends[0].data, bytes);
    EXPECT_EQ(g_sends[0].len, 3u);
    EXPECT_EQ(g_sends[1].devId, 19u);
    EXPECT_EQ(g_sends[1].len, 1u);

    g_ready = 0;
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    g_ready = 42;
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 42);
    EXPECT_EQ(g_readyCalls, 2);
}

TEST(AtStubsCallbacks, RegisteringNullsBringsTheDefaultsBack) {
    AT_STUBS_RegisterCallbacks(fakeSend, fakeReady);
    g_ready = 0;
    ASSERT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    const UInt8 byte = 'x';
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 1);
    EXPECT_EQ(AT_STUBS_SendDataToClient(18, &byte, 1), 0);
    EXPECT_TRUE(g_sends.empty());
    EXPECT_EQ(g_readyCalls, 1);

    // Each half is replaced on its own: a null send callback beside a set
    // is-ready callback.
    AT_STUBS_RegisterCallbacks(nullptr, fakeReady);
    EXPECT_EQ(AT_STUBS_SendDataToClient(18, &byte, 1), 0);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
}

// ---- client-ID ranges ----

std::vector<std::string> channel269(const attest::LogCapture& log) {
    std::vector<std::string> out;
    for (const auto& line : log.debugLines()) {
        if (line.channel == 269) out.push_back(line.text);
    }
    return out;
}

TEST(ClientIdRange, ConsecutiveRangesAreAdjacentAndLogged) {
    attest::LogCapture log;
    EXPECT_EQ(SYS_GenClientIDRange(1), 1);
    EXPECT_EQ(SYS_GenClientIDRange(3), 2);
    EXPECT_EQ(SYS_GenClientIDRange(2), 5);
    // A range of 0 reserves nothing: the next call starts at the same ID.
    EXPECT_EQ(SYS_GenClientIDRange(0), 7);
    EXPECT_EQ(SYS_GenClientIDRange(1), 7);
    const std::vector<std::string> expected = {
        "SYS_GenClientIDRange range=1 gClientIdIndex=1 clientID=1",
        "SYS_GenClientIDRange range=3 gClientIdIndex=4 clientID=2",
        "SYS_GenClientIDRange range=2 gClientIdIndex=6 clientID=5",
        "SYS_GenClientIDRange range=0 gClientIdIndex=6 clientID=7",
        "SYS_GenClientIDRange range=1 gClientIdIndex=7 clientID=7",
    };
    EXPECT_EQ(channel269(log), expected);
    EXPECT_TRUE(log.lines().empty()) << log.dump();  // nothing on the Android log
}

TEST(ClientIdRange, ReachingTwentyNineIsFine) {
    EXPECT_EQ(SYS_GenClientIDRange(28), 1);
    EXPECT_EQ(SYS_GenClientIDRange(1), 29);
}

TEST(ClientIdRange, TheCounterIsEightBits) {
    // 256 IDs wrap the counter back to where it was: no stop, nothing reserved.
    EXPECT_EQ(SYS_GenClientIDRange(256), 1);
    EXPECT_EQ(SYS_GenClientIDRange(1), 1);
}

void debugToStderr(UInt32 channel, const char* text) { std::fprintf(stderr, "dbg%u: %s\n", channel, text); }

TEST(ClientIdRangeDeathTest, ReachingThirtyStopsTheProcessAfterTheDebugLine) {
    EXPECT_DEATH(
        {
            KOVA_SetDebugLogHook(debugToStderr);
            SYS_GenClientIDRange(29);
            SYS_GenClientIDRange(1);
        },
        "dbg269: SYS_GenClientIDRange range=1 gClientIdIndex=30 clientID=30\n"
        "common/modem/at/stubs/other_stubs:[0-9]+: SYS_GenClientIDRange: "
        "assertion \"gClientIdIndex < MAX_CLIENT_NUM\" failed");
}

// ---- string helpers ----

// A destination of `size` bytes followed by guard bytes: the helpers must
// never write at or past dest[size].
constexpr unsigned char kGuard = 0xA5;
constexpr size_t kGuardBytes = 16;

struct Canary {
    std::vector<unsigned char> bytes;
    UInt32 size;
    explicit Canary(UInt32 n, unsigned char fill = 0xEE) : bytes(n + kGuardBytes, kGuard), size(n) {
        std::memset(bytes.data(), fill, n);
    }
    char* dest() { return reinterpret_cast<char*>(bytes.data()); }
    bool guardIntact() const {
        for (size_t i = size; i < bytes.size(); ++i) {
            if (bytes[i] != kGuard) return false;
        }
        return true;
    }
    std::vector<unsigned char> content() const { return {bytes.begin(), bytes.begin() + size}; }
};

using Bytes = std::vector<unsigned char>;

// One call of a helper on a destination of `size` bytes that starts as
// `initial` (then 0xEE filler), and the bytes it must leave there.
struct StringCase {
    const char* what;
    void (*call)(char* dest, UInt32 size);
    UInt32 size;
    const char* initial;  // nullptr: filler only
    Bytes expected;
};

const StringCase kStringCases[] = {
    {"copy cuts a long source", [](char* d, UInt32 n) { SYS_CopyStr8(d, "abcdef", n); }, 4, nullptr,
     {'a', 'b', 'c', 0}},
    {"copy zero-fills after a short source", [](char* d, UInt32 n) { SYS_CopyStr8(d, "x", n); }, 4, nullptr,
     {'x', 0, 0, 0}},
    {"copy, exact fit", [](char* d, UInt32 n) { SYS_CopyStr8(d, "abc", n); }, 4, nullptr, {'a', 'b', 'c', 0}},
    {"copy, size one", [](char* d, UInt32 n) { SYS_CopyStr8(d, "abc", n); }, 1, nullptr, {0}},
    {"format zeroes the whole buffer", [](char* d, UInt32 n) { SYS_FormatStr8(d, n, "%d%s", 12, "ab"); }, 8, nullptr,
     {'1', '2', 'a', 'b', 0, 0, 0, 0}},
    {"format cuts the output", [](char* d, UInt32 n) { SYS_FormatStr8(d, n, "value=%d", 123456); }, 5, nullptr,
     {'v', 'a', 'l', 'u', 0}},
    {"format, size one", [](char* d, UInt32 n) { SYS_FormatStr8(d, n, "%s", "anything"); }, 1, nullptr, {0}},
    {"append what fits, terminated in the last byte", [](char* d, UInt32 n) { SYS_AppendStr8(d, "defgh", n); }, 6,
     "abc", {'a', 'b', 'c', 'd', 'e', 0}},
    // The last byte is always cleared, as in every append case here.
    {"append a short source whole", [](char* d, UInt32 n) { SYS_AppendStr8(d, "cd", n); }, 8, "ab",
     {'a', 'b', 'c', 'd', 0, 0xEE, 0xEE, 0}},
    {"append to a full destination", [](char* d, UInt32 n) { SYS_AppendStr8(d, "xyz", n); }, 6, "abcde",
     {'a', 'b', 'c', 'd', 'e', 0}},
    // No terminator within size: there is no string end to append at, so
    // nothing is appended and only dest[size - 1] is set to 0.
    {"append to an unterminated destination", [](char* d, UInt32 n) { SYS_AppendStr8(d, "xyz", n); }, 6,
     "zzzzzzzz", {'z', 'z', 'z', 'z', 'z', 0}},
};

TEST(StringHelpers, CutTerminateAndNeverWritePastSize) {
    for (const StringCase& t : kStringCases) {
        SCOPED_TRACE(t.what);
        Canary c(t.size);
        if (t.initial != nullptr) std::memcpy(c.dest(), t.initial, std::min<size_t>(t.size, std::strlen(t.initial) + 1));
        t.call(c.dest(), c.size);
        EXPECT_EQ(c.content(), t.expected);
        EXPECT_TRUE(c.guardIntact());
    }
}

TEST(StringHelpers, NullPointersAndSizeZeroChangeNothing) {
    Canary c(4);
    const Bytes untouched = c.content();
    SYS_CopyStr8(nullptr, "abc", 4);
    SYS_CopyStr8(c.dest(), nullptr, 4);
    SYS_CopyStr8(c.dest(), "abc", 0);
    SYS_AppendStr8(nullptr, "abc", 4);
    SYS_AppendStr8(c.dest(), nullptr, 4);
    SYS_AppendStr8(c.dest(), "abc", 0);
    SYS_FormatStr8(nullptr, 4, "%d", 1);
    // Through a pointer, which carries no format attribute to warn about.
    void (*format)(char*, UInt32, const char*, ...) = SYS_FormatStr8;
    format(c.dest(), 4, nullptr);
    SYS_FormatStr8(c.dest(), 0, "%d", 1);
    EXPECT_EQ(c.content(), untouched);
    EXPECT_TRUE(c.guardIntact());
}

// ---- empty stubs ----

TEST(EmptyStubs, PredefinedClientRegistrationAlwaysSucceeds) { EXPECT_EQ(SYS_RegisterForPredefinedClient(), 1); }

TEST(EmptyStubs, TheThreeEmptyNamesAreOneFunction) {
    void* report = reinterpret_cast<void*>(&AT_ReportCallAbortInd);
    EXPECT_EQ(report, reinterpret_cast<void*>(&OSSEMAPHORE_ChangeName));
    EXPECT_EQ(report, reinterpret_cast<void*>(&SYS_DeRegisterForMSEvent));
    EXPECT_NE(report, reinterpret_cast<void*>(&SYS_RegisterForPredefinedClient));
}

#ifdef AT_STUBS_SHARED_LIBRARY
TEST(EmptyStubs, TheSharedLibraryExportsOneAddressUnderTheThreeNames) {
    void* lib = dlopen(AT_STUBS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    void* report = dlsym(lib, "AT_ReportCallAbortInd");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(dlsym(lib, "OSSEMAPHORE_ChangeName"), report);
    EXPECT_EQ(dlsym(lib, "SYS_DeRegisterForMSEvent"), report);
    // The function behind them stays hidden.
    EXPECT_EQ(dlsym(lib, "at_stubs_empty"), nullptr);
    dlclose(lib);
}
#endif

TEST(EmptyStubs, CallersMayPassAnyArguments) {
    // The interpreter calls these with argument lists of its own; the stubs
    // read none, so any list is harmless.
    // void (*)(void) is the generic function pointer type to cast through.
    using Generic = void (*)(void);
    using ThreeArgs = void (*)(int, const char*, void*);
    reinterpret_cast<ThreeArgs>(reinterpret_cast<Generic>(&AT_ReportCallAbortInd))(1, "x", nullptr);
    reinterpret_cast<ThreeArgs>(reinterpret_cast<Generic>(&SYS_DeRegisterForMSEvent))(2, "y", nullptr);
    OSSEMAPHORE_ChangeName(0x10001u, "SrlDev_S");
    using PredefinedWithArgs = Int32 (*)(int, int);
    EXPECT_EQ(reinterpret_cast<PredefinedWithArgs>(reinterpret_cast<Generic>(&SYS_RegisterForPredefinedClient))(3, 4),
              1);
}

}  // namespace
