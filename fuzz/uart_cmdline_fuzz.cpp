// Fuzz target: kernel command lines into the UART port scan. Each input is
// written to a file bound over /proc/cmdline and UART_GetAvailablePorts is
// called; its mask must equal the mask of a small reference scan written
// here from the rules alone: the file is read in pieces as fgets gives them
// (up to 4095 bytes, a piece ends after a newline) and each piece as a C
// string (up to its first NUL); tokens are split on single spaces only;
// a token counts when it begins with "console=", it is cut at its first
// comma, and atoi of the text after "ttyS" picks bit 0, 1 or 2.
//
// The bind needs a private mount namespace, made once in
// LLVMFuzzerInitialize while the process still has one thread (libFuzzer
// starts its own threads only later). The test harness of the tty tests does
// the same with a whole /dev, but it is built on gtest; this target needs
// only the one file over /proc/cmdline, so it makes its namespace itself.
// Without the privilege for a namespace the target fails at start (under CI
// or AT_REQUIRE_NAMESPACES=1) or runs every input as a no-op, saying so.
#include <android/log.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "drivers/uart_x_drv.h"
#include "fuzz/fuzz_common.h"

namespace {

constexpr const char* kCmdline = "/proc/cmdline";
constexpr size_t kPiece = 4095;  // what one fgets into 4096 bytes takes at most

int g_fd = -1;  // the file bound over /proc/cmdline
bool g_active = false;

void quietLog(const struct __android_logger_data*, const char*) {}

bool required() {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && *ci != '\0' && std::strcmp(ci, "0") != 0 && std::strcmp(ci, "false") != 0) return true;
    const char* req = std::getenv("AT_REQUIRE_NAMESPACES");
    return req != nullptr && std::strcmp(req, "1") == 0;
}

bool writeFile(const uint8_t* data, size_t size) {
    if (ftruncate(g_fd, 0) != 0) return false;
    size_t done = 0;
    while (done < size) {
        const ssize_t n = pwrite(g_fd, data + done, size - done, static_cast<off_t>(done));
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return done == size;
}

int referenceFlag(std::string token) {
    const size_t comma = token.find(',');
    if (comma != std::string::npos) token.resize(comma);
    const size_t at = token.find("ttyS");
    if (at == std::string::npos) return 0;
    const int n = std::atoi(token.c_str() + at + 4);
    return n >= 0 && n <= 2 ? 1 << n : 0;
}

int referenceMask(const uint8_t* data, size_t size) {
    int mask = 0;
    size_t pos = 0;
    while (pos < size) {
        // One fgets piece.
        size_t end = pos;
        while (end < size && end - pos < kPiece) {
            if (data[end++] == '\n') break;
        }
        const std::string piece(reinterpret_cast<const char*>(data + pos), end - pos);
        pos = end;
        const std::string line = piece.substr(0, std::strlen(piece.c_str()));  // up to the first NUL
        size_t start = 0;
        while (start <= line.size()) {
            size_t space = line.find(' ', start);
            if (space == std::string::npos) space = line.size();
            const std::string token = line.substr(start, space - start);
            if (token.compare(0, 8, "console=") == 0) mask |= referenceFlag(token);
            start = space + 1;
        }
    }
    return mask;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    __android_log_set_logger(quietLog);
    std::string why;
    char path[] = "/tmp/at_fuzz_cmdline_XXXXXX";
    g_fd = mkostemp(path, O_CLOEXEC);
    if (g_fd < 0) {
        why = "mkstemp failed";
    } else {
        if (unshare(CLONE_NEWNS) != 0) {
            why = std::string("unshare(CLONE_NEWNS): ") + std::strerror(errno);
        } else if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            why = std::string("make / private: ") + std::strerror(errno);
        } else if (mount(path, kCmdline, nullptr, MS_BIND, nullptr) != 0) {
            why = std::string("bind over /proc/cmdline: ") + std::strerror(errno);
        } else {
            g_active = true;
        }
        // The bind and g_fd hold the file; its name on the host is not needed.
        unlink(path);
    }
    if (!g_active) {
        std::fprintf(stderr, "uart_cmdline: no private mount namespace (%s)%s\n", why.c_str(),
                     required() ? "" : "; every input is skipped");
        if (required()) std::exit(1);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!g_active) return 0;
    if (!writeFile(data, size)) {
        std::fprintf(stderr, "uart_cmdline: cannot write the command line file\n");
        std::abort();
    }
    const int got = UART_GetAvailablePorts();
    const int want = referenceMask(data, size);
    if (got != want) {
        std::fprintf(stderr, "uart_cmdline: mask %d, the reference says %d\n", got, want);
        std::abort();
    }
    return 0;
}
