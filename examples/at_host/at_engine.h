// The demo host's AT line engine: turns received bytes into the bytes a
// V.250 modem would send back (echo, information text and result codes) for a
// small command set. It knows nothing of the serial manager, so that it can be
// tested on its own.
//
// One engine serves one serial channel: echo, error mode and the half-typed
// command line are per channel, as on a modem with several ports. An engine
// is not thread-safe; the host feeds each one from its channel's reader
// thread only.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace atdemo {

struct Identity {
    std::string manufacturer; // +CGMI
    std::string model;        // +CGMM
    std::string revision;     // +CGMR
};

// Neutral values for the demo; they name no real product.
Identity demoIdentity();

class AtEngine {
public:
    // Longest command line kept, without its terminating carriage return. A
    // longer line is answered with ERROR once its carriage return arrives.
    static constexpr std::size_t kMaxLine = 256;

    explicit AtEngine(Identity identity = demoIdentity());

    // Takes one block of received bytes and returns what the modem sends back
    // for it: the echo of every byte while echo is on, then, for each command
    // line completed by a carriage return, its reply. Bytes after the last
    // carriage return are kept for the next block.
    std::string feed(const char* data, std::size_t len);
    std::string feed(const std::string& data) { return feed(data.data(), data.size()); }

    bool echo() const { return echo_; }
    int cmee() const { return cmee_; }
    // Bytes of an unfinished command line waiting for their carriage return.
    std::size_t pending() const { return line_.size(); }

    // Called once per completed command line with the line as received
    // (without the carriage return) and the reply it produced (without echo).
    // Lines that are not commands (no "AT" prefix) are not reported.
    std::function<void(const std::string& line, const std::string& reply)> onCommand;

private:
    std::string execute(const std::string& line);
    std::string runCommand(const std::string& body);
    std::string error(bool meError) const;

    Identity identity_;
    bool echo_ = true; // V.250 default: E1
    int cmee_ = 0;     // 27.007 default: +CMEE=0
    std::string line_;
    bool overflow_ = false;
};

} // namespace atdemo
