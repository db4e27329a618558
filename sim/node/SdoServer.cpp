#include "SdoServer.h"
#include "canopen/Cia301.h"

#include <algorithm>
#include <cstring>

namespace kestrum::sim {

namespace sdo = canopen::sdo;
namespace {

std::uint32_t le32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

}  // namespace

void SdoServer::mux(std::uint8_t* a, std::uint16_t index, std::uint8_t sub) {
  canopen::sdo::putMultiplexer(a, index, sub);
}

bool SdoServer::abort(std::uint16_t index, std::uint8_t sub, std::uint32_t code, std::uint8_t* a) {
  mode_ = Mode::Idle;
  std::memset(a, 0, 8);
  a[0] = sdo::kAbort;
  mux(a, index, sub);
  canopen::putLe32(a + 4, code);
  return true;
}

bool SdoServer::handle(const std::uint8_t* data, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t answer[8]) {
  if (dlc == 0) return false;
  // Bytes a short frame did not carry read as absent (zero) and are checked
  // against `dlc` wherever a request needs them.
  std::uint8_t d[8] = {};
  std::memcpy(d, data, std::min<std::uint8_t>(dlc, 8));
  dlc = std::min<std::uint8_t>(dlc, 8);
  std::memset(answer, 0, 8);
  const std::uint16_t index = std::uint16_t(d[1] | d[2] << 8);
  switch (sdo::specifier(d[0])) {
    case sdo::kCcsDownloadSegment: return downloadSegment(d, dlc, nowUs, answer);
    case sdo::kCcsInitiateDownload: return dlc >= 4 && initiateDownload(d, dlc, nowUs, answer);
    case sdo::kCcsInitiateUpload: return dlc >= 4 && initiateUpload(d, nowUs, answer);
    case sdo::kCcsUploadSegment: return uploadSegment(d, nowUs, answer);
    case sdo::kCsAbort:  // the client aborts: end the transfer, no answer
      mode_ = Mode::Idle;
      return false;
    default:  // block transfers and undefined specifiers
      return abort(dlc >= 4 ? index : 0, dlc >= 4 ? d[3] : 0, sdo_abort::kUnknownCommand, answer);
  }
}

bool SdoServer::initiateDownload(const std::uint8_t* d, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t* a) {
  mode_ = Mode::Idle;  // a new request replaces an unfinished transfer
  const std::uint16_t index = std::uint16_t(d[1] | d[2] << 8);
  const std::uint8_t sub = d[3];
  std::size_t fixed = 0;
  std::size_t max = 0;
  if (std::uint32_t code = target_.sdoCheckWrite(index, sub, fixed, max)) return abort(index, sub, code, a);
  const std::size_t limit = fixed ? fixed : max;
  const bool expedited = d[0] & sdo::kExpedited;
  const bool sized = d[0] & sdo::kSizeIndicated;
  if (expedited) {
    std::size_t size = sized ? 4 - ((d[0] >> 2) & 3) : (fixed ? std::min<std::size_t>(fixed, 4) : 4);
    if (4 + size > dlc) return abort(index, sub, sdo_abort::kLength, a);
    if (size > limit) return abort(index, sub, sdo_abort::kTooLong, a);
    if (fixed && size < fixed) return abort(index, sub, sdo_abort::kTooShort, a);
    if (std::uint32_t code = target_.sdoWrite(index, sub, Bytes(d + 4, d + 4 + size)))
      return abort(index, sub, code, a);
  } else {
    indicated_ = 0;
    if (sized) {
      if (dlc < 8) return abort(index, sub, sdo_abort::kLength, a);
      indicated_ = le32(d + 4);
      if (indicated_ > limit) return abort(index, sub, sdo_abort::kTooLong, a);
      if (fixed && indicated_ < fixed) return abort(index, sub, sdo_abort::kTooShort, a);
    }
    mode_ = Mode::Download;
    index_ = index;
    sub_ = sub;
    toggle_ = 0;
    buffer_.clear();
    fixedSize_ = fixed;
    maxSize_ = limit;
    lastUs_ = nowUs;
  }
  a[0] = sdo::kDownloadAcknowledge;
  mux(a, index, sub);
  return true;
}

bool SdoServer::downloadSegment(const std::uint8_t* d, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t* a) {
  if (mode_ != Mode::Download) {
    const bool known = mode_ != Mode::Idle;
    return abort(known ? index_ : 0, known ? sub_ : 0, sdo_abort::kUnknownCommand, a);
  }
  const std::uint8_t toggle = (d[0] >> 4) & 1;
  if (toggle != toggle_) return abort(index_, sub_, sdo_abort::kToggle, a);
  const std::size_t size = std::size_t(7 - sdo::segmentUnused(d[0]));
  if (1 + size > dlc) return abort(index_, sub_, sdo_abort::kLength, a);
  buffer_.insert(buffer_.end(), d + 1, d + 1 + size);
  if (buffer_.size() > maxSize_ || (indicated_ && buffer_.size() > indicated_))
    return abort(index_, sub_, sdo_abort::kTooLong, a);
  toggle_ ^= 1;
  lastUs_ = nowUs;
  if (d[0] & sdo::kLastSegment) {  // the value is complete
    mode_ = Mode::Idle;
    if (indicated_ && buffer_.size() != indicated_) return abort(index_, sub_, sdo_abort::kLength, a);
    if (fixedSize_ && buffer_.size() < fixedSize_) return abort(index_, sub_, sdo_abort::kTooShort, a);
    if (std::uint32_t code = target_.sdoWrite(index_, sub_, buffer_)) return abort(index_, sub_, code, a);
  }
  a[0] = std::uint8_t(sdo::kScsDownloadSegment << 5 | toggle << 4);
  return true;
}

bool SdoServer::initiateUpload(const std::uint8_t* d, std::uint64_t nowUs, std::uint8_t* a) {
  mode_ = Mode::Idle;
  const std::uint16_t index = std::uint16_t(d[1] | d[2] << 8);
  const std::uint8_t sub = d[3];
  Bytes value;
  bool segmented = false;
  if (std::uint32_t code = target_.sdoRead(index, sub, value, segmented)) return abort(index, sub, code, a);
  mux(a, index, sub);
  if (!segmented && !value.empty() && value.size() <= 4) {
    a[0] = sdo::expeditedUpload(int(value.size()));
    std::copy(value.begin(), value.end(), a + 4);
    return true;
  }
  a[0] = sdo::kUploadSegmentedAnswer;
  canopen::putLe32(a + 4, std::uint32_t(value.size()));
  mode_ = Mode::Upload;
  index_ = index;
  sub_ = sub;
  toggle_ = 0;
  buffer_ = std::move(value);
  offset_ = 0;
  lastUs_ = nowUs;
  return true;
}

bool SdoServer::uploadSegment(const std::uint8_t* d, std::uint64_t nowUs, std::uint8_t* a) {
  if (mode_ != Mode::Upload) {
    const bool known = mode_ != Mode::Idle;
    return abort(known ? index_ : 0, known ? sub_ : 0, sdo_abort::kUnknownCommand, a);
  }
  const std::uint8_t toggle = (d[0] >> 4) & 1;
  if (toggle != toggle_) return abort(index_, sub_, sdo_abort::kToggle, a);
  const std::size_t chunk = std::min<std::size_t>(7, buffer_.size() - offset_);
  const bool last = offset_ + chunk == buffer_.size();
  a[0] = std::uint8_t(toggle << 4 | (7 - chunk) << 1 | (last ? 1 : 0));
  std::copy(buffer_.begin() + long(offset_), buffer_.begin() + long(offset_ + chunk), a + 1);
  offset_ += chunk;
  toggle_ ^= 1;
  lastUs_ = nowUs;
  if (last) mode_ = Mode::Idle;
  return true;
}

bool SdoServer::poll(std::uint64_t nowUs, std::uint8_t answer[8]) {
  if (mode_ == Mode::Idle || nowUs < deadlineUs()) return false;
  return abort(index_, sub_, sdo_abort::kTimeout, answer);
}

std::uint64_t SdoServer::deadlineUs() const {
  return mode_ == Mode::Idle ? kNever : lastUs_ + timeoutUs_;
}

}  // namespace kestrum::sim
