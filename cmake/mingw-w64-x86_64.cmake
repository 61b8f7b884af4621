# Cross build for 64-bit Windows with mingw-w64 (posix thread model, for std::thread and
# std::mutex), the runtime linked in statically so that the executables run on a bare Windows
# or under Wine without any MinGW DLL beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KP_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KP_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KP_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${KP_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KP_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The Qt-free layers and their tests only; the switch tells the project so.
set(KP_CROSS_WINDOWS ON CACHE BOOL "Cross build for Windows: Qt-free layers and their tests")

# ctest (and anything else that runs a target) starts the executables under Wine.
if(EXISTS /usr/lib/wine/wine64)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
endif()
