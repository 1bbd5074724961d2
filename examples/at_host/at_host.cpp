// at_host: a small modem-stack host built on libat_stubs. It registers an AT
// client on the UDP channels (on the USB gadget tty when the board has one,
// and on the UARTs it is asked to serve), answers AT commands through the AT
// line engine and shuts down cleanly on SIGINT or SIGTERM. With --control it
// takes "pause NAME" and "resume NAME" lines on its standard input, so that a
// test or a person can exercise flow control from the host's side.
//
//   at_host [--rx-port N] [--tx-port N] [--channel IDX:RX:TX]... [--uart N]...
//           [--no-usb] [--control] [--verbose] [--library-log]
#include <android/log.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "at_engine.h"
#include "common/demo_cli.h"
#include "drivers/rndis_drv.h"
#include "serialmgr/serialmgr.h"
#include "stubs/other_stubs.h"

namespace {

// Ports of UDP channel 0 unless the command line says otherwise. The client
// sends to the Rx port and listens on the Tx port.
constexpr int kDefaultRxPort = 17100;
constexpr int kDefaultTxPort = 17101;
constexpr Int32 kAtClientId = 1;
constexpr const char* kUsbTtyPath = "/dev/ttyGS0";

struct Channel {
    UInt32 devId = 0;
    std::string name;
    std::string path; // ttys only
    int rxPort = -1; // UDP channels only
    int txPort = -1;
    // A datagram is sent whole or not at all, so a failed UDP reply is not
    // retried (a blocking send would retry it every 6 ticks for as long as
    // the channel lives). A tty may take part of a reply: send the rest.
    UInt32 block = 0;
    std::unique_ptr<atdemo::AtEngine> engine;
    SerialMgrClientInfo* client = nullptr;
};

// Filled before the first registration and not resized afterwards: the
// reader threads index it through the client's userData.
std::vector<Channel> g_channels;
bool g_verbose = false;
std::mutex g_printLock;

// What wakes the main thread: a stop request (from the signal thread), a
// read error on a channel (from that channel's reader thread) or a pause or
// resume (from the control thread). `value` is the signal or, for a flow
// change, 1 to pause and 0 to resume.
struct Event {
    enum Kind { Stop, ReadError, Flow } kind;
    std::size_t channel;
    int value;
};
std::mutex g_eventLock;
std::condition_variable g_eventCv;
std::deque<Event> g_events;

void post(const Event& ev) {
    {
        std::lock_guard<std::mutex> lock(g_eventLock);
        g_events.push_back(ev);
    }
    g_eventCv.notify_one();
}

Event nextEvent() {
    std::unique_lock<std::mutex> lock(g_eventLock);
    g_eventCv.wait(lock, [] { return !g_events.empty(); });
    Event ev = g_events.front();
    g_events.pop_front();
    return ev;
}

void say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char* fmt, ...) {
    std::lock_guard<std::mutex> lock(g_printLock);
    std::fputs("at_host: ", stdout);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stdout, fmt, ap);
    va_end(ap);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// Runs on the channel's reader thread. Sending from here is allowed; the
// client's own registration and deregistration are not, and are left to the
// main thread.
void onData(SerialMgrClientInfo* client, UInt32 userData, UInt8* data, UInt32 length) {
    Channel& ch = g_channels[userData];
    const std::string reply = ch.engine->feed(reinterpret_cast<const char*>(data), length);
    if (reply.empty()) return;
    const Int32 sent = SERIALMGR_SendData(client, reinterpret_cast<const UInt8*>(reply.data()),
                                          static_cast<UInt32>(reply.size()), ch.block);
    if (sent != static_cast<Int32>(reply.size())) {
        say("%s: reply of %zu bytes not sent (result %d)", ch.name.c_str(), reply.size(), sent);
    }
}

// SERIALMGR_EVENT_READ_ERROR arrives on the reader thread, which ends right
// after; the client must be deregistered before the device can be opened
// again, and that is the main thread's job.
void onEvent(SerialMgrClientInfo*, UInt32 userData, UInt32 event, UInt32) {
    if (event == SERIALMGR_EVENT_READ_ERROR) post(Event{Event::ReadError, userData, 0});
}

// The demo has no in-process channels; a send to one goes nowhere.
Int32 onSendToInProcessClient(UInt32 devId, const UInt8*, UInt32 len) {
    if (g_verbose) say("in-process channel %u: %u bytes dropped (no far end in this demo)", devId, len);
    return static_cast<Int32>(len);
}

Int32 isReadyForCommsIO() { return 1; }

bool registerChannel(std::size_t index) {
    Channel& ch = g_channels[index];
    ch.engine = std::make_unique<atdemo::AtEngine>();
    if (g_verbose) {
        const std::string name = ch.name;
        ch.engine->onCommand = [name](const std::string& line, const std::string& reply) {
            say("%s: \"%s\" -> \"%s\"", name.c_str(), atdemo::visible(line).c_str(), atdemo::visible(reply).c_str());
        };
    }
    SerialMgrClientParams params{};
    params.dataCb = onData;
    params.eventCb = onEvent;
    params.userData = static_cast<UInt32>(index);
    params.clientID = kAtClientId;
    params.useDefaultDevice = 0;
    params.devID = ch.devId;
    params.openParam = 0;
    ch.client = SERIALMGR_RegisterClient(&params);
    return ch.client != nullptr;
}

void deregisterChannel(Channel& ch) {
    if (ch.client == nullptr) return;
    SERIALMGR_DeRegisterClient(ch.client); // joins the channel's reader
    ch.client = nullptr;
}

// SIGINT and SIGTERM are blocked in every thread (the mask is set before the
// library starts any) and taken here with sigwait, so that no library
// function ever runs in a signal handler. SIGUSR2 stays the library's own.
void* signalThread(void*) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    int sig = 0;
    while (sigwait(&set, &sig) != 0) {
    }
    post(Event{Event::Stop, 0, sig});
    return nullptr;
}

// Written to at shutdown, so that the control thread leaves its wait on
// standard input and can be joined before the globals it uses go away.
int g_controlWake[2] = {-1, -1};

void controlLine(const std::string& line) {
    char verb[16] = "", name[64] = "";
    if (std::sscanf(line.c_str(), "%15s %63s", verb, name) != 2 ||
        (std::strcmp(verb, "pause") != 0 && std::strcmp(verb, "resume") != 0)) {
        say("control: expected \"pause NAME\" or \"resume NAME\"");
        return;
    }
    std::size_t index = 0;
    while (index < g_channels.size() && g_channels[index].name != name) ++index;
    if (index == g_channels.size()) {
        say("control: no channel named %s", name);
        return;
    }
    post(Event{Event::Flow, index, std::strcmp(verb, "pause") == 0 ? 1 : 0});
}

// Reads "pause NAME" and "resume NAME" lines from standard input and hands
// them to the main thread, which owns the client records (a read error makes
// it deregister and register a channel again). It ends at the end of input or
// when the main thread wakes it to stop.
void* controlThread(void*) {
    std::string pending;
    char chunk[256];
    for (;;) {
        pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {g_controlWake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0) break;
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) break;
        pending.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
            controlLine(pending.substr(0, nl));
        }
    }
    return nullptr;
}

[[noreturn]] void usage(int code) {
    std::fprintf(code ? stderr : stdout,
                 "usage: at_host [--rx-port N] [--tx-port N] [--channel IDX:RX:TX]... [--uart N]...\n"
                 "               [--no-usb] [--control] [--verbose] [--library-log]\n"
                 "  --rx-port N         UDP port on which channel 0 (device 14) receives (default %d)\n"
                 "  --tx-port N         UDP port to which channel 0 answers (default %d)\n"
                 "  --channel IDX:RX:TX also serve UDP channel IDX (1..3, device 14+IDX)\n"
                 "  --uart N            also serve the UART /dev/ttySN (N 0..2, device N); the kernel\n"
                 "                      command line must name it as a console\n"
                 "  --no-usb            do not serve %s even when it exists\n"
                 "  --control           read \"pause NAME\" / \"resume NAME\" lines (NAME: udp0, usb,\n"
                 "                      uart0, ...) on standard input and pause or resume that channel\n"
                 "  --verbose           print every command and its reply\n"
                 "  --library-log       show the library's log lines on stderr\n"
                 "The UDP channels listen on all interfaces.\n",
                 kDefaultRxPort, kDefaultTxPort, kUsbTtyPath);
    std::exit(code);
}

} // namespace

int main(int argc, char** argv) {
    int rxPort = kDefaultRxPort;
    int txPort = kDefaultTxPort;
    bool useUsb = true;
    bool libraryLog = false;
    struct Extra {
        int index, rx, tx;
    };
    std::vector<Extra> extras;
    std::vector<int> uarts;
    bool control = false;

    atdemo::CommandLine cl{"at_host", usage, argc, argv};
    for (cl.i = 1; cl.i < argc; ++cl.i) {
        const std::string arg = argv[cl.i];
        auto port = [&] { return static_cast<int>(cl.number(cl.value(), 0, 65535, "port")); };
        if (arg == "--rx-port") rxPort = port();
        else if (arg == "--tx-port") txPort = port();
        else if (arg == "--channel") {
            const std::string channelArg = cl.value();
            int idx = 0, rx = 0, tx = 0;
            char tail = 0;
            if (std::sscanf(channelArg.c_str(), "%d:%d:%d%c", &idx, &rx, &tx, &tail) != 3 || idx < 1 ||
                idx >= RNDIS_CHANNEL_NUM || rx < 0 || rx > 65535 || tx < 0 || tx > 65535) {
                cl.fail("bad --channel '" + channelArg + "' (IDX:RX:TX, IDX 1..3)");
            }
            extras.push_back({idx, rx, tx});
        } else if (arg == "--uart") {
            uarts.push_back(static_cast<int>(cl.number(cl.value(), 0, 2, "UART number")));
        } else if (arg == "--no-usb") useUsb = false;
        else if (arg == "--control") control = true;
        else if (arg == "--verbose" || arg == "-v") g_verbose = true;
        else if (arg == "--library-log") libraryLog = true;
        else if (arg == "--help" || arg == "-h") usage(0);
        else cl.fail("unknown option '" + arg + "'");
    }

    // The library logs every read and write on the Android log, which on a
    // host goes to stderr: too much for a demo unless asked for.
    if (!libraryLog) __android_log_set_minimum_priority(ANDROID_LOG_SILENT);

    // Before any thread exists, so that every thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    SERIALMGR_Init();
    AT_STUBS_RegisterCallbacks(onSendToInProcessClient, isReadyForCommsIO);

    RndisConfig config;
    for (auto& e : config.entry) e = RndisConfigEntry{-1, -1};
    config.entry[0] = RndisConfigEntry{txPort, rxPort};
    for (const Extra& e : extras) config.entry[e.index] = RndisConfigEntry{e.tx, e.rx};
    RNDIS_SetRndisConfig(&config);

    auto addUdp = [](int index, int rx, int tx) {
        Channel ch;
        ch.devId = SERIAL_DEVICE_RNDIS + static_cast<UInt32>(index);
        ch.name = "udp" + std::to_string(index);
        ch.rxPort = rx;
        ch.txPort = tx;
        g_channels.push_back(std::move(ch));
    };
    addUdp(0, rxPort, txPort);
    for (const Extra& e : extras) addUdp(e.index, e.rx, e.tx);
    if (useUsb && access(kUsbTtyPath, F_OK) == 0) {
        Channel ch;
        ch.devId = SERIAL_DEVICE_USB;
        ch.name = "usb";
        ch.path = kUsbTtyPath;
        ch.block = 1;
        g_channels.push_back(std::move(ch));
    }
    for (int n : uarts) {
        Channel ch;
        ch.devId = static_cast<UInt32>(n);
        ch.name = "uart" + std::to_string(n);
        ch.path = "/dev/ttyS" + std::to_string(n);
        ch.block = 1;
        g_channels.push_back(std::move(ch));
    }

    bool ok = true;
    for (std::size_t i = 0; i < g_channels.size(); ++i) {
        const Channel& ch = g_channels[i];
        if (!registerChannel(i)) {
            if (ch.rxPort >= 0) {
                std::fprintf(stderr, "at_host: %s: cannot open UDP port %d (in use?)\n", ch.name.c_str(), ch.rxPort);
            } else {
                std::fprintf(stderr, "at_host: %s: cannot open %s\n", ch.name.c_str(), ch.path.c_str());
            }
            ok = false;
            break;
        }
        if (ch.rxPort >= 0) {
            say("%s (device %u): AT commands on UDP port %d, all interfaces; replies go to the sender's host, "
                "port %d",
                ch.name.c_str(), ch.devId, ch.rxPort, ch.txPort);
        } else {
            say("%s (device %u): AT commands on %s", ch.name.c_str(), ch.devId, ch.path.c_str());
        }
    }

    pthread_t sigThread;
    const bool haveSigThread = ok && pthread_create(&sigThread, nullptr, signalThread, nullptr) == 0;
    pthread_t ctlThread;
    const bool haveCtlThread = ok && haveSigThread && control && pipe(g_controlWake) == 0 &&
                               pthread_create(&ctlThread, nullptr, controlThread, nullptr) == 0;
    if (control && !haveCtlThread) ok = false;
    int exitCode = 0;
    bool stoppedBySignal = false;
    if (ok && haveSigThread) {
        say("ready; SIGINT or SIGTERM stops");
        bool running = true;
        while (running) {
            const Event ev = nextEvent();
            if (ev.kind == Event::Stop) {
                say("%s received, shutting down", ev.value == SIGINT ? "SIGINT" : "SIGTERM");
                stoppedBySignal = true;
                running = false;
            } else if (ev.kind == Event::Flow) {
                // A pause of the USB tty returns once its reader is parked; a
                // resume returns when the reader is released, before it has
                // reopened the device.
                Channel& ch = g_channels[ev.channel];
                const bool done =
                    ch.client != nullptr && SERIALMGR_SetFlowControl(ch.client, static_cast<UInt32>(ev.value));
                say("%s: %s%s", ch.name.c_str(), done ? "" : "not ", ev.value ? "paused" : "resumed");
            } else {
                // The reader has ended on a read error. Deregister (which
                // joins it) and register again, so the channel comes back.
                Channel& ch = g_channels[ev.channel];
                say("%s: read error, reopening the channel", ch.name.c_str());
                deregisterChannel(ch);
                if (!registerChannel(ev.channel)) {
                    say("%s: cannot reopen, stopping", ch.name.c_str());
                    exitCode = 1;
                    running = false;
                }
            }
        }
    } else {
        exitCode = 1;
    }

    if (haveCtlThread) {
        const ssize_t ignored = write(g_controlWake[1], "x", 1);
        (void)ignored;  // a full pipe would already wake it
        pthread_join(ctlThread, nullptr);
    }
    std::size_t count = 0;
    for (Channel& ch : g_channels) {
        if (ch.client != nullptr) ++count;
        deregisterChannel(ch);
    }
    if (haveSigThread) {
        // The signal thread ends after the one signal it takes. If we stop
        // for another reason it still waits: raise one for it. It is sent to
        // the process rather than to the thread, so it can never reach a
        // thread that has ended; blocked everywhere, it stays pending until
        // that sigwait takes it.
        if (!stoppedBySignal) kill(getpid(), SIGTERM);
        pthread_join(sigThread, nullptr);
    }
    say("stopped: %zu client%s deregistered, reader threads joined", count, count == 1 ? "" : "s");
    return exitCode;
}
