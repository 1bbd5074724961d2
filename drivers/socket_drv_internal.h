// In-process channels: state shared with the tests.
#pragma once

#include <atomic>

#include "../osal/osal.h"

#define SOCKET_CHANNEL_NUM 4

// Per channel (index = device ID - 18): the mutex on which the reader parks,
// 0 when the channel has none.
extern std::atomic<OSSemaphore> gSocketMutex[SOCKET_CHANNEL_NUM];
// Per channel: set by close before it releases the mutex, cleared by open.
extern std::atomic<bool> gSocketClosed[SOCKET_CHANNEL_NUM];

// Test hook: when set, KOVA_SOCKET_Read calls it with the channel index after
// its first obtain (stage 1) and again right before its second obtain
// (stage 2), so a test can put a close into either window deterministically.
using SocketReadHook = void (*)(UInt32 channel, int stage);
extern std::atomic<SocketReadHook> gSocketReadHook;
