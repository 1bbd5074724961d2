// Fuzz target: datagrams of any size into an RNDIS UDP channel (device 14,
// on a port of the system's choosing), read back into a buffer of the reader
// thread's size (1536 bytes) between canaries. The read must return the
// datagram's first bytes, zeros after them, and leave the canaries alone.
#include <android/log.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/rndis_drv_internal.h"

// libFuzzer pulls libstdc++ in ahead of the shared sanitizer runtime, which
// the link order check reports for nothing that ASan intercepts.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace {
constexpr size_t kReadSize = 1536, kCanary = 64;
int g_sender = -1;
sockaddr_in g_to{};
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __android_log_set_logger([](const __android_logger_data*, const char*) {});
    socklen_t len = sizeof g_to;
    g_sender = socket(AF_INET, SOCK_DGRAM, 0);
    if (RNDIS_OpenDevice(14, 0) != 1 || g_sender < 0 ||
        getsockname(s_rndis_channel[0].RxSd, reinterpret_cast<sockaddr*>(&g_to), &len) != 0) {
        std::abort();
    }
    g_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65507) return 0;  // the largest IPv4 UDP payload
    if (sendto(g_sender, data, size, 0, reinterpret_cast<const sockaddr*>(&g_to), sizeof g_to) != ssize_t(size)) std::abort();
    // Loopback delivers the datagram before sendto returns: the read does not wait.
    std::vector<UInt8> area(kCanary + kReadSize + kCanary, 0xA5), want(area);
    const size_t n = std::min(size, kReadSize);
    std::fill_n(want.begin() + kCanary, kReadSize, 0);
    std::copy_n(data, n, want.begin() + kCanary);
    if (RNDIS_Read(14, area.data() + kCanary, UInt16(kReadSize)) != n || area != want) std::abort();
    return 0;
}
