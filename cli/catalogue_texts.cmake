# Copies the named texts of the window's catalogue into a C++ table for the terminal flasher.
# Run with cmake -P:
#   -DENGLISH=<strings_en.rc> -DGERMAN=<strings_de.rc> -DNAMES=<IDS_A,IDS_B,...> -DOUTPUT=<.cpp>
# A text in the scripts is a row of "..." literals, one a line, with C escapes: C++ reads the
# same row as one string.

string(REPLACE "," ";" names "${NAMES}")

function(catalogueText file name outVar)
  file(READ "${file}" script)
  string(REGEX MATCH "\n  ${name} +(\"[^\n]*\"(\n +\"[^\n]*\")*)" found "${script}")
  if(NOT found)
    message(FATAL_ERROR "${file}: no text ${name}")
  endif()
  set(literals "${CMAKE_MATCH_1}")
  # windres reads "" inside a literal as one quote, C++ as two literals: refuse rather than
  # lose the quote.
  string(REGEX MATCH "[^\n ]\"\"" doubled "${literals}")
  if(doubled)
    message(FATAL_ERROR "${file}: ${name} holds a doubled quote, which C++ reads otherwise")
  endif()
  string(REGEX REPLACE "\n +" "\n     " literals "${literals}")
  set(${outVar} "${literals}" PARENT_SCOPE)
endfunction()

set(rows "")
foreach(name IN LISTS names)
  catalogueText("${ENGLISH}" ${name} english)
  catalogueText("${GERMAN}" ${name} german)
  string(APPEND rows "    {${name},\n     ${english},\n     ${german}},\n")
endforeach()

file(WRITE "${OUTPUT}.new"
  "// Generated from the window's catalogue by cli/catalogue_texts.cmake; do not edit.\n"
  "#include \"cli/catalogue.h\"\n"
  "#include \"resources/resource_ids.h\"\n\n"
  "const CatalogueText kCatalogueTexts[] = {\n${rows}};\n"
  "const std::size_t kCatalogueTextCount = sizeof kCatalogueTexts / sizeof kCatalogueTexts[0];\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
