# The Update button's whole sequence in-process, against the simulated bus on its virtual clock.
add_wine_test(update_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/update_test.cpp
  LIBS updater_app updater_resources simbus)
