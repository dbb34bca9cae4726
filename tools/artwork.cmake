# drawArtwork(<dir>): logo.bmp and updater.ico drawn into <dir> at build time, by a program for
# the build machine (tools/make_artwork.cpp), so it needs the host compiler, not the cross
# compiler. The window's resources and the page both use it.
function(drawArtwork dir)
  find_program(UPDATER_HOST_CXX NAMES c++ g++ clang++ REQUIRED
               DOC "C++ compiler for the build machine (artwork generator)")
  set(artworkTool "${dir}/make_artwork${CMAKE_HOST_EXECUTABLE_SUFFIX}")
  set(artworkSource "${CMAKE_SOURCE_DIR}/tools/make_artwork.cpp")
  add_custom_command(
    OUTPUT "${artworkTool}"
    COMMAND "${UPDATER_HOST_CXX}" -O2 -std=c++17 -o "${artworkTool}" "${artworkSource}"
    DEPENDS "${artworkSource}"
    COMMENT "Building the artwork generator for the build machine"
    VERBATIM)
  add_custom_command(
    OUTPUT "${dir}/logo.bmp" "${dir}/updater.ico"
    COMMAND "${artworkTool}" logo.bmp updater.ico
    DEPENDS "${artworkTool}"
    WORKING_DIRECTORY "${dir}"
    COMMENT "Drawing the logo and the icon"
    VERBATIM)
endfunction()
