#pragma once

// Registers the compiled-in images (":/res/logo.ico", ":/res/bk.png"). The resources live in a
// static library, so something must reference them or the linker drops them; every user of an
// image calls this first. Cheap after the first call.
void ensureResources();

// The compiled-in images.
inline constexpr char ApplicationIconPath[] = ":/res/logo.ico";
inline constexpr char BackgroundImagePath[] = ":/res/bk.png"; // 640 x 455, scaled to each window
