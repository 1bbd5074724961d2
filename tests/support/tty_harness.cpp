#include "tty_harness.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "wait.h"

namespace attest {
namespace {

constexpr const char* kHarnessDir = "/dev/.at_harness";
constexpr const char* kCmdlinePath = "/proc/cmdline";

// Notes why a step failed, with errno's text, and returns false.
bool fail(std::string* why, const std::string& what) {
    *why = what + ": " + std::strerror(errno);
    return false;
}

bool writeFile(const std::string& path, const std::string& content) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const ssize_t n = write(fd, content.data(), content.size());
    close(fd);
    return n == static_cast<ssize_t>(content.size());
}

// Binds source over a new empty file (or directory) target.
bool bindNew(const std::string& source, const std::string& target, bool dir, std::string* why) {
    if (dir ? mkdir(target.c_str(), 0755) != 0 : !writeFile(target, "")) return fail(why, "create " + target);
    if (mount(source.c_str(), target.c_str(), nullptr, dir ? MS_BIND | MS_REC : MS_BIND, nullptr) != 0) {
        return fail(why, "bind " + source + " over " + target);
    }
    return true;
}

// Unmounts whatever is bound over path; not being a mount point is fine.
void unbind(const std::string& path) { umount2(path.c_str(), MNT_DETACH); }

// In CI (CI set) or with AT_REQUIRE_NAMESPACES=1 a missing namespace fails a test instead of skipping it.
bool namespacesRequired() {
    const char* ci = std::getenv("CI");
    const char* req = std::getenv("AT_REQUIRE_NAMESPACES");
    return (ci != nullptr && *ci != '\0' && std::strcmp(ci, "0") != 0 && std::strcmp(ci, "false") != 0) ||
           (req != nullptr && std::strcmp(req, "1") == 0);
}

std::string devicePath(int index) {
    return index == TtyHarness::kUsb ? "/dev/ttyGS0" : "/dev/ttyS" + std::to_string(index);
}

}  // namespace

TtyHarness::~TtyHarness() {
    for (int i = 0; i < kPtyCount; ++i) {
        if (slave_[i] >= 0) close(slave_[i]);
        if (master_[i] >= 0) close(master_[i]);
    }
}

bool TtyHarness::start(std::string* why) {
    if (unshare(CLONE_NEWNS) != 0) return fail(why, "unshare(CLONE_NEWNS) (a process with threads gets EINVAL)");
    // Nothing mounted from here on may propagate back to the host.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return fail(why, "make / private");
    std::string slaveNames[kPtyCount];
    for (int i = 0; i < kPtyCount; ++i) {
        master_[i] = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_[i] < 0 || grantpt(master_[i]) != 0 || unlockpt(master_[i]) != 0 ||
            ptsname_r(master_[i], name, sizeof name) != 0) {
            return fail(why, "posix_openpt");
        }
        slaveNames[i] = name;
        slave_[i] = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_[i] < 0) return fail(why, std::string("open ") + name);
    }
    // Stage the new /dev on a tmpfs, then move it over /dev in one step.
    char stage[] = "/tmp/at_tty_XXXXXX";
    if (mkdtemp(stage) == nullptr) return fail(why, "mkdtemp");
    const std::string st = stage;
    struct stat ignored;
    bool ok = mount("tmpfs", stage, "tmpfs", MS_NOSUID, "mode=755") == 0 || fail(why, "mount tmpfs");
    for (const char* node : {"null", "zero", "full", "random", "urandom", "tty"}) {
        const std::string host = std::string("/dev/") + node;
        if (ok && lstat(host.c_str(), &ignored) == 0) ok = bindNew(host, st + "/" + node, false, why);
    }
    ok = ok && bindNew("/dev/pts", st + "/pts", true, why);
    // ptmx finds its pty instance through the pts directory beside it; a
    // bound copy of the node has none, so point it at the instance's own.
    ok = ok && (symlink("pts/ptmx", (st + "/ptmx").c_str()) == 0 || fail(why, "symlink ptmx"));
    if (ok && lstat("/dev/shm", &ignored) == 0) ok = bindNew("/dev/shm", st + "/shm", true, why);
    ok = ok && ((symlink("/proc/self/fd", (st + "/fd").c_str()) == 0 &&
                 symlink("/proc/self/fd/0", (st + "/stdin").c_str()) == 0 &&
                 symlink("/proc/self/fd/1", (st + "/stdout").c_str()) == 0 &&
                 symlink("/proc/self/fd/2", (st + "/stderr").c_str()) == 0) ||
                fail(why, "symlink"));
    for (int i = 0; i < kPtyCount && ok; ++i) ok = bindNew(slaveNames[i], st + devicePath(i).substr(4), false, why);
    ok = ok && (mkdir((st + "/.at_harness").c_str(), 0755) == 0 || fail(why, "mkdir .at_harness"));
    ok = ok && (mount(stage, "/dev", nullptr, MS_MOVE, nullptr) == 0 || fail(why, "move the staged tmpfs over /dev"));
    if (!ok) unbind(st);
    rmdir(stage);  // empty on the host once the tmpfs has moved away
    if (!ok) return false;
    cmdlineFile_ = std::string(kHarnessDir) + "/cmdline";
    if (!setCmdline("\n")) return fail(why, "bind a file over /proc/cmdline");
    return true;
}

void TtyHarness::startForTest() {
    std::string why;
    if (start(&why)) return;
    if (namespacesRequired()) FAIL() << "cannot set up the pseudo-terminals at the device paths: " << why;
    GTEST_SKIP() << "no private mount namespace for the tty tests (" << why
                 << "); set AT_REQUIRE_NAMESPACES=1 to make this a failure";
}

bool TtyHarness::bindCmdline(const std::string& source) {
    unbind(kCmdlinePath);
    return mount(source.c_str(), kCmdlinePath, nullptr, MS_BIND, nullptr) == 0;
}

bool TtyHarness::setCmdline(const std::string& content) {
    return writeFile(cmdlineFile_, content) && bindCmdline(cmdlineFile_);
}

bool TtyHarness::makeCmdlineUnopenable() {
    // open() of a socket file fails with ENXIO, even for root.
    const std::string path = std::string(kHarnessDir) + "/cmdline.sock";
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    const bool bound = bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
    close(s);
    return bound && bindCmdline(path);
}

bool TtyHarness::makeCmdlineUnreadable() {
    // This process's memory file opens, and reading it at offset 0 (an
    // address that is never mapped) fails with EIO.
    return bindCmdline("/proc/" + std::to_string(getpid()) + "/mem");
}

bool TtyHarness::removeDevice(const std::string& path) {
    unbind(path);
    return unlink(path.c_str()) == 0;
}

bool TtyHarness::bindOver(const std::string& source, const std::string& target) {
    unbind(target);
    return mount(source.c_str(), target.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool waitInPselect(pid_t tid, std::chrono::milliseconds limit) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/syscall";
    return waitUntil(
        [&path] {
            long nr = -1;
            std::ifstream(path) >> nr;
#ifdef SYS_pselect6_time64
            if (nr == SYS_pselect6_time64) return true;
#endif
            return nr == SYS_pselect6;
        },
        limit);
}

}  // namespace attest
