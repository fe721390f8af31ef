# Cross-builds for Windows x64 with Debian's MinGW-w64 (posix thread model) against the static Qt,
# libsodium and header-only spdlog/fmt that scripts/windows-toolchain installs into one prefix:
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DUPDATER_MINGW_PREFIX=$(scripts/windows-toolchain | tail -n1)
#
# Programs built this way run here under Wine (CMAKE_CROSSCOMPILING_EMULATOR, used by ctest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(UPDATER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${UPDATER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPDATER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${UPDATER_MINGW_TRIPLET}-windres)

if(NOT UPDATER_MINGW_PREFIX AND DEFINED ENV{UPDATER_MINGW_PREFIX})
    set(UPDATER_MINGW_PREFIX $ENV{UPDATER_MINGW_PREFIX})
endif()
if(NOT UPDATER_MINGW_PREFIX OR NOT EXISTS ${UPDATER_MINGW_PREFIX}/lib/cmake/Qt5)
    message(FATAL_ERROR "UPDATER_MINGW_PREFIX must name the prefix that scripts/windows-toolchain printed")
endif()
# try_compile projects get the toolchain file too; hand the prefix on to them.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UPDATER_MINGW_PREFIX)

# Libraries and headers come from the prefix and MinGW's own tree only, never from the build
# machine's /usr; programs (moc, uic, rcc of the static Qt) run on the build machine.
set(CMAKE_FIND_ROOT_PATH ${UPDATER_MINGW_PREFIX} /usr/${UPDATER_MINGW_TRIPLET})
set(CMAKE_PREFIX_PATH ${UPDATER_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# pkg-config finds the prefix's libsodium.pc and nothing of the build machine.
set(ENV{PKG_CONFIG_LIBDIR} ${UPDATER_MINGW_PREFIX}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
set(ENV{PKG_CONFIG_SYSROOT_DIR} "")

# One self-contained update.exe: the C++ and thread runtimes are linked in as well. A release
# build drops the symbols, which would triple the size of a program that holds all of Qt it uses.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

find_program(UPDATER_WINE wine)
if(UPDATER_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${UPDATER_WINE})
endif()
