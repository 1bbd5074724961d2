// RNDIS UDP driver (device IDs 14 to 17): AT text in UDP datagrams over IPv4.
// Each channel receives on its Rx port and answers the host of the latest
// datagram at its Tx port.
#include "rndis_drv.h"

#include <arpa/inet.h>
#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "../osal/at_log.h"
#include "guarded_fd.h"
#include "rndis_drv_internal.h"
#include "signal_wait.h"

RndisChannel s_rndis_channel[RNDIS_CHANNEL_NUM];

namespace {

constexpr UInt32 kFirstDevice = 14;
constexpr UInt16 kNonFatal = 65535;

// Each channel's Rx socket lock and generation (guarded_fd.h). The Tx socket
// has a lock of its own below: sends check no generation, they only must not
// overlap the close of their socket.
FdGuard s_rxGuard[RNDIS_CHANNEL_NUM];

// Guards ClientAddr and ClientAddrLen, which the reader writes on every
// receive while senders read them. Held only to copy the address, never
// across a system call that can block.
std::mutex s_addrLock[RNDIS_CHANNEL_NUM];
// Keeps a send and the close of the channel's Tx socket apart.
std::mutex s_txLock[RNDIS_CHANNEL_NUM];

// Descriptors, ports and Ready are plain fields of the channel record but are
// shared between threads without a lock; every access goes through these.
int loadInt(const int& field) { return __atomic_load_n(&field, __ATOMIC_SEQ_CST); }
void storeInt(int& field, int value) { __atomic_store_n(&field, value, __ATOMIC_SEQ_CST); }
int exchangeInt(int& field, int value) { return __atomic_exchange_n(&field, value, __ATOMIC_SEQ_CST); }
UInt8 loadReady(const UInt8& field) { return __atomic_load_n(&field, __ATOMIC_SEQ_CST); }
void storeReady(UInt8& field, UInt8 value) { __atomic_store_n(&field, value, __ATOMIC_SEQ_CST); }

// Ports are used from the low 16 bits of the stored value.
in_port_t portOf(Int32 value) { return htons(static_cast<UInt16>(value)); }

// The channel index, device ID - 14, taken as unsigned; an ID outside 14..17
// is logged with its signed index (device 5 shows -9).
bool channelOf(UInt32 devId, UInt32* channel) {
    const UInt32 index = devId - kFirstDevice;
    if (index >= RNDIS_CHANNEL_NUM) {
        AT_LOGE("Invalid RNDIS device index: %d\n", static_cast<int>(index));
        return false;
    }
    *channel = index;
    return true;
}

// A failed open closes at once whatever it has made and leaves the record
// without descriptors: the next open clears the record without closing, so
// anything left there would leak.
void abandonOpen(RndisChannel& c, UInt32 channel) {
    s_rxGuard[channel].retire([&] {
        const int rx = exchangeInt(c.RxSd, 0);
        const int tx = exchangeInt(c.TxSd, 0);
        if (rx > 0) close(rx);
        if (tx > 0) close(tx);
    });
}

// One port of a channel's configuration: a value of 0 or more is stored (0
// counts as set: it binds to a port of the system's choosing), a negative one
// keeps the port as it is.
void configurePort(int channel, bool rx, Int32 requested, Int32& port) {
    if (requested >= 0) {
        AT_LOGI(rx ? "RNDIS_SetRndisConfig:  RNDIS%d RxPort=%d\n" : "RNDIS_SetRndisConfig:  RNDIS%d TxPort=%d\n",
                channel, requested);
        storeInt(port, requested);
        return;
    }
    AT_LOGI(rx ? "RNDIS_SetRndisConfig:  RNDIS%d RxPort not set, using existing value: %d\n"
               : "RNDIS_SetRndisConfig:  RNDIS%d TxPort not set, using existing value: %d\n",
            channel, loadInt(port));
}

// A fresh record for an open: the previous client is forgotten. Descriptors
// still recorded are not closed here; close, and a failed open, have done
// that.
void freshRecord(RndisChannel& c, UInt32 channel, Int32 txPort) {
    s_rxGuard[channel].retire([&] {
        storeInt(c.RxSd, 0);
        storeInt(c.TxSd, 0);
    });
    storeReady(c.Ready, 0);
    std::lock_guard<std::mutex> guard(s_addrLock[channel]);
    c.ClientAddrLen = 0;
    std::memset(&c.ClientAddr, 0, sizeof c.ClientAddr);
    c.ClientAddr.sin_family = AF_INET;
    c.ClientAddr.sin_port = portOf(txPort);
}

// Makes one UDP socket of an open into slot; on failure logs failureText and
// abandons the open.
bool makeSocket(RndisChannel& c, UInt32 channel, int& slot, const char* failureText) {
    const int sd = socket(AF_INET, SOCK_DGRAM, 0);
    if (sd == -1) {
        AT_LOGE("%s", failureText);
        abandonOpen(c, channel);
        return false;
    }
    storeInt(slot, sd);
    return true;
}

// A close from another thread ends the receive like the signal that follows
// it: errno EINTR and the non-fatal result, so the reader's next pass finds
// its shutdown instead of reporting a read error.
UInt16 closedUnderReader() { return rndisReceiveFailure(EINTR); }

}  // namespace

UInt16 rndisReceiveFailure(int err) {
    if (err == EINTR || err == EMSGSIZE) {
        AT_LOGE("Non-fatal recv error (errno %d).\n", err);
        errno = err;
        return kNonFatal;
    }
    AT_LOGE("Could not receive datagram (errno %d).\n", err);
    errno = err;
    return 0;
}

extern "C" {

void RNDIS_SetRndisConfig(const RndisConfig* config) {
    if (config == nullptr) {
        AT_LOGE("RNDIS_SetRndisConfig: RndisConfig=NULL?\n");
        return;
    }
    for (int i = 0; i < RNDIS_CHANNEL_NUM; ++i) {
        RndisChannel& c = s_rndis_channel[i];
        const RndisConfigEntry& entry = config->entry[i];
        configurePort(i, true, entry.RxPort, c.RxPort);
        configurePort(i, false, entry.TxPort, c.TxPort);
        AT_LOGI("RNDIS%d RxPort=%d TxPort=%d\n", i, loadInt(c.RxPort), loadInt(c.TxPort));
    }
}

Int32 RNDIS_OpenDevice(UInt32 devId, UInt32 /*openParam*/) {
    UInt32 channel;
    if (!channelOf(devId, &channel)) return 0;
    RndisChannel& c = s_rndis_channel[channel];
    const Int32 rxPort = loadInt(c.RxPort);
    const Int32 txPort = loadInt(c.TxPort);
    freshRecord(c, channel, txPort);
    AT_LOGI("\nStarting AT server: (Rx)%d,(Tx)%d\n", rxPort, txPort);

    if (!makeSocket(c, channel, c.RxSd, "\nError: Could not make a Rx socket\n") ||
        !makeSocket(c, channel, c.TxSd, "\nError: Could not make a Tx socket\n")) {
        return 0;
    }
    const int rx = loadInt(c.RxSd);
    struct sockaddr_in local;
    std::memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_port = portOf(rxPort);
    local.sin_addr.s_addr = htonl(INADDR_ANY);

    const int on = 1;
    if (setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == -1) {
        AT_LOGE("\nError: setsockopt error.\n");
        abandonOpen(c, channel);
        return 0;
    }
    if (bind(rx, reinterpret_cast<const struct sockaddr*>(&local), sizeof local) == -1) {
        const int err = errno;
        AT_LOGE("\nError: Could not connect to host. %s (%d)\n", std::strerror(err), err);
        storeReady(c.Ready, 0);
        RNDIS_CloseDevice(devId);
        return 0;
    }
    // The Tx socket stays unbound: the system picks its source port at the
    // first send.
    storeReady(c.Ready, 1);
    return 1;
}

Int32 RNDIS_CloseDevice(UInt32 devId) {
    AT_LOGI("RNDIS_CloseDevice\n");
    UInt32 channel;
    if (!channelOf(devId, &channel)) return 0;
    RndisChannel& c = s_rndis_channel[channel];
    // A reader may be waiting on the Rx socket in another thread
    // (guarded_fd.h).
    s_rxGuard[channel].retire([&] {
        const int rx = exchangeInt(c.RxSd, 0);
        if (rx != 0) {
            const int result = close(rx);
            if (result < 0) AT_LOGI("RNDIS_CloseDevice close RxSd: result %d (errno %d)\n", result, errno);
        }
    });
    // Under the Tx lock: a send in progress finishes with its socket before
    // the socket is closed (see RNDIS_Write).
    std::lock_guard<std::mutex> txGuard(s_txLock[channel]);
    const int tx = exchangeInt(c.TxSd, 0);
    if (tx != 0) {
        const int result = close(tx);
        if (result < 0) AT_LOGI("RNDIS_CloseDevice close TxSd: result %d (errno %d)\n", result, errno);
    }
    // Ready stays as it was: the cleared TxSd is enough to stop writes.
    return 1;
}

UInt16 RNDIS_Read(UInt32 devId, UInt8* buf, UInt16 len) {
    AT_LOGI("RNDIS_Read\n");
    UInt32 channel;
    if (!channelOf(devId, &channel)) return 0;
    RndisChannel& c = s_rndis_channel[channel];
    {
        std::lock_guard<std::mutex> guard(s_addrLock[channel]);
        c.ClientAddrLen = sizeof(struct sockaddr_in);
    }
    if (buf != nullptr && len != 0) std::memset(buf, 0, len);

    for (;;) {
        const FdSnapshot rx = s_rxGuard[channel].snapshot([&] { return loadInt(c.RxSd); });
        const int fd = rx.fd;
        // A channel that is not open has nothing to wait on, and descriptor 0
        // is the record's "none", never stdin: fail like a receive on a bad
        // descriptor, so that a reader reports the error and ends instead of
        // waiting for ever.
        if (fd == 0 || !fdFitsSelect(fd)) return rndisReceiveFailure(EBADF);

        // Never a blocking recvfrom(): the wait is at_pselect_read
        // (signal_wait.h), and a signal ends it with EINTR, an interrupted
        // receive.
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const int ready = at_pselect_read(fd + 1, &readable, -1);
        if (lost(rx)) return closedUnderReader();
        if (ready < 0) return rndisReceiveFailure(errno);

        struct sockaddr_in from;
        socklen_t fromLen = sizeof from;
        ssize_t n = -1;
        // MSG_DONTWAIT keeps the Rx lock from being held across a wait.
        const bool current = readIfCurrent(rx, [&] {
            n = recvfrom(fd, buf, len, MSG_DONTWAIT, reinterpret_cast<struct sockaddr*>(&from), &fromLen);
        });
        if (!current) return closedUnderReader();
        if (n < 0) {
            // Readable without a datagram to take (one dropped for a bad
            // checksum, for instance): wait again rather than report an error.
            if (errno == EAGAIN) continue;  // EWOULDBLOCK is the same value here
            return rndisReceiveFailure(errno);
        }
        {
            std::lock_guard<std::mutex> guard(s_addrLock[channel]);
            c.ClientAddr = from;
            c.ClientAddrLen = fromLen;
        }
        // An empty datagram carries no command. It is "no data now", not a
        // read error: the reader takes 0 with EAGAIN as a reason to read again,
        // and 0 with any other errno as the end of the channel.
        if (n == 0) errno = EAGAIN;
        return static_cast<UInt16>(n);
    }
}

UInt16 RNDIS_Write(UInt32 devId, const UInt8* buf, UInt16 len) {
    AT_LOGI("RNDIS_Write\n");
    UInt32 channel;
    if (!channelOf(devId, &channel)) return 0;
    RndisChannel& c = s_rndis_channel[channel];
    // A deregistration stops the senders before it closes the channel, but
    // the reader closes and reopens it at the end of every pause while other
    // clients may be sending. The Tx lock keeps each send and the close of
    // the Tx socket apart, so a send never reaches a descriptor number that
    // another open may have reused. UDP sends do not wait for the peer.
    std::lock_guard<std::mutex> txGuard(s_txLock[channel]);
    const int fd = loadInt(c.TxSd);
    if (fd == 0 || loadReady(c.Ready) == 0) {
        AT_LOGE("RNDIS_Write() server/client not ready yet\n");
        return 0;
    }
    if (buf == nullptr || len == 0) {
        AT_LOGI("RNDIS_Write() Null string passed in\n");
        return 0;
    }
    AT_LOGI("AT response - len %d\n", len);
    if (len >= 1000) AT_LOGI("RNDIS_Write() Warning: string longer than maximum buffer length\n");

    struct sockaddr_in to;
    socklen_t toLen;
    {
        std::lock_guard<std::mutex> guard(s_addrLock[channel]);
        c.ClientAddr.sin_port = portOf(loadInt(c.TxPort));
        to = c.ClientAddr;
        toLen = c.ClientAddrLen;
    }
    // Until the first receive call toLen is 0, and the system refuses the
    // send with EINVAL.
    const ssize_t sent = sendto(fd, buf, len, 0, reinterpret_cast<const struct sockaddr*>(&to), toLen);
    if (sent == static_cast<ssize_t>(len)) return len;
    const int err = errno;
    if (err == EINVAL) {
        AT_LOGI("RNDIS_Write() Error sending datagram. Cannot write until a command is received from client.\n");
    } else {
        AT_LOGE("RNDIS_Write() Error sending datagram. bytes:%u, errno:%u\n", static_cast<unsigned>(sent),
                static_cast<unsigned>(err));
    }
    return static_cast<UInt16>(sent);
}

Int32 RNDIS_GetRawInfo(UInt32 devId, Int32* rxPort, Int32* txPort, UInt32* addrSize, UInt32* clientAddr) {
    AT_LOGI("RNDIS_GetRawInfo\n");
    UInt32 channel;
    if (!channelOf(devId, &channel)) return 0;
    RndisChannel& c = s_rndis_channel[channel];
    UInt32 address;
    {
        std::lock_guard<std::mutex> guard(s_addrLock[channel]);
        address = c.ClientAddr.sin_addr.s_addr;
    }
    // Outputs the caller passes as NULL are skipped.
    if (rxPort != nullptr) *rxPort = loadInt(c.RxPort);
    if (txPort != nullptr) *txPort = loadInt(c.TxPort);
    if (addrSize != nullptr) *addrSize = 4;
    if (clientAddr != nullptr) *clientAddr = address;
    return 1;
}

}  // extern "C"
