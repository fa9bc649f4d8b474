# Reads link lines as the build has them (build.ninja, or a Makefile build's
# link.txt) and fails when one links documents, printing, libtiff, CUPS or a
# Qt module that draws; the client may link no Qt module but QtCore.
#   cmake -D NINJA_FILE=... -D CLIENT=a -D SERVER=b [-D LINK_TXT_a=...] -P LinkRules.cmake
function(link_line target out)
  set(line "")
  if(EXISTS "${NINJA_FILE}")
    file(READ "${NINJA_FILE}" ninja)
    string(REGEX MATCH "\nbuild [^\n]*: CXX_EXECUTABLE_LINKER__${target}_[^\n]*\n( [^\n]*\n)*" stmt
           "${ninja}")
    string(REGEX MATCH "\n  LINK_LIBRARIES = [^\n]*" line "${stmt}")
  elseif(DEFINED LINK_TXT_${target})
    file(READ "${LINK_TXT_${target}}" line)
  endif()
  if("${line}" STREQUAL "")
    message(FATAL_ERROR "no link line found for ${target}")
  endif()
  set(${out} "${line}" PARENT_SCOPE)
endfunction()

foreach(target ${CLIENT} ${SERVER})
  message(STATUS "link line of ${target}")
  link_line(${target} line)
  string(REGEX MATCHALL "libgd_document|libgd_printing[a-z_]*|libtiff|libcups|libQt6[A-Za-z]+" found
         "${line}")
  list(REMOVE_DUPLICATES found)
  if(target STREQUAL CLIENT)
    list(REMOVE_ITEM found libQt6Core)
  else()
    list(FILTER found EXCLUDE REGEX "^libQt6(Core|Network|DBus)$")
  endif()
  if(found)
    message(SEND_ERROR "${target} links ${found}:${line}")
  endif()
  if(target STREQUAL CLIENT AND NOT line MATCHES "libQt6Core")
    message(SEND_ERROR "${target}: QtCore is not on its link line:${line}")
  endif()
endforeach()
