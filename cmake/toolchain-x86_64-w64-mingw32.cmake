# Cross-compiling for Windows with the MinGW-w64 toolchain of Debian
# (package g++-mingw-w64-x86-64; scripts/build-windows.sh installs it when missing).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(CORVANE_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${CORVANE_MINGW_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${CORVANE_MINGW_TRIPLET}-g++)
set(CMAKE_RC_COMPILER ${CORVANE_MINGW_TRIPLET}-windres)
set(CMAKE_DLLTOOL ${CORVANE_MINGW_TRIPLET}-dlltool)
set(CMAKE_OBJDUMP ${CORVANE_MINGW_TRIPLET}-objdump)

# Headers and libraries come from the toolchain's own tree only.
set(CMAKE_FIND_ROOT_PATH /usr/${CORVANE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
