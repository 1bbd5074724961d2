// Datagrams of 0 to 65507 bytes into UDP channel 14, read into a heap block of the reader's size (the address
// sanitizer sees any write outside it): the datagram's first min(size, 1536) bytes, the rest of the buffer zero.
#include <android/log.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"

// libFuzzer pulls libstdc++ in ahead of the sanitizer runtime; nothing there is intercepted.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace {
constexpr size_t kReadSize = 1536;
int g_sender = -1;
sockaddr_in g_to{};
void check(bool ok) { if (!ok) std::abort(); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __android_log_set_logger([](const __android_logger_data*, const char*) {});
    check(RNDIS_OpenDevice(14, 0) == 1);  // ports 0: the system picks the Rx port
    socklen_t len = sizeof g_to;
    check(getsockname(s_rndis_channel[0].RxSd, reinterpret_cast<sockaddr*>(&g_to), &len) == 0);
    g_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g_sender = socket(AF_INET, SOCK_DGRAM, 0);
    check(g_sender >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65507) return 0;  // the largest IPv4 UDP payload
    // Loopback delivers the datagram before sendto returns: the read does not wait.
    check(sendto(g_sender, size ? data : reinterpret_cast<const uint8_t*>(""), size, 0,
                 reinterpret_cast<const sockaddr*>(&g_to), sizeof g_to) == static_cast<ssize_t>(size));
    std::vector<UInt8> buf(kReadSize, 0xA5);
    const size_t want = std::min(size, kReadSize);
    check(RNDIS_Read(14, buf.data(), static_cast<UInt16>(kReadSize)) == want);
    check(std::memcmp(buf.data(), data, want) == 0);
    check(std::all_of(buf.begin() + static_cast<long>(want), buf.end(), [](UInt8 b) { return b == 0; }));
    return 0;
}
