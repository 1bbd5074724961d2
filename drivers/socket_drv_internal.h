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

