// AT stubs and helpers: the host's callback pair, client-ID ranges, the
// bounded string helpers and the empty stubs.
#include "stubs/other_stubs.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

std::vector<std::string> g_sends;
Int32 g_sendResult = 0;

Int32 fakeSend(UInt32 devId, const UInt8* data, UInt32 len) {
    g_sends.push_back(std::to_string(devId) + ":" + std::string(reinterpret_cast<const char*>(data), len));
    return g_sendResult;
}
Int32 fakeReady() { return 0; }

// Choice: the send-data result is handed back whatever it is; the in-process
// channel makes it its write result, so a failure value such as 65535 passes.
TEST(AtStubsCallbacks, EachHalfIsRegisteredOnItsOwnAndNullBringsItsDefaultBack) {
    const UInt8 bytes[] = {'O', 'K', '\r'};
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 1);
    AT_STUBS_RegisterCallbacks(fakeSend, fakeReady);
    g_sendResult = 65535;
    EXPECT_EQ(AT_STUBS_SendDataToClient(21, bytes, 3), 65535);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    AT_STUBS_RegisterCallbacks(nullptr, fakeReady);
    EXPECT_EQ(AT_STUBS_SendDataToClient(18, bytes, 1), 0);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 1);
    EXPECT_EQ(g_sends, std::vector<std::string>{"21:OK\r"});
}

TEST(ClientIdRange, ConsecutiveRangesAreAdjacentLoggedAndCountedInEightBits) {
    attest::LogCapture log;
    EXPECT_EQ(SYS_GenClientIDRange(1), 1);
    EXPECT_EQ(SYS_GenClientIDRange(3), 2);
    // A range of 0 reserves nothing: the next call starts at the same ID.
    EXPECT_EQ(SYS_GenClientIDRange(0), 5);
    EXPECT_EQ(SYS_GenClientIDRange(1), 5);
    std::vector<std::string> lines;
    for (const auto& line : log.debugLines()) lines.push_back(std::to_string(line.channel) + " " + line.text);
    EXPECT_EQ(lines, (std::vector<std::string>{
                              "269 SYS_GenClientIDRange range=1 gClientIdIndex=1 clientID=1",
                              "269 SYS_GenClientIDRange range=3 gClientIdIndex=4 clientID=2",
                              "269 SYS_GenClientIDRange range=0 gClientIdIndex=4 clientID=5",
                              "269 SYS_GenClientIDRange range=1 gClientIdIndex=5 clientID=5",
                          }));
    EXPECT_TRUE(log.lines().empty()) << log.dump();  // nothing on the Android log
    // 256 IDs wrap the counter back to where it was: no stop, nothing reserved.
    EXPECT_EQ(SYS_GenClientIDRange(256), 6);
    EXPECT_EQ(SYS_GenClientIDRange(24), 6);  // up to 29 is fine
}

TEST(ClientIdRangeDeathTest, ReachingThirtyStopsTheProcessAfterTheDebugLine) {
    EXPECT_DEATH(
        {
            KOVA_SetDebugLogHook(
                [](UInt32 channel, const char* text) { std::fprintf(stderr, "dbg%u: %s\n", channel, text); });
            SYS_GenClientIDRange(29);
            SYS_GenClientIDRange(1);
        },
        "dbg269: SYS_GenClientIDRange range=1 gClientIdIndex=30 clientID=30\n"
        "common/modem/at/stubs/other_stubs:[0-9]+: SYS_GenClientIDRange: "
        "assertion \"gClientIdIndex < MAX_CLIENT_NUM\" failed");
}

// One call of a helper on a destination as long as `expected`, which starts
// as `initial` (then 0xEE filler) and is followed by guard bytes, and the
// bytes it must leave there. The guards must stay: nothing is written at or
// past the end of the destination.
using namespace std::string_view_literals;
struct StringCase {
    const char* what;
    void (*call)(char* dest, UInt32 size);
    const char* initial;  // nullptr: filler only
    std::string_view expected;  // its length is the destination's size
};

const StringCase kStringCases[] = {
    {"copy cuts a long source", [](char* d, UInt32 n) { SYS_CopyStr8(d, "abcdef", n); }, nullptr, "abc\0"sv},
    {"copy zero-fills after a short source", [](char* d, UInt32 n) { SYS_CopyStr8(d, "x", n); }, nullptr, "x\0\0\0"sv},
    {"format zeroes the whole buffer", [](char* d, UInt32 n) { SYS_FormatStr8(d, n, "%d%s", 12, "ab"); }, nullptr,
     "12ab\0\0\0\0"sv},
    {"format cuts the output", [](char* d, UInt32 n) { SYS_FormatStr8(d, n, "value=%d", 123456); }, nullptr, "valu\0"sv},
    {"append what fits, terminated in the last byte", [](char* d, UInt32 n) { SYS_AppendStr8(d, "defgh", n); }, "abc",
     "abcde\0"sv},
    // Choice: with no terminator within size there is no string end to
    // append at, so nothing is appended and only dest[size - 1] is set to 0.
    {"append to an unterminated destination", [](char* d, UInt32 n) { SYS_AppendStr8(d, "xyz", n); }, "zzzzzzzz",
     "zzzzz\0"sv},
    {"NULL pointers and size 0 change nothing",
     [](char* d, UInt32 n) {
         SYS_CopyStr8(nullptr, "abc", n);
         SYS_CopyStr8(d, nullptr, n);
         SYS_CopyStr8(d, "abc", 0);
         SYS_AppendStr8(nullptr, "abc", n);
         SYS_AppendStr8(d, nullptr, n);
         SYS_AppendStr8(d, "abc", 0);
         SYS_FormatStr8(nullptr, n, "%d", 1);
         SYS_FormatStr8(d, 0, "%d", 1);
         // Through a pointer, which carries no format attribute to warn about.
         void (*format)(char*, UInt32, const char*, ...) = SYS_FormatStr8;
         format(d, n, nullptr);
     },
     nullptr, "\xEE\xEE\xEE\xEE"sv},
};

TEST(StringHelpers, CutTerminateAndNeverWritePastSize) {
    for (const StringCase& t : kStringCases) {
        SCOPED_TRACE(t.what);
        const UInt32 size = static_cast<UInt32>(t.expected.size());
        std::string area = std::string(size, '\xEE') + std::string(16, '\xA5');
        if (t.initial != nullptr) std::memcpy(area.data(), t.initial, std::min<size_t>(size, std::strlen(t.initial) + 1));
        t.call(area.data(), size);
        EXPECT_EQ(std::string_view(area).substr(0, size), t.expected);
        EXPECT_EQ(area.substr(size), std::string(16, '\xA5'));
    }
}

// Choice: the empty stubs take no parameters; the interpreter calls them with
// argument lists of its own, which they never read. The last three are one
// function exported under three names, and the function itself stays hidden.
TEST(EmptyStubs, OneHiddenFunctionUnderThreeNamesTakesAnyArguments) {
    using Generic = void (*)(void);  // the generic function pointer type to cast through
    using ThreeArgs = void (*)(int, const char*, void*);
    reinterpret_cast<ThreeArgs>(reinterpret_cast<Generic>(&AT_ReportCallAbortInd))(1, "x", nullptr);
    OSSEMAPHORE_ChangeName(0x10001u, "SrlDev_S");
    using PredefinedWithArgs = Int32 (*)(int, int);
    EXPECT_EQ(reinterpret_cast<PredefinedWithArgs>(reinterpret_cast<Generic>(&SYS_RegisterForPredefinedClient))(3, 4),
              1);
    void* lib = dlopen(AT_STUBS_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    void* report = dlsym(lib, "AT_ReportCallAbortInd");
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(dlsym(lib, "OSSEMAPHORE_ChangeName"), report);
    EXPECT_EQ(dlsym(lib, "SYS_DeRegisterForMSEvent"), report);
    EXPECT_EQ(dlsym(lib, "at_stubs_empty"), nullptr);
    dlclose(lib);
}

}  // namespace
