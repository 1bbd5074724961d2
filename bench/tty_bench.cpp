// The serial manager on the USB gadget tty against the raw system calls: an
// AT round trip through a pseudo-terminal that stands in for /dev/ttyGS0,
// and a pause and resume of reception (the STOP/OK handshake on the control
// pipes).
//
// The pty sits at /dev/ttyGS0 inside a private mount namespace that main()
// makes before any thread exists (unshare refuses a process with threads).
// That takes root, as in CI; without it every case here reports an error.
//
// Run with --callgrind_roundtrips=N under valgrind --tool=callgrind for the
// instruction counts of N round trips (see callgrind.sh).
#include <benchmark/benchmark.h>

#include <poll.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "bench_common.h"
#include "serialapi/serialapi.h"
#include "serialmgr/serialmgr.h"
#include "tty_harness.h"

namespace {

const UInt8 kCommand[] = {'A', 'T', '\r'};
const UInt8 kReply[] = {'\r', '\n', 'O', 'K', '\r', '\n'};

attest::TtyHarness* g_tty = nullptr;
std::string g_ttyError;
std::atomic<pid_t> g_readerTid{0};

void initOnce() {
    static std::once_flag once;
    std::call_once(once, [] { SERIALMGR_Init(); });
}

// Reads exactly n bytes from fd, giving up after 2 s without progress.
bool readAll(int fd, UInt8* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return false;
        const ssize_t r = read(fd, buf + got, n - got);
        if (r <= 0) return false;
        got += static_cast<size_t>(r);
    }
    return true;
}

// The host's side: the pty master, where the USB host would be.
bool roundTrip(int master) {
    if (write(master, kCommand, sizeof kCommand) != static_cast<ssize_t>(sizeof kCommand)) return false;
    UInt8 reply[sizeof kReply];
    return readAll(master, reply, sizeof reply) && std::memcmp(reply, kReply, sizeof kReply) == 0;
}

void replyOk(SerialMgrClientInfo* client, UInt32, UInt8*, UInt32) {
    // The reader's thread ID, for the pause case; asked once, so that the
    // round trip measures no system call of the benchmark's own.
    if (g_readerTid.load(std::memory_order_relaxed) == 0)
        g_readerTid.store(static_cast<pid_t>(syscall(SYS_gettid)), std::memory_order_relaxed);
    SERIALMGR_SendData(client, kReply, sizeof kReply, 1);
}
void ignoreEvent(SerialMgrClientInfo*, UInt32, UInt32, UInt32) {}

// A client of the USB device that answers OK, for the life of one run.
struct UsbClient {
    SerialMgrClientInfo* client = nullptr;
    UsbClient() {
        initOnce();
        g_readerTid.store(0);  // each registration starts a reader of its own
        SerialMgrClientParams p{};
        p.dataCb = replyOk;
        p.eventCb = ignoreEvent;
        p.clientID = 1;
        p.devID = SERIAL_DEVICE_USB;
        client = SERIALMGR_RegisterClient(&p);
    }
    ~UsbClient() {
        if (client != nullptr) SERIALMGR_DeRegisterClient(client);
    }
};

bool haveTty(benchmark::State& state) {
    if (g_tty != nullptr) return true;
    state.SkipWithError(("no pty at /dev/ttyGS0: " + g_ttyError).c_str());
    return false;
}

void BM_UsbRoundTrip(benchmark::State& state) {
    if (!haveTty(state)) return;
    const auto mode = static_cast<atbench::LogMode>(state.range(0));
    atbench::setLogMode(mode);
    UsbClient usb;
    if (usb.client == nullptr) {
        state.SkipWithError("registration on the USB device failed");
        return;
    }
    const int master = g_tty->master(attest::TtyHarness::kUsb);
    for (auto _ : state) {
        if (!roundTrip(master)) {
            state.SkipWithError("no reply");
            break;
        }
    }
    state.SetLabel(atbench::logModeLabel(mode));
}

// Baseline: a thread of its own in select/read/write on the same pty's slave,
// in raw mode as the driver leaves it.
struct RawTtyEcho {
    int tty;
    int quit[2];
    std::thread thread;
    explicit RawTtyEcho(int slave) : tty(slave) {
        termios t;
        tcgetattr(tty, &t);
        cfmakeraw(&t);
        tcsetattr(tty, TCSANOW, &t);
        tcflush(tty, TCIOFLUSH);
        if (pipe(quit) != 0) std::abort();
        thread = std::thread([this] { run(); });
    }
    ~RawTtyEcho() {
        (void)!write(quit[1], "q", 1);
        thread.join();
        close(quit[0]);
        close(quit[1]);
    }
    void run() {
        UInt8 buf[1536];
        for (;;) {
            fd_set set;
            FD_ZERO(&set);
            FD_SET(tty, &set);
            FD_SET(quit[0], &set);
            if (select(std::max(tty, quit[0]) + 1, &set, nullptr, nullptr, nullptr) <= 0) continue;
            if (FD_ISSET(quit[0], &set)) return;
            if (read(tty, buf, sizeof buf) > 0) (void)!write(tty, kReply, sizeof kReply);
        }
    }
};

void BM_UsbRawEcho(benchmark::State& state) {
    if (!haveTty(state)) return;
    atbench::setLogMode(atbench::LogMode::Filtered);
    RawTtyEcho echo(g_tty->slave(attest::TtyHarness::kUsb));
    const int master = g_tty->master(attest::TtyHarness::kUsb);
    for (auto _ : state) {
        if (!roundTrip(master)) {
            state.SkipWithError("no reply");
            break;
        }
    }
}

// Pause then resume with the reader waiting in its select. Only the two
// calls are timed; between cycles the run waits, untimed, until the reader
// has reopened the tty and waits in select again, so that every pause meets
// the same state.
void BM_UsbPauseResume(benchmark::State& state) {
    if (!haveTty(state)) return;
    atbench::setLogMode(atbench::LogMode::Filtered);
    UsbClient usb;
    const int master = g_tty->master(attest::TtyHarness::kUsb);
    if (usb.client == nullptr || !roundTrip(master)) {
        state.SkipWithError("no USB client");
        return;
    }
    const pid_t reader = g_readerTid.load();
    for (auto _ : state) {
        if (!attest::waitInPselect(reader, std::chrono::seconds(5))) {
            state.SkipWithError("reader not waiting");
            break;
        }
        const auto start = std::chrono::steady_clock::now();
        SERIALMGR_SetFlowControl(usb.client, 1);
        SERIALMGR_SetFlowControl(usb.client, 0);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    }
    // The reader reads on after the last resume.
    if (!roundTrip(master)) state.SkipWithError("no reply after the last resume");
}

// Baseline: two round trips through a pair of pipes between two threads, the
// handshake's floor (STOP and OK, then the release of the parked reader).
void BM_PipePingPong(benchmark::State& state) {
    int ping[2], pong[2];
    if (pipe(ping) != 0 || pipe(pong) != 0) std::abort();
    std::thread peer([&] {
        char c;
        while (read(ping[0], &c, 1) == 1 && c != 'q') (void)!write(pong[1], &c, 1);
    });
    char c = 'x';
    for (auto _ : state) {
        for (int i = 0; i < 2; ++i) {
            (void)!write(ping[1], "s", 1);
            (void)!read(pong[0], &c, 1);
        }
    }
    (void)!write(ping[1], "q", 1);
    peer.join();
    for (int fd : {ping[0], ping[1], pong[0], pong[1]}) close(fd);
}

int callgrindRoundTrips(long n) {
    if (g_tty == nullptr) return 1;
    atbench::setLogMode(atbench::LogMode::Filtered);
    const int master = g_tty->master(attest::TtyHarness::kUsb);
    {
        UsbClient usb;
        if (usb.client == nullptr || !roundTrip(master)) return 1;
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i)
            if (!roundTrip(master)) return 1;
        CALLGRIND_DUMP_STATS_AT("usb_roundtrip library");
    }
    {
        RawTtyEcho echo(g_tty->slave(attest::TtyHarness::kUsb));
        if (!roundTrip(master)) return 1;
        CALLGRIND_ZERO_STATS;
        for (long i = 0; i < n; ++i)
            if (!roundTrip(master)) return 1;
        CALLGRIND_DUMP_STATS_AT("usb_roundtrip baseline");
    }
    return 0;
}

}  // namespace

BENCHMARK(BM_UsbRoundTrip)->Name("usb_roundtrip")->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UsbRawEcho)->Name("usb_raw_echo")->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_UsbPauseResume)->Name("usb_pause_resume")->UseManualTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_PipePingPong)->Name("pipe_2_roundtrips")->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    // The namespace first: unshare fails once the process has a second thread.
    static attest::TtyHarness tty;
    if (tty.start(&g_ttyError)) {
        g_tty = &tty;
    } else {
        std::fprintf(stderr, "at_bench_tty: no pty at /dev/ttyGS0 (%s)\n", g_ttyError.c_str());
    }
    return atbench::runBenchmarks(argc, argv, "--callgrind_roundtrips=", callgrindRoundTrips);
}
