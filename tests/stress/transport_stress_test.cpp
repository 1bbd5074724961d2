// Stress on each transport: register and deregister at random moments while
// the far end sends, up to five senders (blocking and non-blocking) reply,
// the client may also reply from inside dataCb, flow control is toggled under
// traffic (a deregistration may come while paused), and a second client
// replaces the first. Every call runs under a 5-second watchdog. Incoming
// bytes are counted end to end: the far end sends numbered 8-byte records,
// and the clients must see them once each, in order, with none missing except
// those the documented behaviour may drop:
// - records still undelivered when a pause starts, and records sent while the
//   device is paused: the reader does not read them, and the refresh that
//   ends the pause closes and reopens the device, which throws away whatever
//   the old descriptor still held (a UDP socket's queue);
// - records sent after the pause ends until the reopened device has delivered
//   a first record (the close-and-reopen window);
// - records still in flight when a deregistration starts at a random moment
//   (sent, not yet delivered): the device is closed under them.
// On the ttys (a UART and the USB gadget tty, pseudo-terminals at the device
// paths in a private mount namespace) nothing is lost at a pause: the pty
// keeps its input across the driver's close and reopen (the harness holds a
// slave descriptor, and the saved settings are raw already), and a block may
// end inside a record, whose rest follows in the next block. What a
// deregistration leaves unread in the pty is flushed before the next cycle.
// On the fake driver some reads bring nothing (0 with EAGAIN, 1537), and in
// some cycles its close does not wake the reader, which then ends only
// through SIGUSR2, as on a tty.
// At the end the process has its starting threads, descriptors, heap blocks,
// tasks and semaphores.
//
// AT_STRESS_SECONDS (default 3) is the time per transport, AT_STRESS_CYCLES
// (default 0: no minimum) a minimum number of cycles. `make soak` runs the
// long form and keeps the figures this prints.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>

#include "../serialmgr/fixture.h"
#include "drivers/rndis_drv.h"
#include "stubs/other_stubs.h"
#include "tty_harness.h"

namespace {

using Clock = std::chrono::steady_clock;

long long nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// Any watched call that takes more than 5 s ends the run, after saying what
// else was in flight and for how long (which tells a call that waits for
// another from one that is stuck) and what the library logged last.
class Watchdog {
public:
    static constexpr int kSlots = 16;
    explicit Watchdog(std::function<std::string()> lastWords) : lastWords_(std::move(lastWords)) {
        for (auto& since : since_) since = LLONG_MAX;
        thread_ = std::thread([this] { run(); });
    }
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    struct Call {
        Call(Watchdog& w, const char* what) : w_(w) {
            for (const char* none = nullptr; slot_ < kSlots; none = nullptr, ++slot_) {
                if (w_.what_[slot_].compare_exchange_strong(none, what)) break;
            }
            if (slot_ < kSlots) w_.since_[slot_] = nowMs();
        }
        // The start goes before the name, so that a slot taken again never
        // shows its new name with the old start.
        ~Call() {
            if (slot_ >= kSlots) return;
            w_.since_[slot_] = LLONG_MAX;
            w_.what_[slot_] = nullptr;
        }
        Watchdog& w_;
        int slot_ = 0;
    };

private:
    void run() {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the watchdog's own tick
            const long long now = nowMs();
            bool late = false;
            for (int i = 0; i < kSlots; ++i) late |= what_[i].load() != nullptr && now - since_[i].load() > 5000;
            if (!late) continue;
            for (int i = 0; i < kSlots; ++i) {
                if (const char* what = what_[i].load()) std::fprintf(stderr, "watchdog: %s in flight for %lld ms\n", what, now - since_[i].load());
            }
            // The last words come from a thread of their own, given 2 seconds:
            // the stuck thread may hold a lock they need (the log capture's),
            // and the abort must come all the same.
            auto done = std::make_shared<std::atomic<bool>>(false);
            std::thread([words = lastWords_, done] {
                std::fprintf(stderr, "%s", words().c_str());
                done->store(true);
            }).detach();
            if (!attest::waitUntil([&] { return done->load(); }, std::chrono::seconds(2))) {
                std::fprintf(stderr, "watchdog: no log lines (the log is held by a stuck thread)\n");
            }
            std::fprintf(stderr, "watchdog: a call has taken more than 5 seconds\n");
            std::abort();
        }
    }
    std::atomic<const char*> what_[kSlots] = {};
    std::atomic<long long> since_[kSlots] = {};
    std::atomic<bool> stop_{false};
    std::function<std::string()> lastWords_;
    std::thread thread_;
};

// ---- numbered records from the far end, checked at the clients ----

constexpr size_t kRecord = 8;
constexpr UInt32 kCheck = 2654435761u;

struct Incoming {
    std::mutex lock;
    UInt32 nextSeq = 1;        // far end: next record number
    std::set<UInt32> pending;  // sent, must arrive, not yet seen
    std::set<UInt32> droppable;
    UInt32 lastSeen = 0;
    long delivered = 0, dropped = 0, bytesIn = 0;
    std::string error;
    std::vector<UInt8> partial;  // a block may end inside a record

    void fail(const std::string& what) { error = error.empty() ? what : error; }
    void seen(const UInt8* data, UInt32 len) {
        std::lock_guard<std::mutex> g(lock);
        bytesIn += len;
        partial.insert(partial.end(), data, data + len);
        size_t off = 0;
        for (; off + kRecord <= partial.size(); off += kRecord) {
            UInt32 seq, check;
            std::memcpy(&seq, &partial[off], 4);
            std::memcpy(&check, &partial[off + 4], 4);
            if (check != seq * kCheck) {
                fail("corrupt record after " + std::to_string(lastSeen));
                continue;
            }
            if (seq <= lastSeen) {
                fail("record " + std::to_string(seq) + " after " + std::to_string(lastSeen) + " (duplicate or reordered)");
                continue;
            }
            lastSeen = seq;
            ++delivered;
            if (pending.erase(seq) == 0 && droppable.erase(seq) == 0) fail("record " + std::to_string(seq) + " was never sent");
            // Everything older that is still outstanding is now lost for good.
            for (auto it = pending.begin(); it != pending.end() && *it < seq; it = pending.erase(it)) {
                fail("record " + std::to_string(*it) + " lost");
            }
            for (auto it = droppable.begin(); it != droppable.end() && *it < seq; it = droppable.erase(it)) ++dropped;
        }
        partial.erase(partial.begin(), partial.begin() + static_cast<long>(off));
    }
    // A device closed under the stream: a record cut in half is gone, and
    // whatever is outstanding may be lost.
    void inFlightMayDrop() {
        std::lock_guard<std::mutex> g(lock);
        droppable.insert(pending.begin(), pending.end());
        pending.clear();
        partial.clear();
    }
    template <typename F>
    auto read(F f) {
        std::lock_guard<std::mutex> g(lock);
        return f();
    }
};
Incoming* g_in = nullptr;

// ---- outgoing: each send carries its sender and a number ----

struct Outgoing {
    std::mutex lock;
    std::map<UInt32, UInt32> lastSeq;  // by sender (instance, index)
    long bytesOut = 0;
    std::string error;
    void seen(const UInt8* data, UInt32 len) {
        if (len < 8) return;  // a reply from dataCb
        std::lock_guard<std::mutex> g(lock);
        bytesOut += len;
        UInt32 sender, seq;
        std::memcpy(&sender, data, 4);
        std::memcpy(&seq, data + 4, 4);
        if (seq <= lastSeq[sender]) {
            if (error.empty()) error = "send out of order: sender " + std::to_string(sender) + " seq " + std::to_string(seq);
            return;
        }
        lastSeq[sender] = seq;
    }
};
Outgoing* g_out = nullptr;

Int32 hostSend(UInt32, const UInt8* data, UInt32 len) {
    if (g_out != nullptr) g_out->seen(data, len);
    return static_cast<Int32>(len);
}

std::atomic<bool> g_replyFromReader{false};
void clientData(SerialMgrClientInfo* client, UInt32, UInt8* data, UInt32 len) {
    if (g_in != nullptr) g_in->seen(data, len);
    static const UInt8 ok[] = "\r\nOK\r\n";
    if (g_replyFromReader) SERIALMGR_SendData(client, ok, 6, 1);
}
std::atomic<int> g_readErrors{0};
void clientEvent(SerialMgrClientInfo*, UInt32, UInt32 event, UInt32) {
    if (event == SERIALMGR_EVENT_READ_ERROR) ++g_readErrors;
}

// RcvbufErrors of /proc/net/snmp: UDP datagrams the kernel dropped because a
// socket's queue was full (machine-wide). Each protocol has a line of names
// and a line of values.
long udpReceiveBufferErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string names, values, name, value;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("Udp:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        while (n >> name && v >> value) {
            if (name == "RcvbufErrors") return std::atol(value.c_str());
        }
    }
    return -1;
}

// ---- transports ----

enum class Kind { Fake, Udp, InProcess, Uart, Usb };
const char* const kKindNames[] = {"fake driver", "UDP", "in-process", "UART tty", "USB tty"};

struct Transport {
    Kind kind;
    UInt32 dev;
    int udpOut = -1;
    struct sockaddr_in udpTo = {};
    int master = -1;  // tty: the far end of the pty
    int slave = -1;   // tty: the harness's own slave descriptor
    unsigned feeds = 0;

    bool incoming() const { return kind != Kind::InProcess; }
    bool tty() const { return kind == Kind::Uart || kind == Kind::Usb; }
    // Sends one block of whole records to the device's far end.
    void feed(const std::vector<UInt8>& block) {
        if (kind == Kind::Fake) {
            if (++feeds % 7 == 0) fake::pushResult(dev, 0, EAGAIN);
            if (feeds % 7 == 3) fake::pushResult(dev, 1537, 0);
            fake::pushBytes(dev, block);
        } else if (kind == Kind::Udp) {
            // Loopback datagrams to a closed port are refused; that is a
            // record sent while the device was closed, counted as droppable.
            (void)sendto(udpOut, block.data(), block.size(), MSG_DONTWAIT,
                         reinterpret_cast<const struct sockaddr*>(&udpTo), sizeof udpTo);
        } else if (tty()) {
            // Whole blocks: a record cut here would shift every later one.
            // The far end keeps at most 256 records (2 KB) in flight, and a
            // block is at most 1200 bytes: together less than the 4 KB a
            // pty takes in unread, so this write does not wait for the
            // reader, not even during a pause.
            for (size_t done = 0; done < block.size();) {
                const ssize_t n = write(master, block.data() + done, block.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        }
    }
};

std::atomic<UInt32> g_senderInstances{0};

class Senders {
public:
    Senders(Watchdog& wd, SerialMgrClientInfo* client, int count, unsigned seed, std::atomic<long>& calls)
        : instance_(++g_senderInstances) {
        for (int i = 0; i < count; ++i) {
            threads_.emplace_back([this, &wd, client, seed, i, &calls] {
                std::mt19937 rng(seed + static_cast<unsigned>(i));
                std::vector<UInt8> msg(8 + rng() % 200);
                const UInt32 sender = instance_ * 8 + static_cast<UInt32>(i);
                std::memcpy(&msg[0], &sender, 4);
                for (UInt32 seq = 1; !stop_; std::this_thread::yield()) {
                    std::memcpy(&msg[4], &seq, 4);
                    Int32 sent;
                    {
                        Watchdog::Call c(wd, "SERIALMGR_SendData");
                        sent = SERIALMGR_SendData(client, msg.data(), static_cast<UInt32>(msg.size()), rng() % 2);
                    }
                    ++calls;
                    if (sent > 0) ++seq;  // numbers stay unique per sender
                    // 65535 is a failed write (a UDP channel before its first
                    // datagram); anything else above the length is wrong.
                    if (sent > static_cast<Int32>(msg.size()) && sent != 0xFFFF) bad_ = true;
                }
            });
        }
    }
    ~Senders() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& t : threads_) if (t.joinable()) t.join();
    }
    bool bad() const { return bad_; }

private:
    const UInt32 instance_;
    std::atomic<bool> stop_{false}, bad_{false};
    std::vector<std::thread> threads_;
};

class TransportStress : public SerialMgrTest {
protected:
    void runStress(Transport& t) {
        Watchdog wd([this] { return logTail(); });
        Incoming in;
        Outgoing out;
        g_in = &in;
        g_out = &out;
        AT_STUBS_RegisterCallbacks(hostSend, nullptr);
        const attest::Resources before = attest::snapshot();
        const long rcvbufErrors0 = udpReceiveBufferErrors();
        const unsigned seed = std::random_device{}();
        std::printf("stress seed %u\n", seed);
        std::mt19937 rng(seed);
        long cycles = 0, replacements = 0, pauses = 0, abrupt = 0;
        std::atomic<long> calls{0};

        // Far end: a feeder that sends blocks of records whenever allowed.
        std::mutex feedLock;  // held while a block is sent and its records noted
        std::atomic<bool> feeding{false}, feederStop{false}, droppableMode{false};
        std::thread feeder([&] {
            std::mt19937 r(seed ^ 0x5eed);
            while (!feederStop) {
                if (!t.incoming() || !feeding) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));  // idle far end
                    continue;
                }
                // A UDP socket's queue holds only so many datagrams; beyond it
                // the kernel drops them, which is no fault of the library. The
                // far end waits while too many records that must arrive are in
                // flight; records that may be dropped (a paused device) may
                // never arrive, so they only slow it down.
                const size_t cap = t.kind == Kind::Udp ? 48u : t.tty() ? 256u : 2000u;
                const bool tooMany = in.read([&] { return in.pending.size() > cap; });
                if (tooMany || droppableMode) std::this_thread::sleep_for(std::chrono::microseconds(200));
                if (tooMany) continue;
                std::lock_guard<std::mutex> g(feedLock);
                if (!feeding) continue;
                const size_t n = 1 + r() % 150;  // up to 1200 bytes in one block
                std::vector<UInt8> block(n * kRecord);
                in.read([&] {
                    for (size_t k = 0; k < n; ++k) {
                        const UInt32 seq = in.nextSeq++, check = seq * kCheck;
                        std::memcpy(&block[k * kRecord], &seq, 4);
                        std::memcpy(&block[k * kRecord + 4], &check, 4);
                        (droppableMode ? in.droppable : in.pending).insert(seq);
                    }
                    return 0;
                });
                t.feed(block);
            }
        });

        // The tty's far end reads what the clients write, so that the pty
        // never fills and a blocking write never waits for ever.
        std::atomic<long> ttyBytesOut{0};
        std::thread drainer([&] {
            char buf[4096];
            while (t.tty() && !feederStop) {
                pollfd p{t.master, POLLIN, 0};
                if (poll(&p, 1, 10) != 1) continue;  // a short tick to see feederStop
                const ssize_t n = read(t.master, buf, sizeof buf);
                if (n > 0) ttyBytesOut += n;
            }
        });

        auto call = [&](const char* what, auto&& fn) {
            Watchdog::Call c(wd, what);
            ++calls;
            return fn();
        };
        // Starts the far end after the device has been (re)opened; with probe,
        // the first records may be lost until one arrives.
        auto startFeeding = [&](bool probe) {
            if (!t.incoming()) return;
            if (probe) {
                droppableMode = true;
                const long d0 = in.read([&] { return in.delivered; });
                feeding = true;
                EXPECT_TRUE(attest::waitUntil([&] { return in.read([&] { return in.delivered; }) > d0; },
                                              std::chrono::seconds(5)))
                    << "nothing arrives after the device was reopened";
                std::lock_guard<std::mutex> g(feedLock);
                // The probe's records still queued ahead of the ones that must
                // arrive fill a socket queue that a slow reader drains late;
                // records sent behind them could find it full. The lock keeps
                // the far end quiet until the backlog is delivered (a probe
                // record the kernel dropped keeps the set non-empty: then the
                // wait ends at its deadline and the cycle goes on).
                (void)attest::waitUntil([&] { return in.read([&] { return in.droppable.empty(); }); },
                                        std::chrono::seconds(2));
                droppableMode = false;
            } else {
                feeding = true;
            }
        };
        // From here on the reader does not read: what is in flight may be lost.
        auto pauseStarts = [&] {
            std::lock_guard<std::mutex> g(feedLock);
            droppableMode = true;
            in.inFlightMayDrop();
        };

        const auto end = Clock::now() + std::chrono::duration<double>(env("AT_STRESS_SECONDS", 3.0));
        while ((Clock::now() < end || cycles < static_cast<long>(env("AT_STRESS_CYCLES", 0))) && !::testing::Test::HasFailure()) {
            ++cycles;
            // The fixture captures every log line; a long run makes millions
            // (two per send), and a capture that only grows ends up copying
            // gigabytes under its lock when it reallocates, which stalls every
            // logging thread for seconds. Only the current cycle's lines are
            // kept for a failure message.
            log.clear();
            if (t.kind == Kind::Fake) fake::setCloseWakesRead(t.dev, rng() % 2 == 0);
            g_replyFromReader = rng() % 2 == 0;
            SerialMgrClientParams pa = {clientData, clientEvent, 0, 1, 1, 0, t.dev, 0};
            SerialMgrClientInfo* a = call("SERIALMGR_RegisterClient", [&] { return SERIALMGR_RegisterClient(&pa); });
            if (a == nullptr) {
                ADD_FAILURE() << "registration failed in cycle " << cycles;
                break;
            }
            startFeeding(t.kind == Kind::Udp);  // the UDP socket is open when registration returns; probe anyway
            if (t.kind == Kind::Usb) {
                // A pause before the USB reader reaches its loop skips the
                // control-pipe handshake (no reader would answer it). Wait
                // for the reader, so that the pauses here go through the
                // handshake.
                EXPECT_TRUE(attest::waitUntil([&] { return gDevList[t.dev].rxLife.has(ReaderLife::kInLoop); }));
            }
            auto sa = std::make_unique<Senders>(wd, a, static_cast<int>(rng() % 6),
                                                seed + static_cast<unsigned>(cycles), calls);
            SerialMgrClientInfo* b = nullptr;
            std::unique_ptr<Senders> sb;
            bool paused = false;

            for (int s = static_cast<int>(rng() % 4); s > 0 && !paused; --s) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));  // a random moment
                SerialMgrClientInfo* cur = b != nullptr ? b : a;
                const unsigned step = rng() % 4;
                if (step <= 1) {  // pause under traffic; resume, or deregister while paused
                    ++pauses;
                    // On a tty nothing is lost: what arrives meanwhile waits
                    // in the pty, and the far end goes on.
                    if (!t.tty()) pauseStarts();
                    call("SERIALMGR_SetFlowControl(1)", [&] { return SERIALMGR_SetFlowControl(cur, 1); });
                    paused = step == 1;
                    if (paused) break;
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                    call("SERIALMGR_SetFlowControl(0)", [&] { return SERIALMGR_SetFlowControl(cur, 0); });
                    if (!t.tty() && t.incoming()) {
                        feeding = false;
                        startFeeding(true);
                    }
                } else if (step == 2 && b == nullptr) {  // a second client takes over
                    ++replacements;
                    SerialMgrClientParams pb = pa;
                    pb.userData = 2;
                    b = call("SERIALMGR_RegisterClient", [&] { return SERIALMGR_RegisterClient(&pb); });
                    EXPECT_NE(b, nullptr);
                    if (b != nullptr) sb = std::make_unique<Senders>(wd, b, static_cast<int>(rng() % 3), seed + 77, calls);
                }  // else just traffic
            }
            // Deregistration: after the far end's records have arrived, or
            // abruptly with records in flight (always while paused).
            const bool isAbrupt = paused || rng() % 2 == 0;
            abrupt += isAbrupt ? 1 : 0;
            {
                std::lock_guard<std::mutex> g(feedLock);
                feeding = false;
            }
            if (isAbrupt) {
                in.inFlightMayDrop();
            } else {
                EXPECT_TRUE(attest::waitUntil([&] { return in.read([&] { return in.pending.empty(); }); },
                                              std::chrono::seconds(5)))
                    << "records not delivered while registered and not paused\n"
                    << logTail();
            }
            sa->stop();
            if (sb) sb->stop();
            if (sa->bad() || (sb && sb->bad())) ADD_FAILURE() << "a send returned a count it was not asked for";
            if (b != nullptr) call("SERIALMGR_DeRegisterClient", [&] { return SERIALMGR_DeRegisterClient(b); });
            call("SERIALMGR_DeRegisterClient", [&] { return SERIALMGR_DeRegisterClient(a); });
            in.inFlightMayDrop();  // a record cut by the close
            droppableMode = false;
            if (t.kind == Kind::Fake) fake::install(t.dev);  // the next reader starts from an empty script
            if (t.tty()) tcflush(t.slave, TCIFLUSH);          // and the next tty reader from an empty pty
        }
        feederStop = true;
        feeder.join();
        drainer.join();
        if (t.tty()) out.bytesOut = ttyBytesOut.load();
        g_in = nullptr;
        g_out = nullptr;
        AT_STUBS_RegisterCallbacks(nullptr, nullptr);

        EXPECT_EQ(in.error, "") << "datagrams the kernel dropped for a full socket queue meanwhile: "
                                << udpReceiveBufferErrors() - rcvbufErrors0;
        EXPECT_EQ(out.error, "");
        EXPECT_EQ(g_readErrors.load(), 0);
        EXPECT_TRUE(attest::waitResourcesBack(before, t.kind == Kind::InProcess ? 4 : 0))
            << "before: " << before.describe() << "\nafter:  " << attest::snapshot().describe();
        const char* name = kKindNames[static_cast<int>(t.kind)];
        std::printf("stress figures [%s]: cycles=%ld replacements=%ld pauses=%ld abrupt=%ld calls=%ld "
                    "records_delivered=%ld records_dropped_as_allowed=%ld bytes_in=%ld bytes_out=%ld\n"
                    "stress figures [%s]: before {%s} after {%s}\n",
                    name, cycles, replacements, pauses, abrupt, calls.load(), in.delivered, in.dropped, in.bytesIn,
                    out.bytesOut, name, before.describe().c_str(), attest::snapshot().describe().c_str());
    }
    static double env(const char* name, double fallback) {
        const double v = std::getenv(name) != nullptr ? std::atof(std::getenv(name)) : 0;
        return v > 0 ? v : fallback;
    }
    // The library's latest log lines, without those of the sends (two per
    // send): what the reader did last, for a failure message.
    std::string logTail() const {
        std::vector<std::string> kept;
        for (const auto& l : log.lines()) {
            if (l.text.find("SendData") != std::string::npos || l.text.find("USB_Write") != std::string::npos) continue;
            kept.push_back(l.text.empty() || l.text.back() != '\n' ? l.text + "\n" : l.text);
        }
        std::string text = "last log lines of this cycle:\n";
        for (size_t i = kept.size() > 100 ? kept.size() - 100 : 0; i < kept.size(); ++i) text += "  " + kept[i];
        return text;
    }
};

TEST_F(TransportStress, FakeDriver) {
    Transport t{Kind::Fake, kDev};
    runStress(t);
}

TEST_F(TransportStress, InProcessChannel) {
    Transport t{Kind::InProcess, SERIAL_DEVICE_SOCKET2};
    runStress(t);
}

TEST_F(TransportStress, UdpOnLoopback) {
    // A fixed Rx port that is free now: the channel rebinds it at each open.
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(getsockname(probe, reinterpret_cast<struct sockaddr*>(&a), &len), 0);
    close(probe);
    RndisConfig cfg;
    for (auto& e : cfg.entry) e = {-1, -1};
    cfg.entry[1] = {9, ntohs(a.sin_port)};  // replies go to the discard port
    RNDIS_SetRndisConfig(&cfg);

    Transport t{Kind::Udp, SERIAL_DEVICE_RNDIS2};
    t.udpOut = socket(AF_INET, SOCK_DGRAM, 0);
    t.udpTo = a;
    const int big = 4 << 20;
    setsockopt(t.udpOut, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    runStress(t);
    close(t.udpOut);
}

// The tty transports: the harness's namespace first, while the process has
// one thread, then a command line that names ttyS1, then the library.
class TtyTransportStress : public TransportStress {
protected:
    void SetUp() override {
        std::string why;
        if (!tty.start(&why)) {
            if (attest::namespacesRequired()) FAIL() << "no pseudo-terminals at the device paths: " << why;
            GTEST_SKIP() << "no private mount namespace (" << why << ")";
        }
        ASSERT_TRUE(tty.setCmdline("console=ttyS1\n"));
        // Raw from the start, so that the settings the drivers save at open
        // and write back at close are raw as well: a byte that arrives while
        // the port is closed for a pause's reopen is kept as it is.
        for (int index : {1, attest::TtyHarness::kUsb}) {
            struct termios raw;
            ASSERT_EQ(tcgetattr(tty.slave(index), &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(tty.slave(index), TCSANOW, &raw), 0);
        }
        TransportStress::SetUp();
    }
    void runTty(Kind kind, UInt32 dev, int index) {
        Transport t{kind, dev};
        t.master = tty.master(index);
        t.slave = tty.slave(index);
        runStress(t);
    }
    attest::TtyHarness tty;
};

TEST_F(TtyTransportStress, UartTty) { runTty(Kind::Uart, SERIAL_DEVICE_UART_B, 1); }

TEST_F(TtyTransportStress, UsbTty) { runTty(Kind::Usb, SERIAL_DEVICE_USB, attest::TtyHarness::kUsb); }

}  // namespace
