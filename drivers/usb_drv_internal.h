// State of the USB gadget tty driver, shared with its tests.
#pragma once

#include <atomic>

#include "../osal/kova_types.h"
#include "tty_termios_internal.h"

extern const char* const s_usb_dev_path;  // "/dev/ttyGS0"
// Descriptor of the tty; -1 = not open (load-time value and what close
// leaves). Retired by close under the driver's lock (guarded_fd.h).
extern std::atomic<int> s_usb_fd;
// Settings found at the last successful open, written back at close.
extern KernelTermios s_usb_old_settings;
