#include "FrameRing.h"

#include <algorithm>
#include <cstring>

FrameRing::FrameRing(std::size_t capacity) : slots_(std::max<std::size_t>(capacity, 1)) {}

std::uint32_t FrameRing::push(const std::uint8_t* data, std::uint32_t time, std::uint16_t id,
                              std::uint8_t dlc, bool transmitted, std::uint8_t kind,
                              std::uint32_t wholeId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (count_ == slots_.size()) {
    head_ = (head_ + 1) % slots_.size();
    --count_;
    ++dropped_;
  }
  ConnectorFrame& f = slots_[(head_ + count_) % slots_.size()];
  ++count_;
  if (data)
    std::memcpy(f.data, data, sizeof f.data);
  else
    std::memset(f.data, 0, sizeof f.data);
  f.time = time;
  f.id = id;
  f.dlc = dlc;
  f.isTx = transmitted ? 1 : 0;
  f.seq = ++seq_;
  f.kind = kind;
  f.wholeId = (kind & kFrameExtended) ? wholeId : id;
  return f.seq;
}

std::uint64_t FrameRing::take(std::vector<ConnectorFrame>& out, std::size_t max) {
  out.clear();
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t n = std::min(count_, max);
  for (std::size_t i = 0; i < n; ++i) out.push_back(slots_[(head_ + i) % slots_.size()]);
  head_ = (head_ + n) % slots_.size();
  count_ -= n;
  const std::uint64_t dropped = dropped_;
  dropped_ = 0;
  return dropped;
}
