// A host process ends with exit() (or a return from main) while clients are
// still registered and their readers wait: inside the OS-services library on
// an in-process channel and on a paused UDP channel, in the kernel on a UDP
// channel that reads. Static destructors run while those threads still wait,
// so the process must end anyway. Only the exported API is used.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "drivers/rndis_drv.h"
#include "serialmgr/serialmgr.h"
#include "stubs/other_stubs.h"
#include "wait.h"

namespace {

std::atomic<int> g_readersStarted{0};
std::atomic<int> g_blocks{0};  // blocks received on device 14

Int32 hostSend(UInt32, const UInt8*, UInt32 len) { return static_cast<Int32>(len); }
Int32 hostReady() {
    ++g_readersStarted;
    return 1;
}
void onData(SerialMgrClientInfo* client, UInt32, UInt8*, UInt32) {
    if (client->devID == SERIAL_DEVICE_RNDIS) ++g_blocks;
}
void onEvent(SerialMgrClientInfo*, UInt32, UInt32, UInt32) {}

// A UDP port that nothing is bound to just now.
int freeUdpPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t size = sizeof addr;
    int port = -1;
    if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &size) == 0) {
        port = ntohs(addr.sin_port);
    }
    if (fd >= 0) close(fd);
    return port;
}

void sendTo(int port) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    (void)sendto(fd, "AT\r", 3, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
}

// Whether every reader thread ("SerMgr") of this process is asleep: parked on
// a semaphore or waiting for a datagram.
bool readersAsleep() {
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) return false;
    int readers = 0;
    bool asleep = true;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.') continue;
        const std::string dir = std::string("/proc/self/task/") + entry->d_name;
        std::string comm;
        std::getline(std::ifstream(dir + "/comm"), comm);
        if (comm != "SerMgr") continue;
        ++readers;
        // "tid (comm) S ...": the state follows the last ')'.
        std::string stat;
        std::getline(std::ifstream(dir + "/stat"), stat);
        const size_t paren = stat.rfind(')');
        if (paren == std::string::npos || stat.compare(paren + 1, 2, " S") != 0) asleep = false;
    }
    closedir(tasks);
    return readers == 3 && asleep;
}

[[noreturn]] void fail(int code, const char* what) {
    std::fprintf(stderr, "exit_test child: %s\n", what);
    _exit(code);
}

SerialMgrClientInfo* registerOn(UInt32 devID) {
    SerialMgrClientParams params{};
    params.dataCb = onData;
    params.eventCb = onEvent;
    params.clientID = 1;
    params.devID = devID;
    return SERIALMGR_RegisterClient(&params);
}

// The child: three readers waiting, then exit(0) with every client still
// registered.
[[noreturn]] void runChild() {
    AT_STUBS_RegisterCallbacks(hostSend, hostReady);
    SERIALMGR_Init();
    const int rxPort[2] = {freeUdpPort(), freeUdpPort()};
    if (rxPort[0] < 0 || rxPort[1] < 0 || rxPort[0] == rxPort[1]) fail(2, "no free UDP ports");
    RndisConfig config = {{{-1, -1}, {-1, -1}, {-1, -1}, {-1, -1}}};
    for (int i = 0; i < 2; ++i) {
        config.entry[i].RxPort = rxPort[i];
        config.entry[i].TxPort = freeUdpPort();
    }
    RNDIS_SetRndisConfig(&config);

    if (registerOn(SERIAL_DEVICE_SOCKET) == nullptr) fail(3, "registration on device 18 failed");
    if (registerOn(SERIAL_DEVICE_RNDIS) == nullptr) fail(3, "registration on device 14 failed");
    SerialMgrClientInfo* paused = registerOn(SERIAL_DEVICE_RNDIS2);
    if (paused == nullptr) fail(3, "registration on device 15 failed");
    if (!attest::waitUntil([] { return g_readersStarted.load() == 3; })) fail(4, "readers did not start");

    // A paused reader parks after the read that is under way; a datagram ends
    // that read. The other UDP reader shows that it reads, and reads on; by
    // the time it has its datagram, the one sent first has ended the paused
    // reader's read.
    SERIALMGR_SetFlowControl(paused, 1);
    sendTo(rxPort[1]);
    sendTo(rxPort[0]);
    if (!attest::waitUntil([] { return g_blocks.load() == 1; })) fail(5, "the datagram did not arrive");
    if (!attest::waitUntil(readersAsleep)) fail(6, "the readers did not settle");
    std::exit(0);
}

TEST(ProcessExit, EndsWhileReadersWaitInsideAndOutsideTheOsServices) {
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) runChild();

    int status = 0;
    const bool ended = attest::waitUntil([&] { return waitpid(child, &status, WNOHANG) == child; },
                                         std::chrono::seconds(20));
    if (!ended) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
    }
    ASSERT_TRUE(ended) << "the child did not end within 20 s (killed)";
    ASSERT_TRUE(WIFEXITED(status)) << "the child died of signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
