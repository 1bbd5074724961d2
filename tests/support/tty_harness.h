// Real pseudo-terminals at the real device paths, for tests of the tty
// drivers and of everything above them. The harness puts the test process
// into a private mount namespace and there mounts a small tmpfs over /dev
// (null, zero, full, random, urandom, tty, ptmx, pts, shm, and the pty slaves
// bound over /dev/ttyS0-2 and /dev/ttyGS0) and a file of the test's choosing
// over /proc/cmdline. The host's files are never touched.
//
// unshare(CLONE_NEWNS) fails with EINVAL in a process that already has more
// than one thread, so start() must run before the test starts any thread.
// A death test's child makes its own namespace.
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

    // On failure returns false and says why in *why.
    bool start(std::string* why);
    // start() for a gtest test: fails the test (CI, AT_REQUIRE_NAMESPACES=1)
    // or skips it when there is no namespace to be had.
    void startForTest();

    // Master side of the pty behind /dev/ttyS<index> or /dev/ttyGS0 (kUsb):
    // bytes written here are what the driver reads.
    int master(int index) const { return master_[index]; }
    // A slave descriptor held open for the whole test, so that the pty keeps
    // its settings between the driver's closes and opens.
    int slave(int index) const { return slave_[index]; }

    // Replaces what /proc/cmdline reads as, exactly (no newline is added).
    bool setCmdline(const std::string& content);
    bool makeCmdlineUnopenable();  // fopen fails (a socket is bound over it)
    bool makeCmdlineUnreadable();  // reading fails after the open (EIO)
    // Removes a device file (opening it: ENOENT); binds source over target.
    bool removeDevice(const std::string& path);
    bool bindOver(const std::string& source, const std::string& target);

private:
    bool bindCmdline(const std::string& source);

    int master_[kPtyCount] = {-1, -1, -1, -1};
    int slave_[kPtyCount] = {-1, -1, -1, -1};
    std::string cmdlineFile_;
};

// Waits until thread tid of this process is inside pselect (the drivers'
// wait), read from /proc/self/task/<tid>/syscall.
bool waitInPselect(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Fixture: starts the harness in SetUp, before the test has any thread.
class TtyHarnessTest : public ::testing::Test {
protected:
    void SetUp() override { tty.startForTest(); }
    TtyHarness tty;
};

}  // namespace attest
