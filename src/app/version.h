#pragma once

#include <QString>

// The updater's own version, as the build stamped it.
[[nodiscard]] QString updaterVersion();
