// State of the UART driver, shared with its tests.
#pragma once

#include <atomic>

#include "../osal/kova_types.h"
#include "tty_termios_internal.h"

constexpr UInt32 kUartPortCount = 3;

// "/dev/ttyS0".."/dev/ttyS2", indexed by device ID.
extern const char* const s_uart_dev_path[kUartPortCount];
// Descriptor of each port: 0 = not open (load-time value and what close
// leaves), -1 = the last open() failed. Written by open and close under the
// port's lock, read without it by writers and the shutdown hook.
extern std::atomic<int> s_uart_fd[kUartPortCount];
// Settings found at the last open, written back at close.
extern KernelTermios s_uart_old_settings[kUartPortCount];
// Bumped by every close. A read compares it before and after its wait to
// know whether the descriptor number it waited on is still the port's.
extern std::atomic<UInt32> s_uart_generation[kUartPortCount];
