# Installation: the header, the shared library, a pkg-config file and a CMake
# package, so that programs outside this tree can use the library.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(FILES ${CMAKE_SOURCE_DIR}/include/corvane2.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS Corvane2 EXPORT Corvane2Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# Windows: Corvane2.dll in bin, the MinGW import library libCorvane2.dll.a
# in lib, and beside it the module definition from which MSVC's lib.exe
# makes an import library of its own.
if(WIN32 AND CORVANE_LIB_DEF)
  install(FILES ${CORVANE_LIB_DEF} DESTINATION ${CMAKE_INSTALL_LIBDIR} RENAME Corvane2.def)
endif()

# The run-time search path.  A program linked against the installed library,
# through the CMake package or pkg-config, records the library's directory
# (an rpath), so that it runs without LD_LIBRARY_PATH or ldconfig.  The
# directory is the one the package is found in, so a moved prefix works
# for programs linked after the move.
set(CORVANE_PC_RPATH "")
if(UNIX AND NOT APPLE)
  target_link_options(Corvane2 INTERFACE
    "$<INSTALL_INTERFACE:LINKER:-rpath,$<INSTALL_PREFIX>/${CMAKE_INSTALL_LIBDIR}>")
  set(CORVANE_PC_RPATH "-Wl,-rpath,\${libdir} ")
endif()
if(TARGET corvane)
  install(TARGETS corvane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT Corvane2Targets NAMESPACE Corvane2::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Corvane2)
file(WRITE ${CMAKE_BINARY_DIR}/Corvane2Config.cmake
  "include(\${CMAKE_CURRENT_LIST_DIR}/Corvane2Targets.cmake)\n")
write_basic_package_version_file(${CMAKE_BINARY_DIR}/Corvane2ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/Corvane2Config.cmake
              ${CMAKE_BINARY_DIR}/Corvane2ConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Corvane2)

# The prefix is found relative to the .pc file, so the package can be moved.
file(RELATIVE_PATH CORVANE_PC_RELATIVE_PREFIX
  "${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/corvane2.pc.in ${CMAKE_BINARY_DIR}/corvane2.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/corvane2.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
