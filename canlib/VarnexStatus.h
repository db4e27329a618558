#pragma once
#include <atomic>
#include <cstdint>

#include "VarnexExport.h"

/// Receives every message box of the library instead of the screen: caption,
/// text and icon (0 none, 1 error). The box counts as answered with OK when
/// the hook returns.
typedef void (*VarnexBoxHook)(const char* caption, const char* text, int icon);

/// Status of the last firmware download, and the library's message-box seam.
class VARNEX_EXPORT VarnexStatus {
 public:
  static std::int32_t getFirmwareUpdateProgress();
  static std::int32_t getFirmwareUpdateCause();

  static std::atomic<std::int32_t> firmwareUpdateProgress;
  static std::atomic<std::int32_t> firmwareUpdateCause;

  /// When set, every box goes here (tests read and answer boxes this way).
  /// A process that loaded the library with dlopen finds it as the symbol
  /// kBoxHookSymbol, an std::atomic<VarnexBoxHook>.
  static std::atomic<VarnexBoxHook> boxHook;
  static constexpr const char* kBoxHookSymbol = "_ZN12VarnexStatus7boxHookE";
};
