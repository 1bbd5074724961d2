// e2e_tty_namespace CMDLINE COMMAND [ARG]...: runs COMMAND in a private mount namespace with ptys at
// /dev/ttyS0..2 and /dev/ttyGS0 and CMDLINE as /proc/cmdline (tests/support/tty_harness.h), for the real
// AT clients' dialogues with the demo host. The command inherits both ends of every pty; AT_E2E_PTY_<name>
// names the master's descriptor, where a client speaks. Exit status: the command's; 77 (ctest's skip) with no
// namespace, or 1 when one is required (root, CI or AT_REQUIRE_NAMESPACES=1: CI runs as root and must run these).
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
        const bool required = geteuid() == 0 || attest::TtyHarness::required();
        std::fprintf(stderr, "e2e: no mount namespace for the ptys (%s)%s\n", why.c_str(),
                     required ? "" : "; skipped (AT_REQUIRE_NAMESPACES=1 fails instead)");
        return required ? 1 : 77;
    }
    for (int i = 0; i < attest::TtyHarness::kPtyCount; ++i) {
        // Both ends stay open in the command: the slave keeps the pty's settings while the host is not running.
        fcntl(tty.master(i), F_SETFD, 0);
        fcntl(tty.slave(i), F_SETFD, 0);
        setenv(("AT_E2E_PTY_" + attest::TtyHarness::nodeName(i)).c_str(), std::to_string(tty.master(i)).c_str(), 1);
    }
    execvp(argv[2], argv + 2);
    std::perror("e2e: exec");
    return 1;
}
