# Corvane2.dll: the export table, a self-contained runtime, the import
# library, the module definition for lib.exe and the version resource.
# Included by the top CMakeLists.txt for Windows builds.
#
# src/dll/Corvane2.def lists the 21 exports with their 32-bit decorations;
# the 64-bit export list, the import library and the lib.exe module
# definition (CORVANE_LIB_DEF, installed as Corvane2.def) are derived from
# it here.

# Extra sources for the shared library only, empty by default: a way to try
# the DLL checks with stand-in exports before every export is written.
set(CORVANE_EXTRA_SOURCES "" CACHE STRING "Extra sources compiled into the shared library only")
if(CORVANE_EXTRA_SOURCES)
  target_sources(Corvane2 PRIVATE ${CORVANE_EXTRA_SOURCES})
endif()

# CORVANE_DEF_FILE, CORVANE_EXPORT_NAMES and CORVANE_EXPORT_BYTES come from
# cmake/Exports.cmake.

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  # The def file gives the decorated export names.  Stdcall fix-up stays off:
  # a byte count in the def file that does not match the compiled prototype
  # then fails the link instead of being bound to the undecorated symbol.
  target_sources(Corvane2 PRIVATE ${CORVANE_DEF_FILE})
  target_link_options(Corvane2 PRIVATE LINKER:--disable-stdcall-fixup)

  # The import library ld writes from such a def file names the symbols after
  # the export names, one underscore too many (__MP4FileOpen@8) for a client
  # that calls MP4FileOpen.  dlltool writes one whose symbols are the
  # client's (_MP4FileOpen@8) and whose imports are the decorated exports.
  set(_implib_def "LIBRARY Corvane2.dll\nEXPORTS\n")
  foreach(_name _bytes IN ZIP_LISTS CORVANE_EXPORT_NAMES CORVANE_EXPORT_BYTES)
    string(APPEND _implib_def "    ${_name}@${_bytes} == _${_name}@${_bytes}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/Corvane2-implib.def CONTENT "${_implib_def}")
  if(NOT CMAKE_DLLTOOL)
    find_program(CMAKE_DLLTOOL NAMES ${CORVANE_MINGW_TRIPLET}-dlltool dlltool REQUIRED)
  endif()
  add_custom_command(TARGET Corvane2 POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --def ${CMAKE_BINARY_DIR}/Corvane2-implib.def
            --dllname Corvane2.dll --output-lib $<TARGET_LINKER_FILE:Corvane2>
    COMMENT "Writing the import library for the decorated exports"
    VERBATIM)

  # The exports as Microsoft's lib.exe reads a module definition, for hosts
  # built with MSVC (lib /def:Corvane2.def /machine:x86 makes their import
  # library).  lib takes a name with '@' as fully decorated, leading
  # underscore included, and imports it by that very name.
  set(_lib_def "LIBRARY Corvane2.dll\nEXPORTS\n")
  foreach(_name _bytes IN ZIP_LISTS CORVANE_EXPORT_NAMES CORVANE_EXPORT_BYTES)
    string(APPEND _lib_def "    _${_name}@${_bytes}\n")
  endforeach()
  set(CORVANE_LIB_DEF ${CMAKE_BINARY_DIR}/Corvane2-lib.def)
  file(GENERATE OUTPUT ${CORVANE_LIB_DEF} CONTENT "${_lib_def}")
else()
  # x64 has one calling convention and no decoration: plain names.
  set(_def64 "LIBRARY Corvane2.dll\nEXPORTS\n")
  foreach(_name IN LISTS CORVANE_EXPORT_NAMES)
    string(APPEND _def64 "    ${_name}\n")
  endforeach()
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/Corvane2-x64.def CONTENT "${_def64}")
  target_sources(Corvane2 PRIVATE ${CMAKE_BINARY_DIR}/Corvane2-x64.def)
  # lib.exe reads the same list (lib /def:Corvane2.def /machine:x64).
  set(CORVANE_LIB_DEF ${CMAKE_BINARY_DIR}/Corvane2-x64.def)
endif()

# The version resource, which Windows shows in the file's properties: the
# project version, read from include/corvane2.h.
enable_language(RC)
configure_file(${CMAKE_SOURCE_DIR}/src/dll/version.rc.in ${CMAKE_BINARY_DIR}/Corvane2-version.rc
               @ONLY)
target_sources(Corvane2 PRIVATE ${CMAKE_BINARY_DIR}/Corvane2-version.rc)

# The C and C++ runtimes (libgcc, libstdc++, winpthread) are linked in, so
# the DLL needs nothing beyond the system DLLs (KERNEL32, msvcrt).
target_link_options(Corvane2 PRIVATE -static -static-libgcc -static-libstdc++)
