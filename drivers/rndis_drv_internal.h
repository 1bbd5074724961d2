// RNDIS UDP driver: the channel table and helpers shared with the tests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>

#include "rndis_drv.h"

// One channel; index = device ID - 14. Descriptors and ports are read and
// written through the atomic helpers of rndis_drv.cpp, because the reader
// thread, senders, the closing thread and the configuring host meet on them.
struct RndisChannel {
    Int32 RxPort;                  // UDP port the Rx socket is bound to
    Int32 TxPort;                  // port on the client's host that responses go to
    int RxSd;                      // Rx socket; 0 = none
    int TxSd;                      // Tx socket (never bound); 0 = none
    socklen_t ClientAddrLen;       // length of ClientAddr; 0 until the first receive call
    UInt8 Ready;                   // 1 once the Rx socket is bound
    struct sockaddr_in ClientAddr; // sender of the latest datagram; its port becomes TxPort before a send
};

extern RndisChannel s_rndis_channel[RNDIS_CHANNEL_NUM];

// Maps a failed receive (err = errno) to the read result and logs it:
// EINTR and EMSGSIZE give 65535, anything else 0. errno is err on return.
UInt16 rndisReceiveFailure(int err);
