// The stress property on the UART and USB ttys: pseudo-terminals at the device
// paths in a private mount namespace (tty_harness.h).
#include "stress.h"

INSTANTIATE_TEST_SUITE_P(Tty, Stress, ::testing::Values(Kind::Uart, Kind::Usb), ::testing::PrintToStringParamName());
