// The terminal-settings record that the TCGETS and TCSETS requests read and
// write, shared by the UART and USB tty drivers.
//
// The drivers talk to the tty with ioctl(TCGETS/TCSETS) rather than
// tcgetattr()/tcsetattr(). glibc's ioctl() is a bare system call, so the
// record it fills is the kernel's struct termios (<asm/termbits.h>: four flag
// words, c_line and 19 control characters, 36 bytes), not glibc's own larger
// struct termios (32 control characters plus two speed words, 60 bytes) that
// tcgetattr() converts into. Bionic's struct termios is the kernel's record,
// so this layout is the platform's on the device as well. The record is
// declared here under its own name so that tests can include this header next
// to glibc's <termios.h>; uart_x_drv.cpp checks the layout against
// <asm/termbits.h> at compile time.
#pragma once

#include <cstddef>

#include "../osal/kova_types.h"

constexpr std::size_t kKernelTermiosCcCount = 19;

struct KernelTermios {
    UInt32 c_iflag;
    UInt32 c_oflag;
    UInt32 c_cflag;
    UInt32 c_lflag;
    UInt8 c_line;
    UInt8 c_cc[kKernelTermiosCcCount];
};

// Bits that both tty drivers clear for raw mode.
// c_iflag: IGNBRK, BRKINT, PARMRK, ISTRIP, INLCR, IGNCR, ICRNL, IXON.
constexpr UInt32 kRawClearIflag = 0x5EBu;
// c_oflag: OPOST, ONLCR.
constexpr UInt32 kRawClearOflag = 0x5u;
// c_lflag: ISIG, ICANON, ECHO, ECHONL, IEXTEN.
constexpr UInt32 kRawClearLflag = 0x804Bu;

// Applies the raw-mode changes that both drivers share to a copy of the saved
// settings; everything else (c_cflag, c_line, c_cc) is left to the caller.
inline void makeRawInput(KernelTermios* t) {
    t->c_iflag &= ~kRawClearIflag;
    t->c_oflag &= ~kRawClearOflag;
    t->c_lflag &= ~kRawClearLflag;
}
