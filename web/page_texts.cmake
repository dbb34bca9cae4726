# Writes the page's texts as a script, from the window's own catalogue and dialog template, so the
# page says what the window says, word for word. Run with cmake -P:
#   -DENGLISH=<strings_en.rc> -DGERMAN=<strings_de.rc> -DDIALOGS=<dialogs.rc>
#   -DIDS=<resource_ids.h> -DNAMES=<IDS_A,IDS_B,...> -DOUTPUT=<texts.js>
# The texts of the main dialog's template (its hint heading, the group box, the Update button)
# come as DIALOG_HINT, DIALOG_GROUP and DIALOG_UPDATE.

include(${CMAKE_CURRENT_LIST_DIR}/../resources/catalogue_text.cmake)
string(REPLACE "," ";" names "${NAMES}")

# A row of literals becomes one JavaScript expression.
function(scriptText file name outVar)
  catalogueText("${file}" ${name} literals)
  string(REGEX REPLACE "\"\n +\"" "\" +\n      \"" literals "${literals}")
  set(${outVar} "${literals}" PARENT_SCOPE)
endfunction()

file(READ "${IDS}" idScript)
file(READ "${DIALOGS}" dialogScript)
# The template macro's arguments: caption, Close, hint heading, group box; English, then German.
string(REGEX MATCHALL "\nMAIN_DIALOG\\(\"[^\"]*\", \"[^\"]*\", \"[^\"]*\", \"[^\"]*\"\\)" dialogs
       "${dialogScript}")
list(LENGTH dialogs dialogCount)
if(NOT dialogCount EQUAL 2)
  message(FATAL_ERROR "${DIALOGS}: expected the main dialog in English and German, found ${dialogCount}")
endif()
string(REGEX MATCH "CONTROL (\"[^\"]*\"), IDC_UPDATE," found "${dialogScript}")
if(NOT found)
  message(FATAL_ERROR "${DIALOGS}: no Update button")
endif()
set(updateText "${CMAKE_MATCH_1}")

set(ids "")
set(languages en de)
set(scripts "${ENGLISH}" "${GERMAN}")
foreach(language IN LISTS languages)
  set(${language} "")
endforeach()
foreach(name IN LISTS names)
  # Page-only texts have no number: the window never shows them.
  string(REGEX MATCH "#define ${name} ([0-9]+)" found "${idScript}")
  if(found)
    string(APPEND ids "    ${CMAKE_MATCH_1}: '${name}',\n")
  endif()
  scriptText("${ENGLISH}" ${name} text)
  string(APPEND en "    ${name}: ${text},\n")
  scriptText("${GERMAN}" ${name} text)
  string(APPEND de "    ${name}: ${text},\n")
endforeach()
foreach(index 0 1)
  list(GET languages ${index} language)
  list(GET dialogs ${index} dialog)
  string(REGEX MATCH "\\(\"([^\"]*)\", \"([^\"]*)\", (\"[^\"]*\"), (\"[^\"]*\")\\)" found "${dialog}")
  string(APPEND ${language} "    DIALOG_HINT: ${CMAKE_MATCH_3},\n    DIALOG_GROUP: ${CMAKE_MATCH_4},\n"
                            "    DIALOG_UPDATE: ${updateText},\n")
endforeach()

file(WRITE "${OUTPUT}.new"
  "// Generated from the window's catalogue and dialog template by web/page_texts.cmake; do not\n"
  "// edit.\n"
  "const pageTexts = {\n"
  "  // The numbers the chain names texts by (resources/resource_ids.h).\n"
  "  ids: {\n${ids}  },\n"
  "  en: {\n${en}  },\n"
  "  de: {\n${de}  },\n"
  "};\n")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
