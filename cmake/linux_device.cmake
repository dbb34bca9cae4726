# The Linux side of the device seam: the report-descriptor parser (portable, tested natively)
# and the hidapi (hidraw) backend that the terminal flasher links.
find_package(PkgConfig REQUIRED)
# The hidraw flavour: the unit is driven through the kernel's HID driver, so the udev rule that
# gives the user the node is all the access it needs; the libusb flavour would detach it.
pkg_check_modules(HIDAPI_HIDRAW REQUIRED IMPORTED_TARGET hidapi-hidraw)

add_library(reportdescriptor STATIC link/report_descriptor.cpp)

# An object library: its functions go into whatever links it, so the portable archives that
# call them resolve whatever order a program lists its libraries in.
add_library(devicehidapi OBJECT link/device_hidapi.cpp)
target_link_libraries(devicehidapi PUBLIC reportdescriptor PkgConfig::HIDAPI_HIDRAW)
