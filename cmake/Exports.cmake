# The 21 exports, read from src/dll/Corvane2.def (the one place their names
# live) into CORVANE_EXPORT_NAMES and CORVANE_EXPORT_BYTES.  On ELF
# platforms a linker version script makes them the only dynamic symbols of
# libCorvane2.so: nothing else the library holds (template instantiations of
# the C++ runtime headers, internal functions) is exported.

set(CORVANE_DEF_FILE ${CMAKE_SOURCE_DIR}/src/dll/Corvane2.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CORVANE_DEF_FILE})

# Export lines read "    _Name@bytes = Name@bytes".
file(STRINGS ${CORVANE_DEF_FILE} _corvane_export_lines REGEX "^[ \t]+_[A-Za-z0-9_]+@[0-9]+[ \t]*=")
set(CORVANE_EXPORT_NAMES "")
set(CORVANE_EXPORT_BYTES "")
foreach(_line IN LISTS _corvane_export_lines)
  string(REGEX MATCH "_([A-Za-z0-9_]+)@([0-9]+)" _match "${_line}")
  list(APPEND CORVANE_EXPORT_NAMES ${CMAKE_MATCH_1})
  list(APPEND CORVANE_EXPORT_BYTES ${CMAKE_MATCH_2})
endforeach()
list(LENGTH CORVANE_EXPORT_NAMES _corvane_export_count)
if(NOT _corvane_export_count EQUAL 21)
  message(FATAL_ERROR "${CORVANE_DEF_FILE} lists ${_corvane_export_count} exports, expected 21")
endif()

if(NOT WIN32 AND NOT APPLE)
  set(_map "{\n  global:\n")
  foreach(_name IN LISTS CORVANE_EXPORT_NAMES)
    string(APPEND _map "    ${_name};\n")
  endforeach()
  string(APPEND _map "  local:\n    *;\n};\n")
  set(CORVANE_VERSION_SCRIPT ${CMAKE_BINARY_DIR}/Corvane2.map)
  file(GENERATE OUTPUT ${CORVANE_VERSION_SCRIPT} CONTENT "${_map}")
  target_link_options(Corvane2 PRIVATE LINKER:--version-script=${CORVANE_VERSION_SCRIPT})
  set_property(TARGET Corvane2 APPEND PROPERTY LINK_DEPENDS ${CORVANE_VERSION_SCRIPT})
endif()
