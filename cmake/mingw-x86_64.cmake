# Cross-build for 64-bit Windows with the posix-thread mingw-w64 compilers.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(UPDATER_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
