// Reads a CBuffer's state back through its diagnostic dump on debug channel
// 262, so tests check what the buffer reports, not only what its fields hold.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "buffer/cbuffer.h"
#include "platform/kovacutils/kovacutils_host.h"

namespace attest {

struct CBufferDump {
    bool ok = false;  // five items on channel 262 in the documented form
    std::string error;
    int wrt_idx = 0, wrt_reserved_sz = 0, rd_idx = 0, rd_reserved_sz = 0, in_use_cnt = 0, locked_sz = 0,
        prv_wrt_idx = 0, buf_sz = 0, reloc_cnt = 0, overrun_cnt = 0;
};

namespace detail {
inline std::vector<std::pair<UInt32, std::string>>& dumpLines() {
    static std::vector<std::pair<UInt32, std::string>> lines;
    return lines;
}
inline void dumpHook(UInt32 channel, const char* text) { dumpLines().emplace_back(channel, text); }
}  // namespace detail

// Runs BUFFER_DumpCBuffer with a hook of its own on the debug log (replacing
// any other hook until it returns) and parses the five items. Single-threaded
// use only.
inline CBufferDump dumpCBuffer(CBuffer* cbuf) {
    CBufferDump d;
    auto& l = detail::dumpLines();
    l.clear();
    KOVA_SetDebugLogHook(detail::dumpHook);
    BUFFER_DumpCBuffer(cbuf);
    KOVA_SetDebugLogHook(nullptr);
    if (l.size() != 5) {
        d.error = "expected 5 dump items, got " + std::to_string(l.size());
        return d;
    }
    std::sscanf(l[1].second.c_str(), "\r\nwrt_idx=%d, wrt_reserved_sz=%d", &d.wrt_idx, &d.wrt_reserved_sz);
    std::sscanf(l[2].second.c_str(), "\r\nrd_idx=%d, rd_reserved_sz=%d", &d.rd_idx, &d.rd_reserved_sz);
    std::sscanf(l[3].second.c_str(), "\r\nin_use_cnt=%d, locked_sz=%d, prv_wrt_idx=%d", &d.in_use_cnt, &d.locked_sz,
                &d.prv_wrt_idx);
    std::sscanf(l[4].second.c_str(), "\r\nbuf_sz=%d, reloc_cnt/overrun_cnt=%d/%d", &d.buf_sz, &d.reloc_cnt,
                &d.overrun_cnt);
    // sscanf takes "\r\n" and ", " as any white space and ignores what follows
    // the last value: the values are printed back and the whole texts
    // compared, so the form is checked byte for byte.
    char text[5][160] = {"\r\nCBuffer"};
    std::snprintf(text[1], sizeof text[1], "\r\nwrt_idx=%d, wrt_reserved_sz=%d", d.wrt_idx, d.wrt_reserved_sz);
    std::snprintf(text[2], sizeof text[2], "\r\nrd_idx=%d, rd_reserved_sz=%d", d.rd_idx, d.rd_reserved_sz);
    std::snprintf(text[3], sizeof text[3], "\r\nin_use_cnt=%d, locked_sz=%d, prv_wrt_idx=%d", d.in_use_cnt,
                  d.locked_sz, d.prv_wrt_idx);
    std::snprintf(text[4], sizeof text[4], "\r\nbuf_sz=%d, reloc_cnt/overrun_cnt=%d/%d", d.buf_sz, d.reloc_cnt,
                  d.overrun_cnt);
    for (size_t i = 0; i < 5; ++i) {
        if (l[i].first != 262 || l[i].second != text[i]) {
            d.error = "item " + std::to_string(i + 1) + " on channel " + std::to_string(l[i].first) +
                      " not in the documented form: " + l[i].second;
            return d;
        }
    }
    d.ok = true;
    return d;
}

}  // namespace attest
