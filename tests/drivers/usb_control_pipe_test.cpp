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
#include <fstream>
#include <string>
#include <thread>

#include "drivers/usb_control_pipe.h"
#include "drivers/usb_control_pipe_internal.h"
#include "log_capture.h"
#include "wait.h"

namespace {

using attest::LogCapture;
constexpr int I = ANDROID_LOG_INFO;
constexpr int E = ANDROID_LOG_ERROR;

// Wait_Ack on its own thread; the constructor returns once it blocks in read().
struct AckWaiter {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> returned{false};
    pthread_t handle{};
    std::thread thread{[this] {
        handle = pthread_self();
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
        returned = true;
    }};
    AckWaiter() {
        EXPECT_TRUE(attest::waitUntil([this] {
            long number = -1;
            if (tid.load() != 0) std::ifstream("/proc/self/task/" + std::to_string(tid.load()) + "/syscall") >> number;
            return number == SYS_read;
        }));
    }
    ~AckWaiter() {
        if (!attest::waitUntil([this] { return returned.load(); }, std::chrono::seconds(20))) {
            ADD_FAILURE() << "USB_Control_Pipe_Wait_Ack did not return";
            std::_Exit(1);
        }
        thread.join();
    }
};

TEST(UsbControlPipe, StopAndOkTravelAndOneReadTakesEveryWaitingMessage) {
    LogCapture log;
    USB_Control_Pipe_Init();
    EXPECT_EQ(1, USB_Control_Pipe_Send_Stop());
    char stop[80];
    EXPECT_EQ(4, read(s_control_pipe[0], stop, sizeof stop));
    EXPECT_EQ("STOP", std::string(stop, 4));
    {
        AckWaiter waiter;  // waits until the reader acknowledges
        EXPECT_FALSE(waiter.returned.load());
        EXPECT_EQ(1, USB_Control_Pipe_Send_Ack());
    }
    USB_Control_Pipe_Send_Ack();
    USB_Control_Pipe_Send_Ack();
    EXPECT_EQ(1, USB_Control_Pipe_Wait_Ack());
    for (const char* line : {"USB_Control_Pipe_Init: ok\n", "  USB_Control_Pipe_Send_Stop : send STOP to reader thread\n",
                             "  USB_Control_Pipe_Send_Ack : send OK to RPC task\n",
                             "   USB_Control_Pipe_Wait_Ack: rx ack: OK\n", "   USB_Control_Pipe_Wait_Ack: rx ack: OKOK\n"}) {
        EXPECT_TRUE(log.has(I, line)) << line << log.dump();
    }
}

// Whatever the acknowledgement read returns ends the wait, a failure too: here
// a signal whose handler does not restart the call (the way a host can free a
// caller whose reader will never answer).
TEST(UsbControlPipe, InterruptedAcknowledgementReadEndsTheWait) {
    USB_Control_Pipe_Init();
    LogCapture log;
    struct sigaction action {};
    action.sa_handler = [](int) {};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, nullptr));  // no SA_RESTART
    {
        AckWaiter waiter;
        // Repeated until the wait ends: a signal that lands just before the
        // read starts (a sanitizer's interceptor runs code there) is lost.
        for (int i = 0; i < 400 && !waiter.returned.load(); ++i) {
            ASSERT_EQ(0, pthread_kill(waiter.handle, SIGUSR1));
            attest::waitUntil([&] { return waiter.returned.load(); }, std::chrono::milliseconds(50));
        }
    }
    EXPECT_TRUE(log.has(I, "   USB_Control_Pipe_Wait_Ack: rx cnt=-1\n")) << log.dump();
}

// With no descriptor left to the process every pipe() fails: six attempts
// a second apart, then the process ends.
LogCapture* g_log = nullptr;
rlimit g_savedLimit{};

void initWithoutDescriptors() {
    g_log = new LogCapture;
    std::atexit([] {
        // Descriptors back first: the sanitizers' exit-time work needs them.
        setrlimit(RLIMIT_NOFILE, &g_savedLimit);
        std::fprintf(stderr, "control errors=%d ack errors=%d\n", g_log->count(E, "zund: error creating s_control_pipe\n"),
                     g_log->count(E, "zund: error creating s_ack_pipe\n"));
    });
    getrlimit(RLIMIT_NOFILE, &g_savedLimit);
    rlimit none = g_savedLimit;
    none.rlim_cur = 0;
    setrlimit(RLIMIT_NOFILE, &none);
    USB_Control_Pipe_Init();
}

TEST(UsbControlPipeDeathTest, CreationFailureEndsTheProcessAfterSixAttempts) {
    testing::GTEST_FLAG(death_test_style) = "threadsafe";
    EXPECT_EXIT(initWithoutDescriptors(), testing::ExitedWithCode(static_cast<unsigned char>(-10)),
                "control errors=6 ack errors=0");
}

}  // namespace
