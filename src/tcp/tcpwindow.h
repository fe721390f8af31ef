#pragma once

#include <QtGlobal>

// Look of the TCP progress window.
namespace TcpWindow {

inline constexpr int Width = 684;
inline constexpr int Height = 539;
inline constexpr int FontPointSize = 10;

inline constexpr const char *ColorInfo = "#2196F3";
inline constexpr const char *ColorError = "#f44336";
inline constexpr const char *ColorSuccess = "#4CAF50";
inline constexpr const char *ColorIdle = "#666";

inline constexpr qint64 KiB = 1024;
inline constexpr qint64 MiB = 1024 * KiB;
inline constexpr qint64 GiB = 1024 * MiB;
inline constexpr int SizeDecimals = 2;
inline constexpr int FullPercent = 100;

} // namespace TcpWindow
