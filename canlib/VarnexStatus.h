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

  /// Called from inside a receive, error or all-frames callback: the frame's
  /// whole identifier (29 bits for an extended frame, where the callback's id
  /// holds only the low 11) and its kind, kFrame* bits. False, and nothing
  /// written, outside a callback. A process that loaded the library with
  /// dlopen finds it as the symbol kCurrentFrameSymbol (a VarnexCurrentFrameFn).
  static bool currentFrame(std::uint32_t* id, std::uint8_t* kind);
  static constexpr const char* kCurrentFrameSymbol = "_ZN12VarnexStatus12currentFrameEPjPh";
  static constexpr std::uint8_t kFrameExtended = 0x01;
  static constexpr std::uint8_t kFrameRemote = 0x02;
};

typedef bool (*VarnexCurrentFrameFn)(std::uint32_t* id, std::uint8_t* kind);

namespace varnex {

/// Makes a frame the one VarnexStatus::currentFrame reports on this thread
/// while the object lives (around the callbacks of one frame).
class CurrentFrame {
 public:
  CurrentFrame(std::uint32_t id, std::uint8_t kind);
  ~CurrentFrame();
  CurrentFrame(const CurrentFrame&) = delete;
  CurrentFrame& operator=(const CurrentFrame&) = delete;
};

}  // namespace varnex
