# Writes the firmware image as a C++ byte array, so the terminal flasher carries it the way the
# window carries RCDATA 140. Run with cmake -P:
#   -DIMAGE=<image file> -DPLACEHOLDER=<0|1> -DOUTPUT=<.cpp to write>

file(READ "${IMAGE}" hex HEX)
file(SIZE "${IMAGE}" size)
# Sixteen bytes a line keeps the generated file readable in a diff viewer.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
# CMake's expressions know no counted repetition, so the line's pattern is spelt out.
string(REPEAT "0x..," 16 line)
string(REGEX REPLACE "(${line})" "\\1\n" bytes "${bytes}")
if(PLACEHOLDER)
  set(placeholder true)
else()
  set(placeholder false)
endif()
file(WRITE "${OUTPUT}.new"
  "// Generated from ${IMAGE} by update/embed_image.cmake; do not edit.\n"
  "#include \"update/carried_image.h\"\n\n"
  "namespace {\n\n"
  "const std::uint8_t kBytes[] = {\n${bytes}\n};\n\n"
  "}  // namespace\n\n"
  "const CarriedImage kCarriedImage = {kBytes, ${size}u, ${placeholder}};\n")
# Unchanged output keeps its time stamp, so nothing recompiles for nothing.
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
