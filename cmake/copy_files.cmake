# copyFiles(<destination> <outputs var> <file>...): build rules that copy each file of the current
# source folder into <destination> whenever it changes; the copies' paths are appended to the
# variable, for a target to depend on. The page, the demo and the bench's browser client use it.
function(copyFiles destination outputsVar)
  set(outputs ${${outputsVar}})
  foreach(file IN LISTS ARGN)
    add_custom_command(
      OUTPUT ${destination}/${file}
      COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_SOURCE_DIR}/${file} ${destination}/${file}
      DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${file}
      VERBATIM)
    list(APPEND outputs ${destination}/${file})
  endforeach()
  set(${outputsVar} ${outputs} PARENT_SCOPE)
endfunction()
