# Toolchain of the windows flavour: 64-bit Windows programs built on Linux
# with mingw-w64 (the posix-threads g++ of Debian's g++-mingw-w64-x86-64-posix)
# and run under Wine.
#
#   cmake -S . -B build/windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw64.cmake
#
# Third-party libraries for Windows are looked up in the mingw-w64 root and in
# our cache prefix (built by cmake/windows/deps.sh; `./run` does it):
#   BREVIK_WINDOWS_PREFIX, else $BREVIK_CACHE/windows/prefix,
#   else $HOME/.cache/brevik/windows/prefix.
#
# Everything is linked with -static: the C, C++ and winpthread runtimes are
# inside each .exe and .dll, which then import system DLLs only.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BREVIK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   /usr/bin/${BREVIK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER /usr/bin/${BREVIK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER  /usr/bin/${BREVIK_MINGW_TRIPLET}-windres)
set(CMAKE_OBJDUMP      /usr/bin/${BREVIK_MINGW_TRIPLET}-objdump CACHE FILEPATH "objdump of the mingw-w64 binutils")

# The cache prefix with our Windows builds of third-party libraries.
if(NOT BREVIK_WINDOWS_PREFIX)
    if(DEFINED ENV{BREVIK_WINDOWS_PREFIX} AND NOT "$ENV{BREVIK_WINDOWS_PREFIX}" STREQUAL "")
        set(BREVIK_WINDOWS_PREFIX "$ENV{BREVIK_WINDOWS_PREFIX}")
    elseif(DEFINED ENV{BREVIK_CACHE} AND NOT "$ENV{BREVIK_CACHE}" STREQUAL "")
        set(BREVIK_WINDOWS_PREFIX "$ENV{BREVIK_CACHE}/windows/prefix")
    else()
        set(BREVIK_WINDOWS_PREFIX "$ENV{HOME}/.cache/brevik/windows/prefix")
    endif()
endif()
# try_compile projects read this file again: hand the prefix on.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES BREVIK_WINDOWS_PREFIX)

set(CMAKE_FIND_ROOT_PATH /usr/${BREVIK_MINGW_TRIPLET} "${BREVIK_WINDOWS_PREFIX}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static libraries only: zlib comes from libz-mingw-w64-dev, which also
# ships an import library that FindZLIB would otherwise prefer.
set(ZLIB_USE_STATIC_LIBS ON)

# Static runtimes.  -static-libgcc -static-libstdc++ alone would still
# import libwinpthread-1.dll.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")

# Tests and other programs of the build run under Wine through this wrapper,
# written into the build folder when the project is configured (see
# cmake/BrevikWindows.cmake).  In try_compile projects it is not used.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_BINARY_DIR}/wine-run")
