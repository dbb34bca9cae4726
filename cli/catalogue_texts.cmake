# Copies the named texts of the window's catalogue into a C++ table for the terminal flasher.
# Run with cmake -P:
#   -DENGLISH=<strings_en.rc> -DGERMAN=<strings_de.rc> -DNAMES=<IDS_A,IDS_B,...> -DOUTPUT=<.cpp>

string(REPLACE "," ";" names "${NAMES}")

include(${CMAKE_CURRENT_LIST_DIR}/../resources/catalogue_text.cmake)

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
