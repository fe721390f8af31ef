#pragma once

#include <QString>

// The version of this build, fixed at compile time by UPDATER_VERSION (the CMake project version
// unless a target sets another one). Programs built from the same sources with different version
// strings differ in their bytes, which is what a self-update replaces.
[[nodiscard]] QString updaterVersion();
