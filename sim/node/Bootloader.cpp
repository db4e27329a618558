#include "Bootloader.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace kestrum::sim {
namespace {

namespace boot = canopen::orvane::bootloader;
namespace cob = canopen::cob;
namespace sdo = canopen::sdo;

constexpr char kImageMagic[4] = {'K', 'I', 'M', 'G'};
constexpr char kVersionMarker[] = "KVER:";

}  // namespace

Bootloader::Bootloader(std::string imagePath, Options options) : path_(std::move(imagePath)), options_(options) {}

std::string Bootloader::imagePathFor(const std::string& statePath) {
  return statePath.empty() ? std::string() : statePath + ".image";
}

std::string Bootloader::versionOf(const std::vector<std::uint8_t>& image) {
  const std::size_t markerSize = sizeof kVersionMarker - 1;
  auto at = std::search(image.begin(), image.end(), kVersionMarker, kVersionMarker + markerSize);
  if (at == image.end()) return {};
  std::string text;
  for (auto it = at + long(markerSize); it != image.end() && *it != 0 && text.size() < kMaxVersionChars; ++it)
    text.push_back(char(*it));
  return text;
}

// --- resets and time ----------------------------------------------------------

void Bootloader::reset(SimNode& node, ResetKind kind, std::uint64_t nowUs) {
  nowUs_ = nowUs;
  // The flash is read when the supply comes on; between power cycles the
  // bootloader keeps it as it is (and with no file, memory is the flash).
  if (!loaded_ || kind == ResetKind::PowerOn) load();
  loaded_ = true;
  if (kind == ResetKind::Communication) {  // the application stays what it was
    if (mode_ != Mode::Bootloader) showVersion(node);
    return;
  }
  // A block half written when the power went or the node was reset is lost;
  // the image stays incomplete until a new download finishes, so nothing
  // else needs undoing.
  programming_ = false;
  session_ = false;
  addressSet_ = false;
  received_.reset();
  status_ = kStatusBusy;
  chunk_ = 0;
  dataCobId_ = boot::kDataCobId;
  if (starting_) {
    mode_ = Mode::Firmware;
  } else if (state_ == ImageState::Incomplete) {
    mode_ = Mode::Bootloader;  // no firmware to start
  } else {
    mode_ = Mode::Window;
    windowEndUs_ = nowUs + options_.windowUs;
  }
  if (mode_ != Mode::Bootloader) showVersion(node);
}

void Bootloader::settle(std::uint64_t nowUs) {
  nowUs_ = nowUs;
  if (mode_ == Mode::Window && nowUs >= windowEndUs_) mode_ = Mode::Firmware;
  if (!programming_ || nowUs < programmedAtUs_) return;
  programming_ = false;
  const std::size_t offset = std::size_t(address_ / kBlockAddressStep) * kBlockBytes;
  if (flash_.size() < offset + kBlockBytes) flash_.resize(offset + kBlockBytes, 0xFF);
  std::copy(block_.begin(), block_.end(), flash_.begin() + long(offset));
  status_ = kStatusOk;
}

std::uint64_t Bootloader::tick(SimNode&, std::uint64_t nowUs) {
  // Window and flash time are looked at when the next request comes: nothing
  // outside the bootloader can see them change earlier.
  settle(nowUs);
  return kNever;
}

void Bootloader::startFirmware(SimNode& node) {
  starting_ = true;
  node.restart(nowUs_);
  starting_ = false;
}

void Bootloader::showVersion(SimNode& node) const {
  if (state_ != ImageState::Complete) return;  // factory firmware: the EDS default
  const std::string text = versionOf(flash_);
  OdEntry* e = node.dictionary().find(canopen::od::kSoftwareVersion, 0);
  if (text.empty() || !e || !e->isString()) return;
  e->value.assign(text.begin(), text.end());
  node.touched();
}

// --- frames -------------------------------------------------------------------

bool Bootloader::receive(SimNode& node, const CanFrame& frame, std::uint64_t nowUs) {
  settle(nowUs);
  if (frame.extended || frame.remote || frame.error) return false;
  if (frame.id == cob::sdoRequest(node.busNodeId())) return handleSdo(node, frame);
  if (mode_ == Mode::Bootloader && frame.id == dataCobId_) {
    handleData(frame);
    return true;
  }
  return false;
}

void Bootloader::answer(SimNode& node, std::uint8_t command, std::uint8_t sub, std::uint32_t value) {
  CanFrame f;
  f.id = cob::sdoAnswer(node.busNodeId());
  f.dlc = 8;
  f.data[0] = command;
  sdo::putMultiplexer(f.data, boot::kObject, sub);
  canopen::putLe32(f.data + 4, value);
  node.transmit(f);
}

bool Bootloader::handleSdo(SimNode& node, const CanFrame& frame) {
  // Like the SDO server, a request may leave out the data bytes it does not
  // use (the host sends a one-byte download as 5 bytes): they read as 0.
  if (frame.dlc < 4) return false;
  std::uint8_t d[8] = {};
  std::copy(frame.data, frame.data + std::min<std::uint8_t>(frame.dlc, 8), d);
  // The bootloader has no object dictionary of its own beyond 0x3000: while
  // it runs, requests for the firmware's objects go unanswered, as on the
  // controllers, so a host tells a node in its bootloader by the silence.
  if (sdo::multiplexerIndex(d) != boot::kObject) return mode_ == Mode::Bootloader;
  const std::uint8_t sub = d[3];
  const std::uint8_t ccs = sdo::specifier(d[0]);
  const bool expedited = ccs == sdo::kCcsInitiateDownload && (d[0] & sdo::kExpedited);
  std::uint32_t value = canopen::le32(d + 4);
  int size = 4;
  if (expedited && (d[0] & sdo::kSizeIndicated)) {
    size = 4 - sdo::expeditedUnused(d[0]);
    if (size < 4) value &= (1u << (8 * size)) - 1;
  }
  const bool shortData = expedited && 4 + size > frame.dlc;

  if (mode_ != Mode::Bootloader) {
    if (mode_ == Mode::Window && expedited && !shortData && sub == boot::kSubCommand && value == boot::kStay) {
      mode_ = Mode::Bootloader;
      answer(node, sdo::kDownloadAcknowledge, sub, 0);
      return true;
    }
    // The firmware has no probe: the host tells the two apart by it, even
    // where the EDS lists the object.
    if (ccs == sdo::kCcsInitiateUpload && sub == boot::kSubProbe) {
      const bool listed = node.dictionary().hasObject(boot::kObject);
      answer(node, sdo::kAbort, sub, listed ? sdo_abort::kNoSubIndex : sdo_abort::kNoObject);
      return true;
    }
    return false;
  }

  if (ccs == sdo::kCsAbort) return true;  // every transfer here is expedited: nothing to end
  if (ccs == sdo::kCcsInitiateUpload) {
    std::uint32_t v = 0;
    int size = 1;
    if (std::uint32_t code = read(sub, v, size)) answer(node, sdo::kAbort, sub, code);
    else answer(node, sdo::expeditedUpload(size), sub, v);
    return true;
  }
  if (!expedited) {
    const bool known = ccs == sdo::kCcsInitiateDownload;
    answer(node, sdo::kAbort, sub, known ? sdo_abort::kUnsupportedAccess : sdo_abort::kUnknownCommand);
    return true;
  }
  if (shortData) {
    answer(node, sdo::kAbort, sub, sdo_abort::kLength);
    return true;
  }
  bool leave = false;
  if (std::uint32_t code = write(sub, value, leave)) {
    answer(node, sdo::kAbort, sub, code);
    return true;
  }
  answer(node, sdo::kDownloadAcknowledge, sub, 0);
  if (leave) startFirmware(node);
  return true;
}

void Bootloader::handleData(const CanFrame& frame) {
  if (frame.dlc < 8) return;
  const std::uint16_t number = canopen::le16(frame.data);
  // A frame of another chunk is out of place: it counts as missing.
  const bool spoiled = faultCountdown_ > 0 && --faultCountdown_ == 0;
  if (spoiled && fault_ == DataFault::Drop) return;
  if (number >= kFramesPerBlock || number / kFramesPerChunk != chunk_) return;
  std::copy(frame.data + 4, frame.data + 8, block_.begin() + long(number) * 4);
  if (spoiled) block_[std::size_t(number) * 4 + (number % 4)] ^= 0x10;
  received_.set(number);
}

std::uint32_t Bootloader::read(std::uint8_t sub, std::uint32_t& value, int& size) const {
  size = 1;
  switch (sub) {
    case boot::kSubProbe: value = boot::kSubDataCobId; return 0;  // highest sub-index
    case boot::kSubCommand: return sdo_abort::kWriteOnly;
    case boot::kSubStatus: value = status_; return 0;
    case boot::kSubAddress: value = address_; size = 4; return 0;
    case boot::kSubChunk: value = chunk_; return 0;
    case boot::kSubChecksum: value = checksum_; size = 4; return 0;
    case boot::kSubDataCobId: value = dataCobId_; size = 4; return 0;
    default: return sdo_abort::kNoSubIndex;
  }
}

std::uint32_t Bootloader::write(std::uint8_t sub, std::uint32_t value, bool& leave) {
  if (sub == boot::kSubProbe || sub == boot::kSubStatus) return sdo_abort::kReadOnly;
  if (programming_) return sdo_abort::kDeviceState;  // the flash is busy
  switch (sub) {
    case boot::kSubCommand:
      switch (value) {
        case boot::kProgramBlock: return program();
        case boot::kStay: return 0;
        case boot::kLeave:
          // Leaving right after a download makes that image the firmware;
          // an image cut off before cannot run.
          if (session_) {
            state_ = ImageState::Complete;
            save();
          } else if (state_ == ImageState::Incomplete) {
            return sdo_abort::kDeviceState;
          }
          leave = true;
          return 0;
        case boot::kRecover:
          if (state_ == ImageState::Incomplete) return sdo_abort::kDeviceState;
          leave = true;
          return 0;
        default: return sdo_abort::kRange;
      }
    case boot::kSubAddress:
      if (value % kBlockAddressStep || value / kBlockAddressStep >= kMaxBlocks) return sdo_abort::kRange;
      address_ = value;
      addressSet_ = true;
      received_.reset();
      std::fill(block_.begin(), block_.end(), 0xFF);
      chunk_ = 0;
      return 0;
    case boot::kSubChunk:
      if (value >= kChunks) return sdo_abort::kRange;
      chunk_ = std::uint8_t(value);
      return 0;
    case boot::kSubChecksum: checksum_ = value; return 0;
    case boot::kSubDataCobId:
      if (value > cob::kId11Mask) return sdo_abort::kRange;
      dataCobId_ = std::uint16_t(value);
      return 0;
    default: return sdo_abort::kNoSubIndex;
  }
}

std::uint32_t Bootloader::program() {
  if (!addressSet_) return sdo_abort::kDeviceState;
  std::uint32_t sum = address_;
  for (int i = 0; i < kFramesPerBlock; ++i) sum += canopen::le32(block_.data() + 4 * i);
  if (!received_.all() || sum != checksum_) {
    status_ = kStatusChecksumError;
    return 0;
  }
  if (!session_) {
    // The first block of a download erases the flash: until the host leaves
    // the bootloader, there is no firmware to start.
    session_ = true;
    flash_.clear();
    state_ = ImageState::Incomplete;
    save();
  }
  programming_ = true;
  programmedAtUs_ = nowUs_ + options_.flashUsPerBlock;
  status_ = kStatusBusy;
  return 0;
}

// --- the image file -------------------------------------------------------------

void Bootloader::load() {
  if (path_.empty()) return;
  flash_.clear();
  std::ifstream in(path_, std::ios::binary);
  if (!in) {
    state_ = ImageState::Factory;
    return;
  }
  std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  const bool ok = bytes.size() >= 5 && std::equal(kImageMagic, kImageMagic + 4, bytes.begin()) &&
                  bytes[4] == std::uint8_t(ImageState::Complete);
  // Anything else, a damaged file too, is a flash the firmware cannot run from.
  state_ = ok ? ImageState::Complete : ImageState::Incomplete;
  if (ok) flash_.assign(bytes.begin() + 5, bytes.end());
}

void Bootloader::save() const {
  if (path_.empty()) return;
  namespace fs = std::filesystem;
  const fs::path path(path_);
  std::error_code ec;
  if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
  const fs::path temp = path.string() + ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(kImageMagic, 4);
    out.put(char(state_));
    if (state_ == ImageState::Complete) out.write(reinterpret_cast<const char*>(flash_.data()), long(flash_.size()));
    out.flush();
    if (!out) {
      std::fprintf(stderr, "kestrum-sim: cannot write %s\n", temp.string().c_str());
      return;
    }
  }
  fs::rename(temp, path, ec);  // a crash never leaves half an image that looks complete
  if (ec) std::fprintf(stderr, "kestrum-sim: cannot write %s: %s\n", path.string().c_str(), ec.message().c_str());
}

}  // namespace kestrum::sim
