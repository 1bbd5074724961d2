#include "at_engine.h"

#include <cctype>
#include <utility>

#ifndef AT_DEMO_REVISION
#define AT_DEMO_REVISION "0.1.0"
#endif

namespace atdemo {

namespace {

// V.250 parameters S3, S4 and S5 at their defaults; the demo offers no ATS
// command to change them.
constexpr char kCr = '\r';
constexpr char kLf = '\n';
constexpr char kBackspace = '\b';

// Verbose (V1) framing: every information text and result code stands
// between a CR LF pair.
std::string framed(const std::string& text) { return "\r\n" + text + "\r\n"; }

const std::string kOk = framed("OK");

std::string info(const std::string& text) { return framed(text) + kOk; }

// The command line without spaces (V.250 ignores them) in capitals (command
// names are case-insensitive; the demo's commands carry no string arguments
// whose case would matter).
std::string normalise(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    for (char c : line) {
        if (c == ' ') continue;
        out.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
    }
    return out;
}

bool startsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

} // namespace

Identity demoIdentity() { return Identity{"libat_stubs demo", "AT demo host", AT_DEMO_REVISION}; }

AtEngine::AtEngine(Identity identity) : identity_(std::move(identity)) {}

std::string AtEngine::feed(const char* data, std::size_t len) {
    std::string out;
    for (std::size_t i = 0; i < len; ++i) {
        const char c = data[i];
        // The echo goes out as each character arrives, before the reply of
        // the line it completes: a terminal shows "ATE0<CR>" and then OK.
        if (echo_) out.push_back(c);
        if (c == kCr) {
            std::string line;
            line.swap(line_);
            const bool overflow = overflow_;
            overflow_ = false;
            const std::string cmd = normalise(line);
            if (!startsWith(cmd, "AT")) continue; // not a command: V.250 modems stay silent
            const std::string reply = overflow ? error(false) : execute(cmd);
            out += reply;
            if (onCommand) onCommand(line, reply);
        } else if (c == kLf) {
            // A terminal that ends lines with CR LF: the LF belongs to no line.
        } else if (c == kBackspace) {
            if (!line_.empty()) line_.pop_back();
        } else if (line_.size() < kMaxLine) {
            line_.push_back(c);
        } else {
            // Keep nothing more of a runaway line, but remember that it ran
            // away so that it is refused as a whole rather than cut.
            overflow_ = true;
        }
    }
    return out;
}

std::string AtEngine::execute(const std::string& cmd) { return runCommand(cmd.substr(2)); }

std::string AtEngine::runCommand(const std::string& body) {
    if (body.empty()) return kOk;

    // Basic commands.
    if (body == "I" || body == "I0") {
        return info(identity_.manufacturer + " " + identity_.model + ", revision " + identity_.revision);
    }
    if (body == "E" || body == "E0" || body == "E1") {
        echo_ = body == "E1";
        return kOk;
    }
    if (body == "Z" || body == "Z0") {
        // Back to the power-on profile. The line being typed is unaffected:
        // this one is complete already.
        echo_ = true;
        cmee_ = 0;
        return kOk;
    }

    // Identification: 27.007 names and their V.250 twins.
    const std::pair<const char*, const std::string*> ids[] = {
        {"+CGMI", &identity_.manufacturer}, {"+GMI", &identity_.manufacturer},
        {"+CGMM", &identity_.model},        {"+GMM", &identity_.model},
        {"+CGMR", &identity_.revision},     {"+GMR", &identity_.revision},
    };
    for (const auto& [name, value] : ids) {
        if (!startsWith(body, name)) continue;
        const std::string rest = body.substr(std::string(name).size());
        if (rest.empty()) return info(*value);
        if (rest == "=?") return kOk; // test command: supported, no parameters
        // A read or set form of a command that has neither: a failure of the
        // mobile equipment, reported as +CMEE asks.
        return error(true);
    }

    if (startsWith(body, "+CMEE")) {
        const std::string rest = body.substr(5);
        if (rest == "?") return info("+CMEE: " + std::to_string(cmee_));
        if (rest == "=?") return info("+CMEE: (0-2)");
        // "+CMEE=" alone sets the default 0, as the omitted parameter of
        // 27.007's "+CMEE=[<n>]". Anything but one digit 0..2 is a syntax
        // error, which is always a plain ERROR whatever the error mode.
        if (rest == "=") {
            cmee_ = 0;
            return kOk;
        }
        if (rest.size() == 2 && rest[0] == '=' && rest[1] >= '0' && rest[1] <= '2') {
            cmee_ = rest[1] - '0';
            return kOk;
        }
        return error(false);
    }

    return error(false);
}

// Unknown commands and syntax errors are plain ERROR in every mode; only
// failures of a known extended command are reported as +CME ERROR when the
// client asked for it (code 4: operation not supported).
std::string AtEngine::error(bool meError) const {
    if (meError && cmee_ == 1) return framed("+CME ERROR: 4");
    if (meError && cmee_ == 2) return framed("+CME ERROR: operation not supported");
    return framed("ERROR");
}

} // namespace atdemo
