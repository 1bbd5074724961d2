// The host's callbacks, client-ID ranges and the bounded string helpers (the empty stubs: the ABI check).
#include "stubs/other_stubs.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "log_capture.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace {

// Choice: the send-data result is handed back whatever it is (65535 too); each
// half is registered on its own and NULL brings its default back.
TEST(AtStubsCallbacks, EachHalfIsRegisteredOnItsOwnAndNullBringsItsDefaultBack) {
    const UInt8 bytes[] = {'O', 'K', '\r'};
    AT_STUBS_RegisterCallbacks([](UInt32 id, const UInt8* data, UInt32 len) -> Int32 { return id + data[len - 1]; },
                               [] { return Int32{0}; });
    EXPECT_EQ(AT_STUBS_SendDataToClient(65522, bytes, 3), 65535);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    AT_STUBS_RegisterCallbacks(nullptr, [] { return Int32{0}; });
    EXPECT_EQ(AT_STUBS_SendDataToClient(18, bytes, 1), 0);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 0);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    EXPECT_EQ(AT_STUBS_IsReadyForCommsIO(), 1);
}

// The debug line of each call is checked where the counter reaches 30.
TEST(ClientIdRange, ConsecutiveRangesAreAdjacentAndCountedInEightBits) {
    attest::LogCapture log;
    std::string seen;
    // A range of 0 reserves nothing; 256 wraps the counter back to where it was; up to 29 is fine.
    for (UInt32 range : {1u, 3u, 0u, 256u, 25u}) seen += std::to_string(SYS_GenClientIDRange(range)) + " ";
    EXPECT_EQ(seen, "1 2 5 5 5 ");
    EXPECT_TRUE(log.lines().empty()) << log.dump();  // nothing on the Android log
}

TEST(ClientIdRangeDeathTest, ReachingThirtyStopsTheProcessAfterTheDebugLine) {
    KOVA_SetDebugLogHook([](UInt32 ch, const char* text) { std::fprintf(stderr, "%u %s\n", ch, text); });
    EXPECT_DEATH(SYS_GenClientIDRange(30),
                 "269 SYS_GenClientIDRange range=30 gClientIdIndex=30 clientID=1\n"
                 "common/modem/at/stubs/other_stubs:[0-9]+: SYS_GenClientIDRange: "
                 "assertion \"gClientIdIndex < MAX_CLIENT_NUM\" failed");
}

// Each destination has expected.size() bytes, starts as `initial` (or 0xEE filler), and guard bytes follow.
TEST(StringHelpers, CutTerminateAndNeverWritePastSize) {
    const struct {
        void (*call)(char* dest, UInt32 size);
        const char* initial;
        std::string expected;
    } cases[] = {
        {[](char* d, UInt32 n) { SYS_CopyStr8(d, "abcdef", n); }, nullptr, std::string("abc\0", 4)},
        {[](char* d, UInt32 n) { SYS_CopyStr8(d, "x", n); }, nullptr, std::string("x\0\0\0", 4)},
        {[](char* d, UInt32 n) { SYS_FormatStr8(d, n, "value=%d", 123456); }, nullptr, std::string("valu\0", 5)},
        {[](char* d, UInt32 n) { SYS_FormatStr8(d, n, "%d%s", 12, "ab"); }, nullptr, std::string("12ab\0\0\0\0", 8)},
        {[](char* d, UInt32 n) { SYS_AppendStr8(d, "defgh", n); }, "abc", std::string("abcde\0", 6)},
        // Choice: with no terminator within size nothing is appended; only dest[size - 1] is set to 0.
        {[](char* d, UInt32 n) { SYS_AppendStr8(d, "xyz", n); }, "zzzzzzzz", std::string("zzzzz\0", 6)},
        {[](char* d, UInt32 n) {  // NULL pointers and size 0 change nothing
             SYS_CopyStr8(nullptr, "abc", n), SYS_CopyStr8(d, nullptr, n), SYS_CopyStr8(d, "abc", 0);
             SYS_AppendStr8(nullptr, "abc", n), SYS_AppendStr8(d, nullptr, n), SYS_AppendStr8(d, "abc", 0);
             void (*format)(char*, UInt32, const char*, ...) = SYS_FormatStr8;  // no format attribute to warn
             format(nullptr, n, "%d", 1), format(d, 0, "%d", 1), format(d, n, nullptr);
         }, nullptr, "\xEE\xEE\xEE\xEE"},
    };
    for (const auto& t : cases) {
        std::string area = std::string(t.expected.size(), '\xEE') + "guard";
        if (t.initial != nullptr) std::strncpy(area.data(), t.initial, t.expected.size());
        t.call(area.data(), static_cast<UInt32>(t.expected.size()));
        EXPECT_EQ(area, t.expected + "guard");
    }
}

}  // namespace
