// USB control pipe: the STOP/OK messages, acknowledgement reads, and the
// process end when the pipes cannot be made.
#include <android/log.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "log_capture.h"
#include "wait.h"

namespace {

using attest::LogCapture;
using attest::waitUntil;

constexpr int I = ANDROID_LOG_INFO;

// Runs Wait_Ack on its own thread; start() returns once the thread blocks in read().
struct AckWaiter {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    pthread_t handle{};
    std::thread thread;
    void start() {
        thread = std::thread([this] {
            handle = pthread_self();
            tid = static_cast<pid_t>(syscall(SYS_gettid));
            EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
            returned = true;
        });
        ASSERT_TRUE(waitUntil([this] {
            long number = -1;
            if (tid.load() != 0) std::ifstream("/proc/self/task/" + std::to_string(tid.load()) + "/syscall") >> number;
            return number == SYS_read;
        }));
    }
    void finish() {
        if (!waitUntil([this] { return returned.load(); }, std::chrono::seconds(20))) {
            ADD_FAILURE() << "USB_Control_Pipe_Wait_Ack did not return";
            std::_Exit(1);
        }
        thread.join();
    }
};

TEST(UsbControlPipe, StopAndOkTravelAndOneReadTakesEveryWaitingMessage) {
    LogCapture log;
    USB_Control_Pipe_Init();
    EXPECT_TRUE(log.has(I, "USB_Control_Pipe_Init: ok\n"));
    EXPECT_EQ(1, USB_Control_Pipe_Send_Stop());
    EXPECT_TRUE(log.has(I, "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n"));
    char stop[80];
    EXPECT_EQ(4, read(s_control_pipe[0], stop, sizeof stop));
    EXPECT_EQ(0, std::memcmp(stop, "STOP", 4));

    // The caller waits until the reader acknowledges.
    AckWaiter waiter;
    waiter.start();
    EXPECT_FALSE(waiter.returned.load());
    EXPECT_EQ(1, USB_Control_Pipe_Send_Ack());
    waiter.finish();
    EXPECT_TRUE(log.has(I, "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n"));
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx ack: OK\n")) << log.dump();
    USB_Control_Pipe_Send_Ack();
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx ack: OKOK\n")) << log.dump();
}

// Whatever the acknowledgement read returns ends the wait, a failure too: here
// a signal whose handler does not restart the call (the way a host can free a
// caller whose reader will never answer).
TEST(UsbControlPipe, InterruptedAcknowledgementReadEndsTheWait) {
    USB_Control_Pipe_Init();
    LogCapture log;
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));
    AckWaiter waiter;
    waiter.start();
    // The signal is repeated until the wait ends: one that lands in the
    // instant before the read starts (a sanitizer's interceptor runs code
    // there) would be taken by the handler and change nothing.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!waiter.returned.load() && std::chrono::steady_clock::now() < deadline) {
        ASSERT_EQ(0, pthread_kill(waiter.handle, SIGUSR1));
        waitUntil([&] { return waiter.returned.load(); }, std::chrono::milliseconds(50));
    }
    waiter.finish();
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx cnt=-1\n")) << log.dump();
}

// Counts of the creation messages, printed when the process exits.
std::atomic<int> g_controlErrors{0}, g_ackErrors{0}, g_ok{0};
rlimit g_savedLimit{};  // the descriptor limit before the test took it away

void countingLogger(const struct __android_logger_data*, const char* message) {
    const std::string text = message != nullptr ? message : "";
    if (text == "zund: error creating s_control_pipe\n") ++g_controlErrors;
    if (text == "zund: error creating s_ack_pipe\n") ++g_ackErrors;
    if (text == "USB_Control_Pipe_Init: ok\n") ++g_ok;
}

void reportCounts() {
    std::fprintf(stderr, "control errors=%d ack errors=%d ok=%d\n", g_controlErrors.load(), g_ackErrors.load(),
                 g_ok.load());
    // Give the descriptors back before the rest of the exit runs: the
    // sanitizers' exit-time work (the leak check reads /proc, the type check
    // of the static destructors reads the memory map) fails without them and
    // turns the expected exit into a false report.
    setrlimit(RLIMIT_NOFILE, &g_savedLimit);
}

// With no descriptor left to the process, every pipe() fails.
void initWithoutDescriptors() {
    __android_log_set_logger(countingLogger);
    std::atexit(reportCounts);
    getrlimit(RLIMIT_NOFILE, &g_savedLimit);
    rlimit limit = g_savedLimit;
    limit.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &limit);
    USB_Control_Pipe_Init();
}

// Slow: six one-second pauses before the process ends.
TEST(UsbControlPipeDeathTest, CreationFailureEndsTheProcessAfterSixAttempts) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_EXIT(initWithoutDescriptors(), testing::ExitedWithCode(static_cast<unsigned char>(-10)),
                "control errors=6 ack errors=0 ok=0");
}

}  // namespace
