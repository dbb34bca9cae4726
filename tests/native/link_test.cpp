#include <gtest/gtest.h>
#include "link/programmer_link.h"
#include "sim/sim_device.h"
TEST(Smoke, NoUnit) { simBusReset(); resetProgrammerLink(); EXPECT_EQ(openProgrammer(), kLinkNoUnit); }
