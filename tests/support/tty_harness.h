// Real pseudo-terminals at the real device paths, for tests of the tty
// drivers and of everything above them.
//
// The harness puts the test process into a private mount namespace of its own
// and there mounts a small tmpfs over /dev holding only what the tests need:
// null, zero, full, random, urandom, tty, ptmx (-> pts/ptmx), pts, shm, and the pty slaves
// bound over /dev/ttyS0, /dev/ttyS1, /dev/ttyS2 and /dev/ttyGS0. A file of
// the test's choosing is bound over /proc/cmdline. The host's /dev and
// /proc/cmdline are never touched; everything disappears with the process.
//
// unshare(CLONE_NEWNS) fails with EINVAL in a process that already has more
// than one thread, so start() must run before the test starts any thread;
// TtyHarnessTest::SetUp does. gtest runs every test in its own process
// (ctest), and a death test's child simply makes its own namespace again.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>

namespace attest {

class TtyHarness {
public:
    // Index of the USB gadget tty among the ptys; 0..2 are /dev/ttyS0..2.
    static constexpr int kUsb = 3;
    static constexpr int kPtyCount = 4;

    TtyHarness() = default;
    ~TtyHarness();
    TtyHarness(const TtyHarness&) = delete;
    TtyHarness& operator=(const TtyHarness&) = delete;

    // Makes the namespace, the ptys and the mounts. On failure returns false
    // and says why in *why.
    bool start(std::string* why);
    bool started() const { return started_; }

    // Master side of the pty behind /dev/ttyS<index> (index 0..2) or
    // /dev/ttyGS0 (kUsb). Bytes written here are what the driver reads.
    int master(int index) const { return master_[index]; }
    // A slave descriptor that the harness keeps open for the whole test, so
    // that the pty keeps its settings between the driver's closes and opens
    // (a pty's settings are reset when its last slave descriptor closes).
    // Tests may use it to set settings before an open.
    int slave(int index) const { return slave_[index]; }
    // The device path of a pty (/dev/ttyS1, /dev/ttyGS0, ...).
    static std::string devicePath(int index);

    // Replaces what /proc/cmdline reads as, exactly (no newline is added).
    bool setCmdline(const std::string& content);
    // Makes fopen("/proc/cmdline") fail (a socket is bound over it: ENXIO).
    bool makeCmdlineUnopenable();
    // Makes reading /proc/cmdline fail after it opened (EIO).
    bool makeCmdlineUnreadable();

    // Removes a device file from the namespace's /dev (for example
    // "/dev/ttyGS0", so that opening it fails with ENOENT).
    bool removeDevice(const std::string& path);
    // Binds source over the existing file target (for example /dev/null over
    // /dev/ttyS1, a device that opens but is no tty).
    bool bindOver(const std::string& source, const std::string& target);

private:
    bool bindCmdline(const std::string& source);

    bool started_ = false;
    int master_[kPtyCount] = {-1, -1, -1, -1};
    int slave_[kPtyCount] = {-1, -1, -1, -1};
    std::string cmdlineFile_;
};

// True when a test that cannot make its namespace must fail rather than skip:
// in CI (CI set) or when AT_REQUIRE_NAMESPACES=1.
bool namespacesRequired();

// Waits until thread tid of this process is inside pselect (the drivers'
// wait; read from /proc/self/task/<tid>/syscall). For tests that want to act
// while a driver waits, instead of sleeping and hoping.
bool waitInPselect(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Fixture: starts the harness in SetUp, before the test has any thread.
class TtyHarnessTest : public ::testing::Test {
protected:
    void SetUp() override;
    TtyHarness tty;
};

}  // namespace attest
