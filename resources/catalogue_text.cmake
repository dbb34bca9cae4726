# catalogueText(<script> <name> <var>): the text `name` of a resource script's STRINGTABLE, as
# the row of "..." literals it is written in, one a line, with C escapes. C++ and JavaScript read
# such a row as one string (JavaScript once "+" joins the lines). Included by the generators that
# hand the window's catalogue to the other front ends.
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
