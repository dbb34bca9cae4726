// The Windows device backend against Wine's own SetupAPI and HID.DLL, whose HID devices (vendor
// 0x845E) are not programming units.
#include <gtest/gtest.h>

#include <cstdlib>

#include "link/device_io.h"
#include "link/programmer_link.h"

namespace {

TEST(WineHidDevices, AreListedButNoneIsAProgrammingUnit) {
    DeviceList* list = deviceListOpen();
    ASSERT_NE(list, nullptr);
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
    EXPECT_GT(listed, 0u) << "Wine presents HID devices of its own";

    EXPECT_EQ(openProgrammer(), kLinkNoUnit);
    EXPECT_FALSE(linkIsOpen());
}

}  // namespace
