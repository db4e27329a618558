#include "VarnexStatus.h"

std::atomic<std::int32_t> VarnexStatus::firmwareUpdateProgress{0};
std::atomic<std::int32_t> VarnexStatus::firmwareUpdateCause{0};
std::atomic<VarnexBoxHook> VarnexStatus::boxHook{nullptr};

std::int32_t VarnexStatus::getFirmwareUpdateProgress() { return firmwareUpdateProgress; }
std::int32_t VarnexStatus::getFirmwareUpdateCause() { return firmwareUpdateCause; }

namespace {
// The frame whose callbacks run on this thread: the receive thread's, or a
// transmitting thread's for the all-frames callback.
struct Frame {
  bool active = false;
  std::uint32_t id = 0;
  std::uint8_t kind = 0;
};
thread_local Frame current;
}  // namespace

bool VarnexStatus::currentFrame(std::uint32_t* id, std::uint8_t* kind) {
  if (!current.active) return false;
  if (id) *id = current.id;
  if (kind) *kind = current.kind;
  return true;
}

varnex::CurrentFrame::CurrentFrame(std::uint32_t id, std::uint8_t kind) { current = {true, id, kind}; }
varnex::CurrentFrame::~CurrentFrame() { current = {}; }
