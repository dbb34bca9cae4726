# The main dialog in-process, against the simulated bus instead of the Windows device backend.
add_wine_test(ui_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/ui_test.cpp
  LIBS updater_app updater_resources simbus)
