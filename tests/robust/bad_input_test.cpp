// The circular buffer's block calls with counts a caller can get wrong:
// zero, negative and larger than either buffer. Nothing may be read or
// written outside the caller's buffers (exactly as long as what is stored,
// so the sanitizer build catches any access past them).
#include <gtest/gtest.h>

#include <vector>

#include "buffer/cbuffer.h"

namespace {

TEST(BadInputCBuffer, NegativeZeroAndOversizedCountsStayInsideTheBuffers) {
    CBuffer* cb = BUFFER_CreateCBuffer(16, -1);
    ASSERT_NE(cb, nullptr);
    // Nothing happens for counts of 0 or below, whatever the pointer.
    for (Int16 cnt : {Int16{0}, Int16{-32768}}) {
        SCOPED_TRACE(cnt);
        EXPECT_EQ(BUFFER_PutCBufferBlock(cb, nullptr, cnt), 0);
        EXPECT_EQ(BUFFER_GetCBufferBlock(cb, nullptr, cnt), 0);
        EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, cnt), 0);
    }
    // An oversized put stores what fits and reads only what it stores; an
    // oversized get copies only what is stored.
    const std::vector<UInt8> src(16, 'x');
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 32767), 16);
    std::vector<UInt8> dst(16, 0);
    EXPECT_EQ(BUFFER_GetCBufferBlock(cb, dst.data(), 32767), 16);
    EXPECT_EQ(dst, src);
    // Flush counts below -1 discard nothing; oversized ones what is stored.
    EXPECT_EQ(BUFFER_PutCBufferBlock(cb, src.data(), 5), 5);
    EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, -2), 0);
    EXPECT_EQ(BUFFER_FlushCBufferBlock(cb, 32767), 5);
    EXPECT_EQ(BUFFER_DestroyCBuffer(cb), CBUF_OK);
}

}  // namespace
