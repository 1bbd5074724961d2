// Stress on each transport: register and deregister at random moments while
// the far end sends, up to five senders (blocking and non-blocking) reply,
// flow control is toggled under traffic, and a second client replaces the
// first. Every call runs under a 5-second watchdog. Incoming bytes are
// counted end to end: the far end sends numbered 8-byte records, and the
// clients must see them once each, in order, with none missing except those
// the documented behaviour may drop (below). At the end the process has its
// starting threads, descriptors, heap blocks, tasks and semaphores.
//
// Bytes that may be dropped, and why:
// - records still undelivered when a pause starts, and records sent while the
//   device is paused: the reader does not read them,
//   and the refresh that ends the pause closes and reopens the device, which
//   throws away whatever the old descriptor still held (a UDP socket's queue);
// - records sent after the pause ends until the reopened device has delivered
//   a first record (the close-and-reopen window);
// - records still in flight when a deregistration starts at a random moment
//   (sent, not yet delivered): the device is closed under them.
// Every other record must arrive. None may arrive twice or out of order.
//
// On the ttys (a UART and the USB gadget tty, pseudo-terminals at the device
// paths in a private mount namespace) nothing is lost at a pause: the pty
// keeps its input across the driver's close and reopen (the harness holds a
// slave descriptor, and the saved settings are raw already), and a block may
// end inside a record, whose rest follows in the next block. What a
// deregistration leaves unread in the pty is flushed before the next cycle.
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

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivers/rndis_drv.h"
#include "drivers/rndis_drv_internal.h"
#include "../serialmgr/fixture.h"
#include "stubs/other_stubs.h"
#include "tty_harness.h"
#include "wait.h"

namespace {

using Clock = std::chrono::steady_clock;

double stressSeconds() {
    const char* t = std::getenv("AT_STRESS_SECONDS");
    const double s = t != nullptr ? std::atof(t) : 0;
    return s > 0 ? s : 3.0;
}
long minCycles() {
    const char* t = std::getenv("AT_STRESS_CYCLES");
    return t != nullptr ? std::atol(t) : 0;
}

// ---- the watchdog: any watched call longer than 5 s ends the run ----

class Watchdog {
public:
    static constexpr int kSlots = 16;
    // lastWords: what the run can tell about itself before the abort (the
    // library's latest log lines).
    explicit Watchdog(std::function<std::string()> lastWords)
        : lastWords_(std::move(lastWords)), thread_([this] { run(); }) {}
    ~Watchdog() {
        stop_ = true;
        thread_.join();
    }
    struct Call {
        Call(Watchdog& w, const char* what) : w_(w) {
            for (slot_ = 0; slot_ < kSlots; ++slot_) {
                const char* expected = nullptr;
                if (w_.what_[slot_].compare_exchange_strong(expected, what)) break;
            }
            if (slot_ < kSlots) w_.since_[slot_] = Clock::now().time_since_epoch().count();
        }
        ~Call() {
            if (slot_ < kSlots) w_.what_[slot_] = nullptr;
        }
        Watchdog& w_;
        int slot_;
    };

private:
    void run() {
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the watchdog's own tick
            const auto now = Clock::now().time_since_epoch().count();
            for (int i = 0; i < kSlots; ++i) {
                const char* what = what_[i].load();
                if (what != nullptr && now - since_[i].load() > std::chrono::nanoseconds(std::chrono::seconds(5)).count()) {
                    std::fprintf(stderr, "watchdog: %s has taken more than 5 seconds\n", what);
                    // What else was in flight, and for how long, tells a
                    // call that waits for another from one that is stuck.
                    for (int j = 0; j < kSlots; ++j) {
                        const char* other = what_[j].load();
                        if (other != nullptr)
                            std::fprintf(stderr, "watchdog:   in flight: %s for %lld ms\n", other,
                                         static_cast<long long>((now - since_[j].load()) / 1000000));
                    }
                    // AT_STRESS_GDB=1: every thread's stack first, for a
                    // call that hangs only once in a long soak.
                    const char* gdb = std::getenv("AT_STRESS_GDB");
                    if (gdb != nullptr && std::strcmp(gdb, "1") == 0) {
                        const std::string cmd = "gdb -p " + std::to_string(getpid()) +
                                                " -batch -ex 'thread apply all bt' 1>&2 2>/dev/null";
                        if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "watchdog: gdb failed\n");
                    }
                    printLastWords();
                    std::abort();
                }
            }
        }
    }
    // The last words come from a thread of their own, given 2 seconds: the
    // stuck thread may hold a lock they need (the log capture's), and the
    // abort must come all the same.
    void printLastWords() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        std::thread([words = lastWords_, done] {
            std::fprintf(stderr, "%s", words().c_str());
            done->store(true);
        }).detach();
        attest::waitUntil([&] { return done->load(); }, std::chrono::seconds(2));
        if (!done->load()) std::fprintf(stderr, "watchdog: no log lines (the log is held by a stuck thread)\n");
    }
    std::atomic<const char*> what_[kSlots] = {};
    std::atomic<long long> since_[kSlots] = {};
    std::atomic<bool> stop_{false};
    std::function<std::string()> lastWords_;
    std::thread thread_;
};

// ---- numbered records from the far end, checked at the clients ----

constexpr size_t kRecord = 8;
void putRecord(UInt8* p, UInt32 seq) {
    const UInt32 check = seq * 2654435761u;
    std::memcpy(p, &seq, 4);
    std::memcpy(p + 4, &check, 4);
}

struct Incoming {
    std::mutex lock;
    UInt32 nextSeq = 1;        // far end: next record number
    std::set<UInt32> pending;  // sent, must arrive, not yet seen
    std::set<UInt32> droppable;
    UInt32 lastSeen = 0;
    long delivered = 0, dropped = 0, bytesIn = 0;
    std::string error;
    std::vector<UInt8> partial;  // a block may end inside a record (fake driver)

    void seen(const UInt8* data, UInt32 len) {
        std::lock_guard<std::mutex> g(lock);
        bytesIn += len;
        partial.insert(partial.end(), data, data + len);
        size_t off = 0;
        for (; off + kRecord <= partial.size(); off += kRecord) {
            UInt32 seq, check;
            std::memcpy(&seq, &partial[off], 4);
            std::memcpy(&check, &partial[off + 4], 4);
            if (check != seq * 2654435761u) {
                if (error.empty()) error = "corrupt record after " + std::to_string(lastSeen);
                continue;
            }
            if (seq <= lastSeen) {
                if (error.empty())
                    error = "record " + std::to_string(seq) + " after " + std::to_string(lastSeen) + " (duplicate or reordered)";
                continue;
            }
            lastSeen = seq;
            ++delivered;
            if (pending.erase(seq) == 0 && droppable.erase(seq) == 0 && error.empty())
                error = "record " + std::to_string(seq) + " was never sent";
            // Everything older that is still outstanding is now lost for good.
            for (auto it = pending.begin(); it != pending.end() && *it < seq;) {
                if (error.empty()) error = "record " + std::to_string(*it) + " lost";
                it = pending.erase(it);
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
    bool allMustArrived() {
        std::lock_guard<std::mutex> g(lock);
        return pending.empty();
    }
    long deliveredCount() {
        std::lock_guard<std::mutex> g(lock);
        return delivered;
    }
};

Incoming* g_in = nullptr;

// ---- outgoing: each send carries its sender and a number ----

std::atomic<UInt32> g_senderInstances{0};

struct Outgoing {
    std::mutex lock;
    std::map<UInt32, UInt32> lastSeq;  // by sender (instance, index)
    long bytesOut = 0, sendsOk = 0;
    std::string error;
    void seen(const UInt8* data, UInt32 len) {
        if (len < 8) return;
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

void clientData(SerialMgrClientInfo*, UInt32, UInt8* data, UInt32 len) {
    if (g_in != nullptr) g_in->seen(data, len);
}
std::atomic<int> g_readErrors{0};
void clientEvent(SerialMgrClientInfo*, UInt32, UInt32 event, UInt32) {
    if (event == SERIALMGR_EVENT_READ_ERROR) ++g_readErrors;
}

// RcvbufErrors of /proc/net/snmp: UDP datagrams the kernel dropped because a
// socket's queue was full (machine-wide).
long udpReceiveBufferErrors() {
    FILE* f = std::fopen("/proc/net/snmp", "r");
    if (f == nullptr) return -1;
    char names[512], values[512];
    long result = -1;
    while (std::fgets(names, sizeof names, f) != nullptr) {
        if (std::strncmp(names, "Udp:", 4) != 0) continue;
        if (std::fgets(values, sizeof values, f) == nullptr) break;
        char* ns = nullptr;
        char* vs = nullptr;
        char* n = strtok_r(names, " \n", &ns);
        char* v = strtok_r(values, " \n", &vs);
        while (n != nullptr && v != nullptr) {
            if (std::strcmp(n, "RcvbufErrors") == 0) result = std::atol(v);
            n = strtok_r(nullptr, " \n", &ns);
            v = strtok_r(nullptr, " \n", &vs);
        }
        break;
    }
    std::fclose(f);
    return result;
}

// ---- transports ----

enum class Kind { Fake, Udp, InProcess, Uart, Usb };

struct Transport {
    Kind kind;
    UInt32 dev;
    int udpOut = -1;
    struct sockaddr_in udpTo = {};
    int master = -1;  // tty: the far end of the pty
    int slave = -1;   // tty: the harness's own slave descriptor

    bool incoming() const { return kind != Kind::InProcess; }
    bool tty() const { return kind == Kind::Uart || kind == Kind::Usb; }
    // Sends one block of whole records to the device's far end.
    void feed(const std::vector<UInt8>& block) {
        if (kind == Kind::Fake) {
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
            size_t done = 0;
            while (done < block.size()) {
                const ssize_t n = write(master, block.data() + done, block.size() - done);
                if (n <= 0) break;
                done += static_cast<size_t>(n);
            }
        }
    }
};

struct Figures {
    long cycles = 0, calls = 0, replacements = 0, pauses = 0, abrupt = 0;
};

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
                while (!stop_) {
                    std::memcpy(&msg[4], &seq_[i], 4);
                    Int32 sent;
                    {
                        Watchdog::Call c(wd, "SERIALMGR_SendData");
                        sent = SERIALMGR_SendData(client, msg.data(), static_cast<UInt32>(msg.size()), rng() % 2);
                    }
                    ++calls;
                    if (sent > 0) ++seq_[i];  // numbers stay unique per sender
                    // 65535 is a failed write (a UDP channel before its first
                    // datagram); anything else above the length is wrong.
                    if (sent > static_cast<Int32>(msg.size()) && sent != 0xFFFF) bad_ = true;
                    std::this_thread::yield();
                }
            });
        }
    }
    ~Senders() { stop(); }
    void stop() {
        stop_ = true;
        for (auto& t : threads_)
            if (t.joinable()) t.join();
    }
    bool bad() const { return bad_; }

private:
    const UInt32 instance_;
    std::atomic<bool> stop_{false}, bad_{false};
    UInt32 seq_[5] = {1, 1, 1, 1, 1};
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
        Figures f;
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
                {
                    // A UDP socket's queue holds only so many datagrams; beyond
                    // it the kernel drops them, which is no fault of the
                    // library. The far end waits while too many records that
                    // must arrive are in flight; records that may be dropped
                    // (a paused device) may never arrive, so they only slow
                    // it down.
                    std::unique_lock<std::mutex> gi(in.lock);
                    const size_t cap = t.kind == Kind::Udp ? 48u : t.tty() ? 256u : 2000u;
                    const bool tooMany = in.pending.size() > cap;
                    gi.unlock();
                    if (tooMany || droppableMode) std::this_thread::sleep_for(std::chrono::microseconds(200));
                    if (tooMany) continue;
                }
                std::lock_guard<std::mutex> g(feedLock);
                if (!feeding) continue;
                const size_t n = 1 + r() % 150;  // up to 1200 bytes in one block
                std::vector<UInt8> block(n * kRecord);
                {
                    std::lock_guard<std::mutex> gi(in.lock);
                    for (size_t k = 0; k < n; ++k) {
                        const UInt32 seq = in.nextSeq++;
                        putRecord(&block[k * kRecord], seq);
                        (droppableMode ? in.droppable : in.pending).insert(seq);
                    }
                }
                t.feed(block);
            }
        });

        // The tty's far end reads what the senders write, so that the pty
        // never fills and a blocking write never waits for ever.
        std::atomic<long> ttyBytesOut{0};
        std::thread drainer([&] {
            if (!t.tty()) return;
            char buf[4096];
            while (!feederStop) {
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
        auto waitDrained = [&] {
            EXPECT_TRUE(attest::waitUntil([&] { return in.allMustArrived(); }, std::chrono::seconds(5)))
                << "records not delivered while registered and not paused\n"
                << logTail();
        };
        // Stops the far end; with drain, waits until all it sent has arrived,
        // else marks what is in flight as droppable.
        auto stopFeeding = [&](bool drain) {
            {
                std::lock_guard<std::mutex> g(feedLock);
                feeding = false;
            }
            if (drain)
                waitDrained();
            else
                in.inFlightMayDrop();
        };
        // Starts the far end after the device has been (re)opened; with probe,
        // the first records may be lost until one arrives.
        auto startFeeding = [&](bool probe) {
            if (!t.incoming()) return;
            if (probe) {
                droppableMode = true;
                const long d0 = in.deliveredCount();
                feeding = true;
                EXPECT_TRUE(attest::waitUntil([&] { return in.deliveredCount() > d0; }, std::chrono::seconds(5)))
                    << "nothing arrives after the device was reopened";
                std::lock_guard<std::mutex> g(feedLock);
                droppableMode = false;
            } else {
                feeding = true;
            }
        };

        const auto end = Clock::now() + std::chrono::duration<double>(stressSeconds());
        while (Clock::now() < end || f.cycles < minCycles()) {
            if (::testing::Test::HasFailure()) break;
            ++f.cycles;
            // The fixture captures every log line; a long run makes millions
            // (two per send), and a capture that only grows ends up copying
            // gigabytes under its lock when it reallocates, which stalls every
            // logging thread for seconds. Only the current cycle's lines are
            // kept for a failure message.
            log.clear();
            SerialMgrClientParams pa = {clientData, clientEvent, 0, 1, 1, 0, t.dev, 0};
            SerialMgrClientInfo* a = call("SERIALMGR_RegisterClient", [&] { return SERIALMGR_RegisterClient(&pa); });
            if (a == nullptr) {
                ADD_FAILURE() << "registration failed in cycle " << f.cycles;
                break;
            }
            startFeeding(t.kind == Kind::Udp);  // the UDP socket is open when registration returns; probe anyway
            if (t.kind == Kind::Usb) {
                // A pause before the USB reader reaches its loop skips the
                // control-pipe handshake (no reader would answer it). Wait
                // for the reader, so that the pauses here go through the
                // handshake.
                EXPECT_TRUE(attest::waitUntil([&] { return gDevList[t.dev].rxInLoop.load() == 1; }));
            }
            const int senders = static_cast<int>(rng() % 6);
            auto sa = std::make_unique<Senders>(wd, a, senders, seed + static_cast<unsigned>(f.cycles), calls);
            SerialMgrClientInfo* b = nullptr;
            std::unique_ptr<Senders> sb;

            const int steps = static_cast<int>(rng() % 4);
            for (int s = 0; s < steps; ++s) {
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));  // a random moment
                SerialMgrClientInfo* cur = b != nullptr ? b : a;
                switch (rng() % 3) {
                    case 0: {  // pause under traffic, then resume
                        ++f.pauses;
                        if (t.tty()) {
                            // Nothing is lost: what arrives meanwhile waits in
                            // the pty, and the far end goes on.
                            call("SERIALMGR_SetFlowControl(1)", [&] { return SERIALMGR_SetFlowControl(cur, 1); });
                            std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                            call("SERIALMGR_SetFlowControl(0)", [&] { return SERIALMGR_SetFlowControl(cur, 0); });
                            break;
                        }
                        {
                            std::lock_guard<std::mutex> g(feedLock);
                            droppableMode = true;  // the pause starts now
                            in.inFlightMayDrop();
                        }
                        call("SERIALMGR_SetFlowControl(1)", [&] { return SERIALMGR_SetFlowControl(cur, 1); });
                        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
                        call("SERIALMGR_SetFlowControl(0)", [&] { return SERIALMGR_SetFlowControl(cur, 0); });
                        if (t.incoming()) {
                            feeding = false;
                            startFeeding(true);
                        }
                        break;
                    }
                    case 1:
                        if (b == nullptr) {  // a second client takes over
                            ++f.replacements;
                            SerialMgrClientParams pb = pa;
                            pb.userData = 2;
                            b = call("SERIALMGR_RegisterClient", [&] { return SERIALMGR_RegisterClient(&pb); });
                            EXPECT_NE(b, nullptr);
                            if (b != nullptr)
                                sb = std::make_unique<Senders>(wd, b, static_cast<int>(rng() % 3), seed + 77, calls);
                        }
                        break;
                    default:
                        break;  // just traffic
                }
            }
            // Deregistration: after the far end's records have arrived, or
            // abruptly with records in flight.
            const bool abrupt = rng() % 2 == 0;
            f.abrupt += abrupt ? 1 : 0;
            stopFeeding(!abrupt);
            sa->stop();
            if (sb) sb->stop();
            if (sa->bad() || (sb && sb->bad())) ADD_FAILURE() << "a send returned a count it was not asked for";
            if (b != nullptr) call("SERIALMGR_DeRegisterClient", [&] { return SERIALMGR_DeRegisterClient(b); });
            call("SERIALMGR_DeRegisterClient", [&] { return SERIALMGR_DeRegisterClient(a); });
            in.inFlightMayDrop();  // a record cut by the close
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
        const attest::Resources after = attest::snapshot();
        std::printf("stress figures [%s]: cycles=%ld replacements=%ld pauses=%ld abrupt=%ld calls=%ld "
                    "records_delivered=%ld records_dropped_as_allowed=%ld bytes_in=%ld bytes_out=%ld\n"
                    "stress figures [%s]: before {%s} after {%s}\n",
                    name(t.kind), f.cycles, f.replacements, f.pauses, f.abrupt, calls.load(), in.delivered,
                    in.dropped, in.bytesIn, out.bytesOut, name(t.kind), before.describe().c_str(),
                    after.describe().c_str());
    }
    // The library's latest log lines, without the two that every send makes:
    // what the reader did last, for a failure message.
    std::string logTail() const {
        const std::vector<attest::LogLine> lines = log.lines();
        std::vector<const std::string*> kept;
        for (const auto& l : lines)
            if (l.text.find("SendData") == std::string::npos && l.text.find("USB_Write") == std::string::npos)
                kept.push_back(&l.text);
        std::string out = "last log lines of this cycle:\n";
        const size_t from = kept.size() > 100 ? kept.size() - 100 : 0;
        for (size_t i = from; i < kept.size(); ++i) out += "  " + *kept[i] + (kept[i]->empty() || kept[i]->back() != '\n' ? "\n" : "");
        return out;
    }
    static const char* name(Kind k) {
        return k == Kind::Fake        ? "fake driver"
               : k == Kind::Udp       ? "UDP"
               : k == Kind::InProcess ? "in-process"
               : k == Kind::Uart      ? "UART tty"
                                      : "USB tty";
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
    ASSERT_EQ(bind(probe, reinterpret_cast<struct sockaddr*>(&a), sizeof a), 0);
    socklen_t len = sizeof a;
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

}  // namespace

namespace {

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

TEST_F(TtyTransportStress, UartTty) {
    runTty(Kind::Uart, SERIAL_DEVICE_UART_B, 1);
}

TEST_F(TtyTransportStress, UsbTty) {
    runTty(Kind::Usb, SERIAL_DEVICE_USB, attest::TtyHarness::kUsb);
}

}  // namespace
