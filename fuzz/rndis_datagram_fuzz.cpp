// Fuzz target: datagrams of any size, 0 to 65507 bytes, into an RNDIS UDP
// channel. The channel (device 14) is opened once on an ephemeral port of
// 127.0.0.1's any-address bind; each input is sent to it from a local socket
// and read back with RNDIS_Read into a buffer of the reader thread's size,
// 1536 bytes. The read must return min(size, 1536), the bytes must be the
// first bytes of the datagram, the rest of the buffer must be zero, and the
// bytes around the buffer must keep their canaries.
#include <android/log.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"

// The fuzz build links the shared sanitizer runtime (so that the library's
// own shared objects resolve it), and libFuzzer pulls libstdc++ in ahead of
// it. libstdc++ defines nothing that ASan intercepts, so the link order check
// is only noise here.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace {

constexpr size_t kReadSize = 1536;  // the serial manager's read length
constexpr size_t kCanary = 64;
constexpr UInt8 kCanaryByte = 0xA5;
constexpr UInt32 kDevice = 14;

int g_sender = -1;
struct sockaddr_in g_to;

[[noreturn]] void fail(const char* what, size_t size) {
    std::fprintf(stderr, "rndis_datagram: %s (datagram of %zu bytes)\n", what, size);
    std::abort();
}

void quietLog(const struct __android_logger_data*, const char*) {}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __android_log_set_logger(quietLog);
    // Ports 0: the Rx socket is bound to a port of the system's choosing.
    if (RNDIS_OpenDevice(kDevice, 0) != 1) fail("RNDIS_OpenDevice failed", 0);
    struct sockaddr_in bound;
    socklen_t len = sizeof bound;
    if (getsockname(s_rndis_channel[0].RxSd, reinterpret_cast<struct sockaddr*>(&bound), &len) != 0)
        fail("getsockname failed", 0);
    std::memset(&g_to, 0, sizeof g_to);
    g_to.sin_family = AF_INET;
    g_to.sin_port = bound.sin_port;
    g_to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    g_sender = socket(AF_INET, SOCK_DGRAM, 0);
    if (g_sender < 0) fail("sender socket failed", 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65507) return 0;  // the largest IPv4 UDP payload
    const ssize_t sent = sendto(g_sender, size == 0 ? "" : reinterpret_cast<const char*>(data), size, 0,
                                reinterpret_cast<const struct sockaddr*>(&g_to), sizeof g_to);
    if (sent != static_cast<ssize_t>(size)) fail("sendto failed", size);

    // Loopback delivers the datagram before sendto returns, so the read does
    // not wait.
    std::vector<UInt8> area(kCanary + kReadSize + kCanary, kCanaryByte);
    UInt8* buf = area.data() + kCanary;
    const UInt16 got = RNDIS_Read(kDevice, buf, static_cast<UInt16>(kReadSize));
    const size_t want = std::min(size, kReadSize);
    if (got != want) fail("wrong length", size);
    if (want != 0 && std::memcmp(buf, data, want) != 0) fail("wrong bytes", size);
    for (size_t i = want; i < kReadSize; ++i)
        if (buf[i] != 0) fail("buffer not zero after the datagram", size);
    for (size_t i = 0; i < kCanary; ++i)
        if (area[i] != kCanaryByte || area[kCanary + kReadSize + i] != kCanaryByte) fail("canary overwritten", size);
    return 0;
}
