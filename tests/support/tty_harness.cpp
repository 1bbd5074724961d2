#include "tty_harness.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "wait.h"

namespace attest {

TtyHarness::~TtyHarness() {
    for (int fd : master_) close(fd);
    for (int fd : slave_) close(fd);
}

bool TtyHarness::start(std::string* why) {
    auto fail = [why](const std::string& what) {
        *why = what + ": " + std::strerror(errno);
        return false;
    };
    if (unshare(CLONE_NEWNS) != 0) return fail("unshare(CLONE_NEWNS)");
    // Nothing mounted from here on may propagate back to the host.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail("make / private");
    std::vector<std::pair<std::string, std::string>> binds;  // {host path, name in the new /dev}
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty", "shm", "pts"}) {
        binds.push_back({std::string("/dev/") + node, node});
    }
    for (int i = 0; i < kPtyCount; ++i) {
        char name[128];
        master_[i] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_[i] < 0 || grantpt(master_[i]) != 0 || unlockpt(master_[i]) != 0 ||
            ptsname_r(master_[i], name, sizeof name) != 0 ||
            (slave_[i] = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) < 0) {
            return fail("open a pty");
        }
        binds.push_back({name, nodeName(i)});
    }
    // Stage the new /dev on a tmpfs, then move it over /dev in one step.
    char stage[] = "/tmp/at_tty_XXXXXX";
    if (mkdtemp(stage) == nullptr) return fail("mkdtemp");
    bool ok = mount("tmpfs", stage, "tmpfs", MS_NOSUID, "mode=755") == 0 || fail("mount a tmpfs");
    for (const auto& [source, name] : binds) {
        const std::string target = std::string(stage) + "/" + name;
        struct stat st;
        if (!ok || lstat(source.c_str(), &st) != 0) continue;
        ok = ((S_ISDIR(st.st_mode) ? mkdir(target.c_str(), 0755) == 0 : static_cast<bool>(std::ofstream(target))) &&
              mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0) ||
             fail("bind " + source);
    }
    // ptmx finds its pty instance through the pts directory beside it.
    ok = ok && (symlink("pts/ptmx", (std::string(stage) + "/ptmx").c_str()) == 0 || fail("symlink ptmx"));
    ok = ok && (mount(stage, "/dev", nullptr, MS_MOVE, nullptr) == 0 || fail("move the staged tmpfs over /dev"));
    if (!ok) umount2(stage, MNT_DETACH);
    rmdir(stage);  // empty on the host once the tmpfs has moved away
    return ok && (setCmdline("\n") || fail("bind a file over /proc/cmdline"));
}

bool TtyHarness::required() {
    const std::string ci = std::getenv("CI") ?: "", require = std::getenv("AT_REQUIRE_NAMESPACES") ?: "";
    return (ci != "" && ci != "0" && ci != "false") || require == "1";
}

void TtyHarness::startForTest() {
    std::string why;
    if (start(&why)) return;
    if (required()) FAIL() << "no ptys: " << why;
    GTEST_SKIP() << "no mount namespace for the ptys (" << why << "); AT_REQUIRE_NAMESPACES=1 fails instead";
}

bool TtyHarness::setCmdline(const std::string& content) {
    umount2("/proc/cmdline", MNT_DETACH);
    if (!(std::ofstream("/dev/.at_cmdline", std::ios::binary) << content)) return false;
    return mount("/dev/.at_cmdline", "/proc/cmdline", nullptr, MS_BIND, nullptr) == 0;
}

bool waitInPselect(pid_t tid, std::chrono::milliseconds limit) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
#ifndef SYS_pselect6_time64
    constexpr long SYS_pselect6_time64 = SYS_pselect6;  // only 32-bit systems have it
#endif
    auto inPselect = [&path] {
        long nr = -1;
        std::ifstream(path) >> nr;
        return nr == SYS_pselect6 || nr == SYS_pselect6_time64;
    };
    return waitUntil(inPselect, limit);
}

}  // namespace attest
