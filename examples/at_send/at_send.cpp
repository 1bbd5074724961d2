// at_send: sends AT commands to a UDP channel of an AT host and prints the
// replies.
//
//   at_send [--host H] [--port RX] [--reply-port TX] [--timeout MS] [--raw]
//           COMMAND... [--part TEXT COMMAND...]
//
// Each COMMAND goes out as one datagram with a carriage return appended, and
// at_send waits for its final result code (OK, ERROR, +CME ERROR: ...).
// "--part TEXT" sends TEXT as a datagram of its own, without carriage return
// and without waiting: the next COMMAND completes it, which shows a command
// split over two datagrams.
//
// The host answers the sender's address at the channel's Tx port, not at the
// port the command came from, so at_send receives on the Tx port.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/demo_cli.h"

namespace {

constexpr int kDefaultRxPort = 17100; // the host's defaults
constexpr int kDefaultTxPort = 17101;
constexpr int kDefaultTimeoutMs = 3000;

struct Step {
    std::string text;
    bool part; // no CR appended, no reply awaited
};

[[noreturn]] void usage(int code) {
    std::fprintf(code ? stderr : stdout,
                 "usage: at_send [--host H] [--port RX] [--reply-port TX] [--timeout MS] [--raw]\n"
                 "               COMMAND... [--part TEXT COMMAND...]\n"
                 "  --host H         host running at_host (default 127.0.0.1)\n"
                 "  --port RX        the channel's Rx port, where commands go (default %d)\n"
                 "  --reply-port TX  the channel's Tx port, where replies come (default %d)\n"
                 "  --timeout MS     time to wait for each final result code (default %d)\n"
                 "  --raw            print replies byte for byte, CR and LF shown as \\r \\n\n"
                 "  --part TEXT      send TEXT as a datagram without CR and without waiting\n",
                 kDefaultRxPort, kDefaultTxPort, kDefaultTimeoutMs);
    std::exit(code);
}

// V.250 and 27.007 final result codes, in verbose form.
bool isFinal(const std::string& line) {
    static const char* const finals[] = {"OK", "ERROR", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE"};
    for (const char* f : finals) {
        if (line == f) return true;
    }
    return line.rfind("+CME ERROR:", 0) == 0 || line.rfind("+CMS ERROR:", 0) == 0 || line.rfind("CONNECT", 0) == 0;
}

// Splits received text into lines at CR and LF; the unfinished tail stays in
// `pending`. Returns the complete lines, empty ones left out.
std::vector<std::string> takeLines(std::string& pending) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        if (pending[i] == '\r' || pending[i] == '\n') {
            if (i > start) lines.push_back(pending.substr(start, i - start));
            start = i + 1;
        }
    }
    pending.erase(0, start);
    return lines;
}

} // namespace

int main(int argc, char** argv) {
    std::string host = "127.0.0.1";
    int rxPort = kDefaultRxPort;
    int txPort = kDefaultTxPort;
    int timeoutMs = kDefaultTimeoutMs;
    bool raw = false;
    std::vector<Step> steps;

    atdemo::CommandLine cl{"at_send", usage, argc, argv};
    for (cl.i = 1; cl.i < argc; ++cl.i) {
        const std::string arg = argv[cl.i];
        if (arg == "--host") host = cl.value();
        else if (arg == "--port") rxPort = static_cast<int>(cl.number(cl.value(), 1, 65535, "port"));
        else if (arg == "--reply-port") txPort = static_cast<int>(cl.number(cl.value(), 1, 65535, "port"));
        else if (arg == "--timeout") timeoutMs = static_cast<int>(cl.number(cl.value(), 1, 3600000, "time-out"));
        else if (arg == "--raw") raw = true;
        else if (arg == "--part") steps.push_back({cl.value(), true});
        else if (arg == "--help" || arg == "-h") usage(0);
        else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') cl.fail("unknown option '" + arg + "'");
        else steps.push_back({arg, false});
    }
    if (steps.empty()) usage(2);
    if (steps.back().part) {
        std::fprintf(stderr, "at_send: --part must be followed by the COMMAND that completes it\n");
        return 2;
    }

    addrinfo hints{};
    hints.ai_family = AF_INET; // the channels are IPv4 only
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    const int gai = getaddrinfo(host.c_str(), nullptr, &hints, &res);
    if (gai != 0 || res == nullptr) {
        std::fprintf(stderr, "at_send: cannot resolve '%s': %s\n", host.c_str(), gai_strerror(gai));
        return 2;
    }
    sockaddr_in dest{};
    std::memcpy(&dest, res->ai_addr, sizeof dest);
    freeaddrinfo(res);
    dest.sin_port = htons(static_cast<uint16_t>(rxPort));

    // One socket for both directions, bound to the Tx port on which the
    // host's answers arrive.
    const int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd < 0) {
        std::perror("at_send: socket");
        return 2;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(txPort));
    if (bind(sd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::fprintf(stderr, "at_send: cannot receive on UDP port %d: %s\n", txPort, std::strerror(errno));
        close(sd);
        return 2;
    }

    std::string pending;
    bool anyReply = false;
    for (const Step& step : steps) {
        const std::string datagram = step.part ? step.text : step.text + "\r";
        std::printf("> %s%s\n", raw ? atdemo::visible(datagram).c_str() : step.text.c_str(),
                    step.part ? "    (sent without CR: the next line completes the command)" : "");
        std::fflush(stdout);
        if (sendto(sd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest) < 0) {
            std::fprintf(stderr, "at_send: send to %s:%d failed: %s\n", host.c_str(), rxPort, std::strerror(errno));
            close(sd);
            return 1;
        }
        if (step.part) continue;

        // Read datagrams until a final result code, within the time-out.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        bool final = false;
        while (!final) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{sd, POLLIN, 0};
            const int n = poll(&p, 1, static_cast<int>(left.count()));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            char buf[2048];
            const ssize_t got = recv(sd, buf, sizeof buf, 0);
            if (got < 0) {
                if (errno == EINTR || errno == ECONNREFUSED) continue;
                std::fprintf(stderr, "at_send: receive failed: %s\n", std::strerror(errno));
                close(sd);
                return 1;
            }
            anyReply = true;
            const std::string text(buf, static_cast<std::size_t>(got));
            if (raw) std::printf("< %s\n", atdemo::visible(text).c_str());
            pending += text;
            for (const std::string& line : takeLines(pending)) {
                if (!raw) std::printf("< %s\n", line.c_str());
                if (isFinal(line)) final = true;
            }
            std::fflush(stdout);
        }
        if (!final) {
            if (!anyReply) {
                std::fprintf(stderr,
                             "at_send: no answer from %s:%d within %d ms (is at_host running with --rx-port %d "
                             "--tx-port %d?)\n",
                             host.c_str(), rxPort, timeoutMs, rxPort, txPort);
            } else {
                std::fprintf(stderr, "at_send: no final result code for '%s' within %d ms\n", step.text.c_str(),
                             timeoutMs);
            }
            close(sd);
            return 1;
        }
    }
    close(sd);
    return 0;
}
