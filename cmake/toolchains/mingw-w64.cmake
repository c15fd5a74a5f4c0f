# Cross build for 64-bit Windows with Debian's mingw-w64 (posix threads),
# tests run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(VEERPIC_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${VEERPIC_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VEERPIC_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${VEERPIC_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VEERPIC_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One executable with no DLL beside it: the C and C++ runtimes and winpthread
# are linked in.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine, in a prefix of the build's own, quietly, and
# again only where Wine itself failed them (wine-test.sh).
find_program(VEERPIC_WINE NAMES wine wine64)
if(VEERPIC_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR
      /usr/bin/env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine-prefix
      VEERPIC_WINE=${VEERPIC_WINE} ${CMAKE_CURRENT_LIST_DIR}/../wine-test.sh)
endif()
