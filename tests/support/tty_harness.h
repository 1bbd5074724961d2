// Real pseudo-terminals at the real device paths: in a private mount namespace, a tmpfs over /dev (the usual
// nodes; pty slaves over /dev/ttyS0-2 and /dev/ttyGS0) and a file of the test's choosing over /proc/cmdline.
// start() must run before the process has a second thread, or unshare(CLONE_NEWNS) fails.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <string>

namespace attest {

class TtyHarness {
public:
    static constexpr int kUsb = 3;  // index of /dev/ttyGS0; 0..2 are /dev/ttyS0..2
    static constexpr int kPtyCount = 4;

    TtyHarness() = default;
    ~TtyHarness();
    TtyHarness(const TtyHarness&) = delete;
    TtyHarness& operator=(const TtyHarness&) = delete;

    bool start(std::string* why);  // on failure returns false and says why
    static std::string nodeName(int index) { return index == kUsb ? "ttyGS0" : "ttyS" + std::to_string(index); }
    // A missing namespace fails instead of skipping: in CI, or with AT_REQUIRE_NAMESPACES=1.
    static bool required();
    // start() for a gtest test: fails it in CI (or with AT_REQUIRE_NAMESPACES=1), else skips it.
    void startForTest();
    // The master, where the driver's input is written; a slave held open so that the pty keeps its settings.
    int master(int index) const { return master_[index]; }
    int slave(int index) const { return slave_[index]; }
    // Replaces what /proc/cmdline reads as, exactly (no newline is added).
    bool setCmdline(const std::string& content);

private:
    int master_[kPtyCount] = {-1, -1, -1, -1};
    int slave_[kPtyCount] = {-1, -1, -1, -1};
};

// Waits until thread tid of this process is inside pselect (the drivers' wait).
bool waitInPselect(pid_t tid, std::chrono::milliseconds limit = std::chrono::seconds(10));

// Fixture: starts the harness in SetUp, before the test has any thread.
class TtyHarnessTest : public ::testing::Test {
protected:
    void SetUp() override { tty.startForTest(); }
    TtyHarness tty;
};

}  // namespace attest
