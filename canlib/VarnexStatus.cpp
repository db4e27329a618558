#include "VarnexStatus.h"

std::atomic<std::int32_t> VarnexStatus::firmwareUpdateProgress{0};
std::atomic<std::int32_t> VarnexStatus::firmwareUpdateCause{0};
std::atomic<VarnexBoxHook> VarnexStatus::boxHook{nullptr};

std::int32_t VarnexStatus::getFirmwareUpdateProgress() { return firmwareUpdateProgress; }
std::int32_t VarnexStatus::getFirmwareUpdateCause() { return firmwareUpdateCause; }
