# Shared part of the MinGW-w64 toolchains; TIVLO_MINGW_TRIPLE names the target.
set(CMAKE_C_COMPILER ${TIVLO_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TIVLO_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TIVLO_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${TIVLO_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes (and winpthreads) are linked in, so tivlo.dll and
# the test programs need no MinGW DLL next to them.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Programs built here run under Wine.
find_program(TIVLO_WINE wine64 wine)
if(TIVLO_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TIVLO_WINE})
endif()
