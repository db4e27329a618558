#include "canopen/SdoClient.h"

#include "canopen/Cia301.h"

namespace kestrum::canopen {

using namespace sdo_result;

SdoClient::Step SdoClient::send(std::array<std::uint8_t, 8> request) {
  waitedUs_ = 0;
  Step s;
  s.kind = Step::Send;
  s.request = request;
  return s;
}

SdoClient::Step SdoClient::finish(Result r) {
  phase_ = Phase::Idle;
  data_.clear();
  Step s;
  s.result = std::move(r);
  return s;
}

SdoClient::Step SdoClient::upload(std::uint16_t index, std::uint8_t sub, std::uint8_t size) {
  if (size != sdo_size::kU8 && size != sdo_size::kU16 && size != sdo_size::kU32 &&
      size != sdo_size::kString)
    return finish({kUnknownType});
  phase_ = Phase::Upload;
  index_ = index;
  sub_ = sub;
  size_ = size;
  std::array<std::uint8_t, 8> request{sdo::kUploadRequest};
  sdo::putMultiplexer(request.data(), index, sub);
  return send(request);
}

SdoClient::Step SdoClient::download(std::uint16_t index, std::uint8_t sub, std::uint8_t size,
                                    std::int32_t value) {
  if (size != sdo_size::kU8 && size != sdo_size::kU16 && size != sdo_size::kU32)
    return finish({kUnknownType});
  phase_ = Phase::Download;
  index_ = index;
  sub_ = sub;
  size_ = size;
  std::array<std::uint8_t, 8> request{sdo::expeditedDownload(size)};
  sdo::putMultiplexer(request.data(), index, sub);
  for (int i = 0; i < size; ++i) request[4 + i] = std::uint8_t(std::uint32_t(value) >> (8 * i));
  return send(request);
}

SdoClient::Step SdoClient::onTimeout() {
  if (phase_ == Phase::Idle) return {Step::Wait};
  return finish({kNoAnswer, 0, phase_ == Phase::Segment ? sdo_size::kString : 0});
}

SdoClient::Step SdoClient::onSendFailed() {
  if (phase_ == Phase::Idle) return {Step::Wait};
  return finish({kBusDead, 0, phase_ == Phase::Segment ? sdo_size::kString : 0});
}

SdoClient::Step SdoClient::elapse(std::uint64_t us) {
  if (phase_ == Phase::Idle || timeoutUs_ == 0) return {Step::Wait};
  waitedUs_ += us;
  return waitedUs_ > timeoutUs_ ? onTimeout() : Step{Step::Wait};
}

SdoClient::Step SdoClient::onAnswer(const std::uint8_t* data, std::uint8_t dlc) {
  if (phase_ == Phase::Idle) return {Step::Wait};
  if (dlc != 8)
    return finish({kWrongLength, 0, phase_ == Phase::Segment ? sdo_size::kString : 0});
  if (phase_ == Phase::Segment) return segmentAnswer(data);
  // Initiate answers name the object; segments do not.
  if (sdo::multiplexerIndex(data) != index_) return finish({kWrongIndex});
  if (data[3] != sub_) return finish({kWrongSubIndex});
  if (data[0] == sdo::kAbort) return finish({kAborted, le32(data + 4)});
  return phase_ == Phase::Download ? downloadAnswer(data) : initiateAnswer(data);
}

SdoClient::Step SdoClient::downloadAnswer(const std::uint8_t* a) {
  if (a[0] != sdo::kDownloadAcknowledge) return finish({kUnknownHeader});
  if (a[4] || a[5] || a[6] || a[7])
    return finish({size_ == sdo_size::kU8 ? kNonZero8 : size_ == sdo_size::kU16 ? kNonZero16 : kNonZero32});
  return finish({});
}

SdoClient::Step SdoClient::initiateAnswer(const std::uint8_t* a) {
  // Only the command bytes with the size indicated are taken; an expedited
  // answer without size (0x42) or of three bytes (0x47) is not.
  Result r;
  switch (a[0]) {
    case sdo::expeditedUpload(4):
      r.size = 4;
      if (size_ == sdo_size::kU32) r.value = std::int32_t(le32(a + 4));
      else r.code = kWrongType32;
      return finish(r);
    case sdo::expeditedUpload(2):
      if (a[6] || a[7]) return finish({kNonZero16});
      r.size = 2;
      if (size_ == sdo_size::kU16) r.value = le16(a + 4);
      else r.code = kWrongType16;
      return finish(r);
    case sdo::expeditedUpload(1):
      if (a[5] || a[6] || a[7]) return finish({kNonZero8});
      r.size = 1;
      if (size_ == sdo_size::kU8) r.value = a[4];
      else r.code = kWrongType8;
      return finish(r);
    case sdo::kUploadSegmentedAnswer:
      if (a[5] || a[6] || a[7]) return finish({kNonZero8});
      if (size_ != sdo_size::kString) return finish({kWrongType16, 0, sdo_size::kString});
      // Only the low byte of the announced size counts: strings of up to 255 bytes.
      announced_ = a[4];
      toggle_ = false;
      data_.clear();
      if (announced_ == 0) return finish({kOk, 0, sdo_size::kString, 0});
      phase_ = Phase::Segment;
      return send(segmentRequest());
    default:
      return finish({kUnknownHeader});
  }
}

std::array<std::uint8_t, 8> SdoClient::segmentRequest() const {
  return {std::uint8_t(sdo::kUploadSegmentRequest | (toggle_ ? sdo::kToggle : 0))};
}

SdoClient::Step SdoClient::segmentAnswer(const std::uint8_t* a) {
  const Result broken{kAborted, 0, sdo_size::kString};
  std::size_t bytes = 0;
  bool last = false;
  if (a[0] == (toggle_ ? sdo::kToggle : 0)) {
    bytes = 7;
    toggle_ = !toggle_;
  } else if (sdo::specifier(a[0]) == sdo::kScsUploadSegment && (a[0] & sdo::kToggle) == (toggle_ ? sdo::kToggle : 0) &&
             (a[0] & sdo::kLastSegment)) {
    // Only a segment answer with the expected toggle ends the transfer: a
    // late expedited answer (0x43 also has bit 0 set) or a repeated segment
    // of the other toggle once passed as the last segment.
    bytes = std::size_t(7 - sdo::segmentUnused(a[0]));
    last = true;
  } else {
    return finish(broken);  // a wrong toggle, or an abort in the middle of the transfer
  }
  data_.append(reinterpret_cast<const char*>(a + 1), bytes);
  // More data than announced, or the end before all of it: the transfer
  // cannot complete (rather than requesting segments without end).
  if (data_.size() > announced_ || (last && data_.size() != announced_)) return finish(broken);
  if (data_.size() < announced_) return send(segmentRequest());
  Result done{kOk, 0, sdo_size::kString, std::int32_t(announced_)};
  done.data = std::move(data_);
  return finish(std::move(done));
}

}  // namespace kestrum::canopen
