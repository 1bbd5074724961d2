// The stress property on the transports that need no namespace.
#include "stress.h"

INSTANTIATE_TEST_SUITE_P(Host, Stress, ::testing::Values(Kind::Fake, Kind::Channel, Kind::Udp),
                         ::testing::PrintToStringParamName());
