# Cross-building pelirand for Windows with mingw-w64 (posix threads: Qt needs
# std::thread). Use as
#   cmake -S . -B build-win32 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/mingw-w64.cmake \
#         -DPELIRAND_WINDOWS_QT=<unpacked Qt> -DPELIRAND_WINDOWS_DEPS=<unpacked deps>
# PELIRAND_WINDOWS_ARCH picks the target: i686 (the bridge and everything, the
# default) or x86_64 (the client library and pelirand-scan for 64-bit
# applications). The three settings may also come from the environment.
# Test programs run through Wine (CMAKE_CROSSCOMPILING_EMULATOR), so ctest runs
# the suite under Wine.

foreach(var PELIRAND_WINDOWS_ARCH PELIRAND_WINDOWS_QT PELIRAND_WINDOWS_DEPS)
    if(NOT DEFINED ${var} AND DEFINED ENV{${var}})
        set(${var} "$ENV{${var}}")
    endif()
endforeach()
if(NOT PELIRAND_WINDOWS_ARCH)
    set(PELIRAND_WINDOWS_ARCH i686)
endif()
if(NOT PELIRAND_WINDOWS_ARCH MATCHES "^(i686|x86_64)$")
    message(FATAL_ERROR "PELIRAND_WINDOWS_ARCH must be i686 or x86_64, not ${PELIRAND_WINDOWS_ARCH}")
endif()
foreach(var PELIRAND_WINDOWS_QT PELIRAND_WINDOWS_DEPS)
    if(NOT IS_DIRECTORY "${${var}}")
        message(FATAL_ERROR "${var} must name the unpacked folder (now: '${${var}}')")
    endif()
endforeach()
# try_compile projects see the same settings.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
    PELIRAND_WINDOWS_ARCH PELIRAND_WINDOWS_QT PELIRAND_WINDOWS_DEPS)

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${PELIRAND_WINDOWS_ARCH})
set(triple ${PELIRAND_WINDOWS_ARCH}-w64-mingw32)
set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${PELIRAND_WINDOWS_QT} ${PELIRAND_WINDOWS_DEPS})
set(CMAKE_PREFIX_PATH ${PELIRAND_WINDOWS_QT} ${PELIRAND_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Debian's wine starts 32- and 64-bit programs alike.
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
