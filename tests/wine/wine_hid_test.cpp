// The Windows device backend against Wine's own SetupAPI and HID.DLL, whose HID devices (vendor
// 0x845E) are not programming units.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "link/device_io.h"
#include "link/open_link.h"
#include "link/programmer_link.h"

namespace {

// Paths listed now; each is checked to be terminated.
std::uint32_t listedPaths() {
    DeviceList* list = deviceListOpen();
    if (list == nullptr) return 0;
    std::uint32_t listed = 0;
    for (std::uint32_t index = 0; index < 1000; ++index) {
        char16_t* path = nullptr;
        std::uint32_t units = 0;
        const InterfacePath found = deviceListPath(list, index, &path, &units);
        if (found == InterfacePath::end) break;
        if (found != InterfacePath::found) continue;
        ++listed;
        EXPECT_EQ(path[units - 1], u'\0');
        std::free(path);
    }
    deviceListClose(list);
    return listed;
}

TEST(WineHidDevices, AreListedButNoneIsAProgrammingUnit) {
    // Wine's bus driver adds its devices once its services run, which can be a moment after a
    // fresh prefix's first programs.
    std::uint32_t listed = 0;
    for (int attempt = 0; attempt < 100 && listed == 0; ++attempt) {
        if (attempt > 0) Sleep(100);
        listed = listedPaths();
    }
    EXPECT_GT(listed, 0u) << "Wine presents HID devices of its own";

    EXPECT_EQ(openProgrammer(), kLinkNoUnit);
    EXPECT_FALSE(linkIsOpen());
}

}  // namespace
