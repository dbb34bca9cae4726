# The resources as the platform's loader sees them. The test program links the same resource
# object as the shipped executable, so its own module carries them.
add_wine_test(resources_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/resources_test.cpp
  LIBS updater_resources user32 version)

# The test compares RCDATA 140 with the file it was built from, copied next to the program.
get_target_property(embeddedFirmwareImage updater_resources UPDATER_FIRMWARE_IMAGE)
add_custom_command(TARGET resources_test POST_BUILD
  COMMAND ${CMAKE_COMMAND} -E copy_if_different "${embeddedFirmwareImage}"
          "$<TARGET_FILE_DIR:resources_test>/firmware_140.bin"
  VERBATIM)
