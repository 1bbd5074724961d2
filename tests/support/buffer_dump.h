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
    detail::dumpLines().clear();
    KOVA_SetDebugLogHook(detail::dumpHook);
    BUFFER_DumpCBuffer(cbuf);
    KOVA_SetDebugLogHook(nullptr);
    const auto& l = detail::dumpLines();
    if (l.size() != 5) {
        d.error = "expected 5 dump items, got " + std::to_string(l.size());
        return d;
    }
    for (const auto& item : l) {
        if (item.first != 262) {
            d.error = "dump item on channel " + std::to_string(item.first);
            return d;
        }
    }
    char tail = 0;
    if (l[0].second != "\r\nCBuffer") {
        d.error = "first item: " + l[0].second;
    } else if (std::sscanf(l[1].second.c_str(), "\r\nwrt_idx=%d, wrt_reserved_sz=%d%c", &d.wrt_idx,
                           &d.wrt_reserved_sz, &tail) != 2) {
        d.error = "second item: " + l[1].second;
    } else if (std::sscanf(l[2].second.c_str(), "\r\nrd_idx=%d, rd_reserved_sz=%d%c", &d.rd_idx, &d.rd_reserved_sz,
                           &tail) != 2) {
        d.error = "third item: " + l[2].second;
    } else if (std::sscanf(l[3].second.c_str(), "\r\nin_use_cnt=%d, locked_sz=%d, prv_wrt_idx=%d%c", &d.in_use_cnt,
                           &d.locked_sz, &d.prv_wrt_idx, &tail) != 3) {
        d.error = "fourth item: " + l[3].second;
    } else if (std::sscanf(l[4].second.c_str(), "\r\nbuf_sz=%d, reloc_cnt/overrun_cnt=%d/%d%c", &d.buf_sz,
                           &d.reloc_cnt, &d.overrun_cnt, &tail) != 3) {
        d.error = "fifth item: " + l[4].second;
    } else {
        // sscanf takes "\r\n" and ", " as any white space: print the values
        // back and compare whole texts, so the form is checked byte for byte.
        char text[4][160];
        std::snprintf(text[0], sizeof text[0], "\r\nwrt_idx=%d, wrt_reserved_sz=%d", d.wrt_idx, d.wrt_reserved_sz);
        std::snprintf(text[1], sizeof text[1], "\r\nrd_idx=%d, rd_reserved_sz=%d", d.rd_idx, d.rd_reserved_sz);
        std::snprintf(text[2], sizeof text[2], "\r\nin_use_cnt=%d, locked_sz=%d, prv_wrt_idx=%d", d.in_use_cnt,
                      d.locked_sz, d.prv_wrt_idx);
        std::snprintf(text[3], sizeof text[3], "\r\nbuf_sz=%d, reloc_cnt/overrun_cnt=%d/%d", d.buf_sz, d.reloc_cnt,
                      d.overrun_cnt);
        d.ok = true;
        for (int i = 0; i < 4; ++i) {
            if (l[static_cast<size_t>(i) + 1].second != text[i]) {
                d.ok = false;
                d.error = "item not in the documented form: " + l[static_cast<size_t>(i) + 1].second;
            }
        }
    }
    return d;
}

}  // namespace attest
