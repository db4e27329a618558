#include "Firmware.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "CANopen.h"
#include "ErrorFile.h"
#include "HexImage.h"
#include "Varnex.h"
#include "VarnexStatus.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace varnex::firmware {
namespace {

namespace co = kestrum::canopen;
namespace boot = co::orvane::bootloader;
using Clock = std::chrono::steady_clock;

std::atomic<bool> running{false};
std::atomic<bool> cancelRequested{false};
std::atomic<int> blocksDone{0};

// A record's line can hold at most 255 data bytes: 11 + 510 characters.
// Anything much longer is not HEX, and is not read into memory whole.
constexpr std::size_t kMaxLineChars = 1024;

void report(const std::string& what) { logErrorLine("firmware download: " + what); }

void setProgress(int blocks) {
  blocksDone.store(blocks, std::memory_order_relaxed);
  VarnexStatus::firmwareUpdateProgress.store(blocks, std::memory_order_relaxed);
}

bool cancelled() { return cancelRequested.load(std::memory_order_relaxed); }

// Restores the client's SDO time-out however the download ends.
class TimeoutScope {
 public:
  explicit TimeoutScope(double ms) : saved_(CANopen::getTimeout()) { CANopen::setTimeout(ms); }
  ~TimeoutScope() { CANopen::setTimeout(saved_); }
  TimeoutScope(const TimeoutScope&) = delete;
  TimeoutScope& operator=(const TimeoutScope&) = delete;

 private:
  double saved_;
};

// One download at a time; marks it running for cancel().
class RunningScope {
 public:
  RunningScope() : owner_(!running.exchange(true)) {
    if (!owner_) return;
    cancelRequested = false;
    setProgress(0);
  }
  ~RunningScope() {
    if (owner_) running = false;
  }
  bool owner() const { return owner_; }
  RunningScope(const RunningScope&) = delete;
  RunningScope& operator=(const RunningScope&) = delete;

 private:
  bool owner_;
};

bool write(std::uint8_t sub, std::uint32_t value) {
  SDO record;
  record.index = boot::kObject;
  record.slot[0] = {255, sub};
  record.slot[sub] = {4, static_cast<std::int32_t>(value)};
  return CANopen::sendSDO(record, sub);
}

// The block status, or false when the read went unanswered or was refused.
bool readStatus(std::uint32_t& status) {
  SDO record;
  record.index = boot::kObject;
  record.slot[0] = {255, boot::kSubStatus};
  if (!CANopen::readSDO(record, boot::kSubStatus)) return false;
  status = static_cast<std::uint32_t>(record.slot[boot::kSubStatus].value);
  return true;
}

// Frames since the last look include the node's boot-up message: it was reset
// or lost its supply, and with it the blocks of this download.
class RestartWatch {
 public:
  RestartWatch() : cursor_(Varnex::takeCursor()) {}
  bool restarted() {
    varnex::RxCursor next = Varnex::takeCursor();  // taken first: nothing slips between the two
    const std::uint16_t bootupId = co::cob::errorControl(CANopen::node_id);
    bool seen = false;
    while (const can_data* e = cursor_.next())
      if (e->id == bootupId && e->dlc >= 1 && e->data[0] == co::nmt::kBootUp) seen = true;
    cursor_ = std::move(next);
    return seen;
  }

 private:
  varnex::RxCursor cursor_;
};

enum class Attempt { Taken, Failed, Cancelled };

Attempt sendBlock(const std::vector<std::uint8_t>& packed, int b, std::string& why) {
  const std::uint32_t address = blockAddress(b);
  if (!write(boot::kSubAddress, address)) {
    why = "address not acknowledged";
    return Attempt::Failed;
  }
  bool chunksOk = true;
  std::uint8_t frame[8];
  for (int c = 0; c < kChunks && chunksOk; ++c) {
    if (cancelled()) return Attempt::Cancelled;
    chunksOk = write(boot::kSubChunk, std::uint32_t(c));
    for (int k = 0; k < kFramesPerChunk; ++k) {
      dataFrame(packed, b, kFramesPerChunk * c + k, frame);
      // A frame the adapter refused is missing from the block for sure; the
      // rest would only add a line each to the error file.
      if (CANopen::pmyInterface->TransmitData(boot::kDataCobId, 8, frame, false) != 0) {
        why = "the adapter did not send a data frame";
        return Attempt::Failed;
      }
    }
  }
  if (!chunksOk) {
    why = "chunk number not acknowledged";
    return Attempt::Failed;
  }
  if (!write(boot::kSubChecksum, blockChecksum(packed, b))) {
    why = "checksum not acknowledged";
    return Attempt::Failed;
  }
  if (!write(boot::kSubCommand, boot::kProgramBlock)) {
    why = "program command not acknowledged";
    return Attempt::Failed;
  }
  // The controller reports 0 while it writes the flash; one that answers
  // only when done gives its verdict on the first read. Every read starts
  // without a status: an unanswered one never inherits the last block's.
  const auto deadline = Clock::now() + std::chrono::duration<double, std::milli>(kDownloadTimeoutMs);
  for (;;) {
    if (cancelled()) return Attempt::Cancelled;
    std::uint32_t status = 0;
    if (!readStatus(status)) {
      why = "status not read";
      return Attempt::Failed;
    }
    if (status != 0) {
      if (boot::statusAccepted(status)) return Attempt::Taken;
      why = "status " + std::to_string(status);
      return Attempt::Failed;
    }
    if (Clock::now() >= deadline) {
      why = "still programming after the time-out";
      return Attempt::Failed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

enum class Outcome { Done, Failed, Cancelled };

Outcome downloadImage(const std::vector<std::uint8_t>& packed) {
  RestartWatch watch;
  if (!write(boot::kSubDataCobId, boot::kDataCobId)) {
    report("the bootloader did not take the data COB-ID");
    return Outcome::Failed;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int failures = 0;
  for (int b = 0; b < kBlocks; ++b) {
    for (int attempt = 1;; ++attempt) {
      if (cancelled()) return Outcome::Cancelled;
      std::string why;
      const Attempt result = sendBlock(packed, b, why);
      if (result == Attempt::Cancelled) return Outcome::Cancelled;
      // A restart erases what the bootloader had of this download: the
      // blocks before would be missing from an image reported complete.
      if (watch.restarted()) {
        report("the node restarted during block " + std::to_string(b) + "; download abandoned");
        return Outcome::Failed;
      }
      if (result == Attempt::Taken) break;
      ++failures;
      report("block " + std::to_string(b) + " attempt " + std::to_string(attempt) + " failed: " + why);
      if (attempt >= kAttemptsPerBlock || failures >= kFailedAttemptsPerDownload) {
        report(attempt >= kAttemptsPerBlock ? "block " + std::to_string(b) + " failed " + std::to_string(attempt) + " times"
                                            : std::to_string(failures) + " failed attempts in all");
        return Outcome::Failed;
      }
    }
    setProgress(b + 1);
  }
  if (watch.restarted()) {
    report("the node restarted after the last block; download abandoned");
    return Outcome::Failed;
  }
  return Outcome::Done;
}

// Bootloader entry, download and exit, shared by both entry points.
int download(const std::vector<std::uint8_t>& packed, bool waitForRestart) {
  if (cancelled()) return kCancelled;
  if (!CANopen::startBootloader()) return kBootloaderNotStarted;
  Outcome outcome;
  {
    TimeoutScope longTimeout(kDownloadTimeoutMs);
    outcome = downloadImage(packed);
  }
  // Left in its bootloader, the node can be flashed again or told to leave.
  if (outcome == Outcome::Cancelled) {
    report("cancelled; the node stays in its bootloader");
    return kCancelled;
  }
  if (outcome == Outcome::Failed) return kDownloadFailed;
  const bool left = waitForRestart ? CANopen::stopBootloader() : CANopen::stopBootloader_noreset();
  return left ? kDone : kLeaveFailed;
}

const char* const kSpinner[] = {"reading hex file \\ \r", "reading hex file | \r", "reading hex file / \r",
                                "reading hex file - \r"};

}  // namespace

std::uint32_t blockChecksum(const std::vector<std::uint8_t>& packed, int b) {
  std::uint32_t sum = blockAddress(b);
  const std::uint8_t* p = packed.data() + kBlockBytes * std::size_t(b);
  for (int k = 0; k < kFramesPerBlock; ++k, p += 4) sum += co::le32(p);
  return sum;
}

void dataFrame(const std::vector<std::uint8_t>& packed, int b, int k, std::uint8_t out[8]) {
  const std::uint8_t* p = packed.data() + kBlockBytes * std::size_t(b) + 4 * std::size_t(k);
  out[0] = static_cast<std::uint8_t>(k);
  out[1] = static_cast<std::uint8_t>(k >> 8);
  out[2] = 0;
  out[3] = 0;
  std::copy(p, p + 4, out + 4);
}

namespace {

// The file's lines into the reader, with the spinner on standard output.
// Empty when the file was read to its end or to its first malformed line.
std::string readLines(std::ifstream& in, hex::HexReader& reader) {
  std::string line;
  std::streambuf* buf = in.rdbuf();
  try {
    for (int ch = buf->sbumpc();; ch = buf->sbumpc()) {
      const bool end = ch == std::char_traits<char>::eof();
      if (!end && ch != '\n') {
        line.push_back(char(ch));
        if (line.size() > kMaxLineChars)
          return "line " + std::to_string(reader.lines() + 1) + " too long for a HEX record";
        continue;
      }
      if (end && line.empty()) break;
      std::fputs(kSpinner[reader.lines() % 4], stdout);
      if (hex::isError(reader.addLine(line)) || end) break;
      line.clear();
    }
  } catch (const std::exception& e) {  // the stream reports a read error (a folder, say) this way
    return e.what();
  }
  return reader.lines() == 0 ? "the file is empty" : "";
}

}  // namespace

int flashFile(const char* path) {
  RunningScope run;
  if (!run.owner()) {
    report("refused: another download is running");
    return kDownloadFailed;
  }
  const std::string name = path ? path : "";
  std::ifstream in(name, std::ios::binary);
  if (!path || !in) {
    report("cannot open the firmware file \"" + name + "\"");
    return kBadInput;
  }
  hex::HexReader reader;
  const std::string unreadable = readLines(in, reader);
  if (!unreadable.empty()) {
    report("cannot read the firmware file \"" + name + "\": " + unreadable);
    return kBadInput;
  }
  if (!reader.finish()) {
    report("\"" + name + "\" is not a valid Intel HEX file: " + reader.error());
    return kBadInput;
  }
  std::fputs("removing useless 0x00...\r", stdout);
  const std::vector<std::uint8_t> packed = hex::pack(reader.image());
  std::fputs("reading hex file .....  ok\n", stdout);
  std::fflush(stdout);
  return download(packed, true);
}

int flashLines(int count, const char* const* lines) {
  RunningScope run;
  if (!run.owner()) {
    report("refused: another download is running");
    return kDownloadFailed;
  }
  hex::HexReader reader;
  for (int i = 0; i < count; ++i) {
    if (!lines || !lines[i]) {
      report("HEX line " + std::to_string(i + 1) + " is missing");
      return kBadInput;
    }
    if (hex::isError(reader.addLine(lines[i]))) break;
  }
  if (!reader.finish()) {
    report("the HEX lines are not a valid Intel HEX image: " + reader.error());
    return kBadInput;
  }
  return download(hex::pack(reader.image()), false);
}

void cancel() {
  if (running.load()) cancelRequested = true;
}

int progress() { return blocksDone.load(std::memory_order_relaxed); }

}  // namespace varnex::firmware
