# Cross build for Windows x64 with MinGW-w64 (posix threads), static runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(_mingw_prefix x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${_mingw_prefix}-gcc-posix)
set(CMAKE_CXX_COMPILER ${_mingw_prefix}-g++-posix)
set(CMAKE_RC_COMPILER  ${_mingw_prefix}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${_mingw_prefix})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No MinGW runtime DLLs at run time.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests run through the Wine loader.
find_program(QLN_WINE_LOADER NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(QLN_WINE_LOADER)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${QLN_WINE_LOADER})
endif()
