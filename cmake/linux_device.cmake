# The Linux side of the platform seam: the report-descriptor parser (portable, tested natively),
# the hidapi (hidraw) backend that the terminal flasher links, and its keeping the system awake.
find_package(PkgConfig REQUIRED)
# The hidraw flavour: the unit is driven through the kernel's HID driver, so the udev rule that
# gives the user the node is all the access it needs; the libusb flavour would detach it.
pkg_check_modules(HIDAPI_HIDRAW REQUIRED IMPORTED_TARGET hidapi-hidraw)
pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)

add_library(reportdescriptor STATIC link/report_descriptor.cpp)

# An object library: its functions go into whatever links it, so the portable archives that
# call them resolve whatever order a program lists its libraries in.
add_library(devicehidapi OBJECT link/device_hidapi.cpp)
target_link_libraries(devicehidapi PUBLIC reportdescriptor linkcore PkgConfig::HIDAPI_HIDRAW)

# The flasher keeps the system awake during an update through logind; without a system bus it
# does nothing.
add_library(keepawake STATIC update/keep_awake_logind.cpp)
target_link_libraries(keepawake PUBLIC PkgConfig::LIBSYSTEMD)
