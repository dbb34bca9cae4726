# The shipped executable and the libraries its Windows tests share with it.

# Dialog, device presence, version panel, failure report.
add_library(updater_ui STATIC
  ui/main_dialog.cpp
  ui/device_presence.cpp
  ui/version_panel.cpp
  ui/failure_report.cpp
  ui/texts.cpp
)
target_link_libraries(updater_ui PUBLIC linkcore comctl32 msimg32 gdi32 user32 hid)

# Embedded image, block transfer with its progress window, update sequence.
add_library(updater_update STATIC
  update/progress_window.cpp
  update/update_sequence.cpp
)
target_link_libraries(updater_update PUBLIC updater_ui updatecore winmm comctl32)
# The two depend on each other (the dialog starts the update, the update reports through the UI).
target_link_libraries(updater_ui PUBLIC updater_update)

add_executable(ZirvanoUpdater WIN32 ui/main.cpp)
# wWinMain as the entry point.
target_link_options(ZirvanoUpdater PRIVATE -municode)
# The portable libraries call into the device backend, so it comes after them: static archives
# resolve left to right.
target_link_libraries(ZirvanoUpdater PRIVATE updater_ui updater_update updater_resources
                      updatecore linkcore devicewin)
set_target_properties(ZirvanoUpdater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
