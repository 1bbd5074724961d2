// State of the UART driver, shared with its tests.
#pragma once

#include <atomic>

#include "../osal/kova_types.h"
#include "tty_termios_internal.h"

constexpr UInt32 kUartPortCount = 3;

// "/dev/ttyS0".."/dev/ttyS2", indexed by device ID.
extern const char* const s_uart_dev_path[kUartPortCount];
// Descriptor of each port: 0 = not open (load-time value and what close
// leaves), -1 = the last open() failed. Retired by close under the port's
// lock (guarded_fd.h).
extern std::atomic<int> s_uart_fd[kUartPortCount];
// Settings found at the last open, written back at close.
extern KernelTermios s_uart_old_settings[kUartPortCount];
