# The firmware image both programs carry (the window as RCDATA 140, the terminal flasher as
# data): named when configuring, checked, and told apart from the repository's placeholder.
# Sets firmwareImage (absolute path) and firmwareIsPlaceholder (0 or 1).

# No default: a build that silently picked up the repository's placeholder would look like a
# release.
set(UPDATER_FIRMWARE_IMAGE "" CACHE FILEPATH "Firmware image the programs carry and install into the ESC")
if(UPDATER_FIRMWARE_IMAGE STREQUAL "")
  message(FATAL_ERROR "UPDATER_FIRMWARE_IMAGE is not set. Name the firmware image to embed:\n"
                      "  cmake ... -DUPDATER_FIRMWARE_IMAGE=/path/to/zirvano60lv-3.3.bin\n"
                      "The repository carries only a placeholder, which is no firmware: for builds that "
                      "are run and tested, never flashed:\n"
                      "  cmake ... -DUPDATER_FIRMWARE_IMAGE=${CMAKE_SOURCE_DIR}/resources/firmware/placeholder_140.bin")
endif()
get_filename_component(firmwareImage "${UPDATER_FIRMWARE_IMAGE}" ABSOLUTE BASE_DIR "${CMAKE_SOURCE_DIR}")
if(NOT EXISTS "${firmwareImage}" OR IS_DIRECTORY "${firmwareImage}")
  message(FATAL_ERROR "UPDATER_FIRMWARE_IMAGE: no such file: ${firmwareImage}")
endif()
file(SIZE "${firmwareImage}" firmwareSize)
math(EXPR firmwareRemainder "${firmwareSize} % 4")
if(NOT firmwareRemainder EQUAL 0)
  message(FATAL_ERROR "UPDATER_FIRMWARE_IMAGE: ${firmwareImage} has ${firmwareSize} bytes, "
                      "not a whole number of 32-bit words; that is no flash image")
endif()
if(NOT firmwareSize EQUAL 97808)
  message(WARNING "UPDATER_FIRMWARE_IMAGE: ${firmwareImage} has ${firmwareSize} bytes; "
                  "the image for this ESC type has 97808")
endif()
# Check the file again, size and banner, whenever it changes.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${firmwareImage}")

# A placeholder build is told by the image's banner, not by its path: a renamed copy of the
# placeholder is still no firmware. Both programs then say so.
set(placeholderBanner "PLACEHOLDER IMAGE, NOT FIRMWARE.")
string(LENGTH "${placeholderBanner}" placeholderBannerLength)
string(HEX "${placeholderBanner}" placeholderBannerHex)
file(READ "${firmwareImage}" firmwareHead LIMIT ${placeholderBannerLength} HEX)
if(firmwareHead STREQUAL placeholderBannerHex)
  set(firmwareIsPlaceholder 1)
  message(STATUS "UPDATER_FIRMWARE_IMAGE: ${firmwareImage} is the placeholder; this build is not for flashing")
else()
  set(firmwareIsPlaceholder 0)
endif()
