// The serial manager's data path against the raw system calls it stands on:
// an AT round trip over UDP (RNDIS channel 14), a send on in-process channel
// 18, and a register-deregister cycle.
//
// Run with --callgrind_roundtrips=N under valgrind --tool=callgrind to get
// the instruction counts of N round trips of the library and of the raw echo
// (see callgrind.sh); the benchmarks are not run then.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "bench_common.h"
#include "drivers/rndis_drv.h"
#include "drivers/signal_wait.h"
#include "serialapi/serialapi.h"
#include "serialmgr/serialmgr.h"
#include "stubs/other_stubs.h"

namespace {

const UInt8 kCommand[] = {'A', 'T', '\r'};
const UInt8 kReply[] = {'\r', '\n', 'O', 'K', '\r', '\n'};
constexpr UInt32 kFakeDevice = 6;

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { SERIALMGR_Init(); });
}

// ---- UDP -----------------------------------------------------------------

int udpSocket(in_addr_t addr, uint16_t port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(addr);
    sa.sin_port = htons(port);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        std::perror("udp socket");
        std::abort();
    }
    // A lost reply must not hang the run: the receive gives up after 2 s.
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    return fd;
}

uint16_t portOf(int fd) {
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

// A port that was free a moment ago, for a socket that binds by number.
uint16_t freePort() {
    const int fd = udpSocket(INADDR_ANY, 0);
    const uint16_t port = portOf(fd);
    close(fd);
    return port;
}

// The host's side of a round trip: a socket bound on loopback at the reply
// port; it sends the command to the server's port and waits for the reply.
struct Peer {
    int fd = udpSocket(INADDR_LOOPBACK, 0);
    uint16_t port = portOf(fd);
    ~Peer() { close(fd); }
    bool roundTrip(uint16_t serverPort) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(serverPort);
        if (sendto(fd, kCommand, sizeof kCommand, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) !=
            static_cast<ssize_t>(sizeof kCommand))
            return false;
        UInt8 reply[64];
        return recv(fd, reply, sizeof reply, 0) == static_cast<ssize_t>(sizeof kReply);
    }
};

// Baseline: what the RNDIS channel does with the system calls alone. One
// socket bound to the Rx port on all interfaces, one unbound socket that
// answers the latest sender at the Tx port; a thread of its own in
// recvfrom/sendto.
struct RawEcho {
    int rx;
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t rxPort;
    uint16_t txPort;
    std::thread thread;
    explicit RawEcho(uint16_t replyPort) : rx(udpSocket(INADDR_ANY, 0)), rxPort(portOf(rx)), txPort(replyPort) {
        timeval none{0, 0};
        setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &none, sizeof none);
        thread = std::thread([this] { run(); });
    }
    ~RawEcho() {
        const int fd = udpSocket(INADDR_LOOPBACK, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(rxPort);
        sendto(fd, "quit", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        thread.join();
        close(fd);
        close(rx);
        close(tx);
    }
    void run() {
        UInt8 buf[1536];
        for (;;) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n == 4 && std::memcmp(buf, "quit", 4) == 0) return;
            if (n <= 0) continue;
            from.sin_port = htons(txPort);
            sendto(tx, kReply, sizeof kReply, 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }
};

// The AT client of the round trip: answers every block with OK through the
// serial manager, on the reader thread.
void replyOk(SerialMgrClientInfo* client, UInt32, UInt8*, UInt32) {
    SERIALMGR_SendData(client, kReply, sizeof kReply, 1);
}
void ignoreEvent(SerialMgrClientInfo*, UInt32, UInt32, UInt32) {}

SerialMgrClientParams paramsFor(UInt32 devID, SerialMgrDataCb dataCb) {
    SerialMgrClientParams p{};
    p.dataCb = dataCb;
    p.eventCb = ignoreEvent;
    p.clientID = 1;
    p.devID = devID;
    return p;
}

// Channel 14 set up to answer peer: Rx on a free port, Tx at the peer's port.
struct UdpChannel {
    uint16_t rxPort = freePort();
    SerialMgrClientInfo* client = nullptr;
    explicit UdpChannel(uint16_t replyPort) {
        initOnce();
        RndisConfig config;
        for (auto& e : config.entry) e = RndisConfigEntry{-1, -1};
        config.entry[0] = RndisConfigEntry{replyPort, rxPort};
        RNDIS_SetRndisConfig(&config);
        const SerialMgrClientParams p = paramsFor(SERIAL_DEVICE_RNDIS, replyOk);
        client = SERIALMGR_RegisterClient(&p);
    }
    ~UdpChannel() {
        if (client != nullptr) SERIALMGR_DeRegisterClient(client);
    }
};

void BM_UdpRoundTrip(benchmark::State& state) {
    const auto mode = static_cast<atbench::LogMode>(state.range(0));
    atbench::setLogMode(mode);
    Peer peer;
    UdpChannel channel(peer.port);
    if (channel.client == nullptr) {
        state.SkipWithError("registration on channel 14 failed");
        return;
    }
    for (auto _ : state) {
        if (!peer.roundTrip(channel.rxPort)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetLabel(atbench::logModeLabel(mode));
}

void BM_UdpRawEcho(benchmark::State& state) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    Peer peer;
    RawEcho echo(peer.port);
    for (auto _ : state) {
        if (!peer.roundTrip(echo.rxPort)) {
            state.SkipWithError("no reply");
            break;
        }
    }
}

// ---- In-process channel ----------------------------------------------------

std::atomic<UInt32> g_sink{0};

Int32 hostSend(UInt32 devId, const UInt8* data, UInt32 len) {
    g_sink.store(devId + data[0], std::memory_order_relaxed);
    return static_cast<Int32>(len);
}

void dropData(SerialMgrClientInfo*, UInt32, UInt8*, UInt32) {}

void BM_InProcessSend(benchmark::State& state) {
    const auto mode = static_cast<atbench::LogMode>(state.range(0));
    atbench::setLogMode(mode);
    initOnce();
    AT_STUBS_RegisterCallbacks(hostSend, nullptr);
    const SerialMgrClientParams p = paramsFor(SERIAL_DEVICE_SOCKET, dropData);
    SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
    for (auto _ : state) {
        if (SERIALMGR_SendData(client, kReply, sizeof kReply, 1) != static_cast<Int32>(sizeof kReply)) {
            state.SkipWithError("short send");
            break;
        }
    }
    SERIALMGR_DeRegisterClient(client);
    AT_STUBS_RegisterCallbacks(nullptr, nullptr);
    state.SetLabel(atbench::logModeLabel(mode));
}

// Baseline: the same callback called directly, through a pointer the
// compiler cannot see through.
void BM_DirectCallback(benchmark::State& state) {
    AtStubsSendDataToClientCb volatile callback = hostSend;
    for (auto _ : state) {
        benchmark::DoNotOptimize(callback(SERIAL_DEVICE_SOCKET, kReply, sizeof kReply));
    }
}

// ---- Register and deregister ---------------------------------------------

// A minimal driver for device 6: its read waits (the way the real drivers
// do, so that SIGUSR2 ends the wait) until the device is closed.
int g_fakeWake = -1;
std::atomic<bool> g_fakeOpen{false};

Int32 fakeOpen(SerialDeviceId, UInt32) {
    uint64_t drained;
    while (read(g_fakeWake, &drained, sizeof drained) > 0) {
    }
    g_fakeOpen = true;
    return 1;
}
Int32 fakeClose(SerialDeviceId) {
    g_fakeOpen = false;
    const uint64_t one = 1;
    (void)!write(g_fakeWake, &one, sizeof one);
    return 1;
}
UInt16 fakeRead(SerialDeviceId, UInt8*, UInt16) {
    while (g_fakeOpen) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(g_fakeWake, &set);
        if (at_pselect_read(g_fakeWake + 1, &set, -1) != 0) break;
    }
    errno = EAGAIN;
    return 0;
}
UInt16 fakeWrite(SerialDeviceId, const UInt8*, UInt16 len) { return len; }

void installFakeDriver() {
    static std::once_flag once;
    std::call_once(once, [] {
        g_fakeWake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        Serial_ConfigureDeviceEx(kFakeDevice, fakeOpen, fakeClose, fakeRead, fakeWrite, nullptr, nullptr, nullptr,
                                 nullptr, 1, 0, 0);
    });
}

void BM_RegisterCycle(benchmark::State& state) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    initOnce();
    installFakeDriver();
    const auto devID = static_cast<UInt32>(state.range(0));
    const SerialMgrClientParams p = paramsFor(devID, dropData);
    for (auto _ : state) {
        SerialMgrClientInfo* client = SERIALMGR_RegisterClient(&p);
        if (client == nullptr) {
            state.SkipWithError("registration failed");
            break;
        }
        SERIALMGR_DeRegisterClient(client);
    }
    state.SetLabel(devID == kFakeDevice ? "fake driver, device 6" : "in-process channel 18");
}

void* emptyThread(void*) { return nullptr; }

void BM_ThreadCycle(benchmark::State& state) {
    for (auto _ : state) {
        pthread_t t;
        pthread_create(&t, nullptr, emptyThread, nullptr);
        pthread_join(t, nullptr);
    }
}

// ---- Instruction counts ----------------------------------------------------

int callgrindRoundTrips(long n) {
    atbench::setLogMode(atbench::LogMode::Filtered);
    {
        Peer peer;
        UdpChannel channel(peer.port);
        if (!peer.roundTrip(channel.rxPort)) return 1;  // warm-up, not counted
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i)
            if (!peer.roundTrip(channel.rxPort)) return 1;
        CALLGRIND_DUMP_STATS_AT("udp_roundtrip library");
    }
    {
        Peer peer;
        RawEcho echo(peer.port);
        if (!peer.roundTrip(echo.rxPort)) return 1;
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i)
            if (!peer.roundTrip(echo.rxPort)) return 1;
        CALLGRIND_DUMP_STATS_AT("udp_roundtrip baseline");
    }
    return 0;
}

}  // namespace

BENCHMARK(BM_UdpRoundTrip)->Name("udp_roundtrip")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UdpRawEcho)->Name("udp_raw_echo")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_InProcessSend)->Name("inproc_send")->Arg(0)->Arg(1);
BENCHMARK(BM_DirectCallback)->Name("direct_callback");
BENCHMARK(BM_RegisterCycle)->Name("register_cycle")->Arg(SERIAL_DEVICE_SOCKET)->Arg(kFakeDevice)
    ->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ThreadCycle)->Name("pthread_cycle")->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    return atbench::runBenchmarks(argc, argv, "--callgrind_roundtrips=", callgrindRoundTrips);
}
