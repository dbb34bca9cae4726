# The shipped executable, in its layers: each library links only the ones below it.
#   app      entry point and dialog procedure
#   update   the Update button's sequence and its progress window (on the portable update chain)
#   ui       window helpers: the application's globals, texts, device presence and hint panel,
#            version panel, failure report
#   link     the programming-unit link (portable) and its Windows device backend

# The device backend: SetupAPI, HID.DLL, overlapped file I/O.
add_library(devicewin STATIC link/device_win.cpp)
target_link_libraries(devicewin PUBLIC setupapi hid)

# Keeping the system awake and its timer fine during an update, for the window and the flasher.
add_library(keepawake STATIC update/keep_awake_win.cpp)
target_link_libraries(keepawake PUBLIC winmm)

add_library(updater_ui STATIC
  ui/app_globals.cpp
  ui/device_presence.cpp
  ui/failure_report.cpp
  ui/texts.cpp
  ui/version_panel.cpp
)
target_link_libraries(updater_ui PUBLIC linkcore comctl32 gdi32 user32 hid)

add_library(updater_update STATIC
  update/progress_window.cpp
  update/update_sequence.cpp
)
target_link_libraries(updater_update PUBLIC updater_ui updatecore keepawake comctl32)

add_library(updater_app STATIC app/main_dialog.cpp)
target_link_libraries(updater_app PUBLIC updater_update updater_ui msimg32 gdi32 user32)

add_executable(ZirvanoUpdater WIN32 app/main.cpp)
# wWinMain as the entry point.
target_link_options(ZirvanoUpdater PRIVATE -municode)
# The portable libraries call into the device backend, so it comes after them: static archives
# resolve left to right.
target_link_libraries(ZirvanoUpdater PRIVATE updater_app updater_resources updatecore linkcore
                      devicewin)
set_target_properties(ZirvanoUpdater PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
