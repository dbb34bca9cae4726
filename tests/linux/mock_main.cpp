// The entry point of the tests that run programs against an emulated unit.
#include <gtest/gtest.h>

#include "tests/linux/emulated_unit.h"

int main(int argc, char** argv) {
    runUnderMockPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
