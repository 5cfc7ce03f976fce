# Cross build for 64-bit Windows with Debian's mingw-w64 (package g++-mingw-w64-x86-64-posix).
# The posix thread model gives std::thread and std::mutex; everything is linked statically, so
# the .exe files need no DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(QPT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${QPT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QPT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${QPT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${QPT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run the .exe files through Wine (Debian's wine64 keeps its loader in /usr/lib/wine),
# in a Wine folder of this build's own, so that no other build or user shares its state.
find_program(QPT_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QPT_WINE AND NOT CMAKE_HOST_WIN32)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEPREFIX=${CMAKE_BINARY_DIR}/wine WINEDEBUG=-all ${QPT_WINE})
endif()
