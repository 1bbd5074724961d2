// Command-line pieces shared by the demo programs: option values, numbers
// checked against a range, and text with its control characters made
// visible. Every error names the program and ends in its usage text.
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace atdemo {

struct CommandLine {
    const char* program;      // prefix of every error message
    void (*usage)(int code);  // prints the usage text and exits with `code`
    int argc;
    char** argv;
    int i = 0;                // the option being read

    // Prints "<program>: <message>" on stderr and exits through the usage.
    [[noreturn]] void fail(const std::string& message) const {
        std::fprintf(stderr, "%s: %s\n", program, message.c_str());
        usage(2);
        std::exit(2);  // usage() never returns; this keeps the promise above
    }

    // The value after option argv[i], which is consumed with it.
    const char* value() {
        if (i + 1 >= argc) fail(std::string(argv[i]) + " needs a value");
        return argv[++i];
    }

    // `text` as a decimal number in [lo, hi]; anything else is "bad <what>".
    long number(const char* text, long lo, long hi, const char* what) const {
        char* end = nullptr;
        errno = 0;
        const long v = std::strtol(text, &end, 10);
        if (errno != 0 || end == text || *end != '\0' || v < lo || v > hi) {
            fail(std::string("bad ") + what + " '" + text + "'");
        }
        return v;
    }
};

// Control characters made visible, so that CR LF framing shows when printed.
inline std::string visible(const std::string& s) {
    std::string out;
    for (unsigned char c : s) {
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

}  // namespace atdemo
