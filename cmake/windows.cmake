# Windows-only settings, included by the top-level CMakeLists.txt when building for Windows (with an
# official Qt and MSVC or MinGW, or cross-built here with cmake/mingw-w64-x86_64.cmake).

# Unicode Win32 calls; std::min and std::max stay usable next to <windows.h>.
target_compile_definitions(updater_options INTERFACE UNICODE _UNICODE NOMINMAX)

# A static Qt links its plugins into the programs: Qt 5.15's CMake files add the default plugins
# of a linked module, with their Q_IMPORT_PLUGIN sources, to each executable. The programs rely on
# the windows platform (desktop), the native widget style and the .ico reader (window icon), which
# are default plugins, and on offscreen (headless tests, unattended runs), which is not and is
# linked by updater_core (src/CMakeLists.txt). A static Qt without them is refused here rather than
# failing at run time with "no Qt platform plugin could be initialized".
get_target_property(updater_qt_type Qt5::Core TYPE)
if(updater_qt_type STREQUAL "STATIC_LIBRARY")
    foreach(plugin QWindowsIntegrationPlugin QOffscreenIntegrationPlugin QWindowsVistaStylePlugin QICOPlugin)
        if(NOT TARGET Qt5::${plugin})
            message(FATAL_ERROR "the static Qt lacks the plugin ${plugin}")
        endif()
    endforeach()
    set(UPDATER_EXTRA_QT_PLUGINS Qt5::QOffscreenIntegrationPlugin)
endif()

# Release signatures will be checked with libsodium, linked statically. Until code uses it, the
# cross build proves at configure time that the prefix's library is found and links.
option(UPDATER_CHECK_SODIUM "Check that a static libsodium links" OFF)
if(UPDATER_CHECK_SODIUM)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(SODIUM REQUIRED IMPORTED_TARGET libsodium)
    include(CheckCXXSourceCompiles)
    set(CMAKE_REQUIRED_LIBRARIES PkgConfig::SODIUM)
    set(CMAKE_REQUIRED_DEFINITIONS -DSODIUM_STATIC)
    check_cxx_source_compiles([[
        #include <sodium.h>
        int main()
        {
            unsigned char pk[crypto_sign_PUBLICKEYBYTES], sk[crypto_sign_SECRETKEYBYTES];
            unsigned char sig[crypto_sign_BYTES];
            const unsigned char msg[] = "release";
            if (sodium_init() < 0 || crypto_sign_keypair(pk, sk) != 0)
                return 1;
            crypto_sign_detached(sig, nullptr, msg, sizeof msg, sk);
            return crypto_sign_verify_detached(sig, msg, sizeof msg, pk);
        }]] UPDATER_SODIUM_LINKS)
    unset(CMAKE_REQUIRED_LIBRARIES)
    unset(CMAKE_REQUIRED_DEFINITIONS)
    if(NOT UPDATER_SODIUM_LINKS)
        message(FATAL_ERROR "libsodium was found but a program using it does not link")
    endif()
endif()
