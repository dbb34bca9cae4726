# The Windows device backend under Wine: against the pipe-served unit through the substitute
# DLLs, and against Wine's own SetupAPI and HID.DLL.

add_wine_test(backend_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/backend_test.cpp
  LIBS linkcore devicewin unit_server_process)
# Beside the substitute DLLs and the server it starts; only this process loads those DLLs.
set_target_properties(backend_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${SIM_OUTPUT_DIR})
add_dependencies(backend_test unit_server sim_setupapi sim_hid)
set_tests_properties(backend_test PROPERTIES
  ENVIRONMENT "WINEDLLOVERRIDES=setupapi,hid=n"
  RESOURCE_LOCK unit_server
  TIMEOUT 300)

add_wine_test(backend_wine_hid_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/wine_hid_test.cpp
  LIBS linkcore devicewin)
