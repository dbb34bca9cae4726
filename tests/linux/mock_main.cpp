// The entry point of the tests that run programs against an emulated unit.
#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tests/linux/emulated_unit.h"

namespace {

// The build names the programs and files these tests use relative to this program's folder:
// the tests run there, wherever they were started from.
bool runBesideItself() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return false;
    self[length] = '\0';
    char* slash = std::strrchr(self, '/');
    if (slash == nullptr) return false;
    *slash = '\0';
    return chdir(self[0] == '\0' ? "/" : self) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (!runBesideItself()) {
        std::perror("cannot run in the test program's own folder");
        return EXIT_FAILURE;
    }
    runUnderMockPreload(argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
