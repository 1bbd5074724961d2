// Runs a command in a private mount namespace with pseudo-terminals at /dev/ttyS0..2 and /dev/ttyGS0 and a
// kernel command line of the caller's choosing (tests/support/tty_harness.h), for the end-to-end dialogues of
// real AT clients with the demo host. The command inherits both ends of every pty; AT_E2E_PTY_<name> names
// the descriptor of the far end (the master), where a client speaks, e.g. AT_E2E_PTY_ttyGS0=5.
//
//   e2e_tty_namespace CMDLINE COMMAND [ARG]...
//
// Exit status: the command's; 77 (ctest's skip) when no namespace can be made and nothing asks for one;
// 1 when it cannot be made and the caller is root, CI is set or AT_REQUIRE_NAMESPACES=1: CI runs as root
// and must run these tests, not skip them.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "tty_harness.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: e2e_tty_namespace CMDLINE COMMAND [ARG]...\n");
        return 2;
    }
    attest::TtyHarness tty;
    std::string why;
    const bool ready = tty.start(&why) && (tty.setCmdline(argv[1]) || (why = "bind a file over /proc/cmdline", false));
    if (!ready) {
        const char* ci = std::getenv("CI");
        const char* require = std::getenv("AT_REQUIRE_NAMESPACES");
        const bool required = geteuid() == 0 || (ci != nullptr && *ci != '\0' && std::string(ci) != "0" &&
                                                 std::string(ci) != "false") ||
                              (require != nullptr && std::string(require) == "1");
        std::fprintf(stderr, "e2e: no mount namespace for the ptys (%s)%s\n", why.c_str(),
                     required ? "" : "; skipped (AT_REQUIRE_NAMESPACES=1 fails instead)");
        return required ? 1 : 77;
    }
    for (int i = 0; i < attest::TtyHarness::kPtyCount; ++i) {
        // Both ends stay open in the command: the slave keeps the pty's settings while the host is not running.
        fcntl(tty.master(i), F_SETFD, 0);
        fcntl(tty.slave(i), F_SETFD, 0);
        const std::string name = i == attest::TtyHarness::kUsb ? "ttyGS0" : "ttyS" + std::to_string(i);
        setenv(("AT_E2E_PTY_" + name).c_str(), std::to_string(tty.master(i)).c_str(), 1);
    }
    execvp(argv[2], argv + 2);
    std::perror("e2e: exec");
    return 1;
}
