#pragma once
// SDO transfers against a simulated Mirelo on a faulty bus, shared by the
// fault tests and benchmarks of the library and of the connector: the same
// faults, the same mix of transfers and the same bookkeeping, so a figure of
// the benchmark and a failure of the test tell of the same thing.
//
// The node's true value is known to the run, not taken from the answer: the
// objects read are set once through the host before the run. A client may
// fail a transfer (any code); it must never report a value the node does not
// hold (`wrong`).
//
// Downloads are counted apart (`unheld`): a download reported done after
// which the node's dictionary does not hold the value. An SDO answer carries
// no sequence number, so when a repeated request made the node acknowledge
// twice and the second acknowledge is late, it is indistinguishable from
// the acknowledge of the next download to the same object; if that next
// request is lost or still on its way, the write is reported done early or
// not at all. A bus that repeats frames only back to back (a retransmission)
// makes this rare but not impossible.

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bus/VirtualBus.h"
#include "node/NodeHost.h"

namespace kestrum::sim::test {

/// The faults of a bus that is having a bad day, but whose frames still pass
/// their CRC: 5 % lost, 5 % twice, 5 % late by up to 20 ms, 500 frames a
/// second from a foreign node.
inline FaultConfig faultyBus(std::uint64_t seed) {
  FaultConfig f;
  f.drop = 0.05;
  f.duplicate = 0.05;
  f.delay = 0.05;
  f.delayMs = 0;
  f.delayMaxMs = 20;
  f.foreignPerSecond = 500;
  f.seed = seed;
  return f;
}

/// What a client did with one transfer: "" when it reports success (and the
/// value, for an upload), otherwise its failure code as text.
struct TransferResult {
  std::string failure;
  std::int64_t value = 0;
  std::string text;
};

/// The client under test, one function per kind of transfer; an empty
/// function leaves that kind out (the library has no segmented upload).
struct SdoClient {
  std::function<TransferResult(std::uint16_t index, std::uint8_t sub)> upload32;
  std::function<TransferResult(std::uint16_t index, std::uint8_t sub)> uploadString;
  std::function<TransferResult(std::uint16_t index, std::uint8_t sub, std::uint32_t value)> download32;
};

struct Tally {
  int transfers = 0;
  int wrong = 0;   ///< upload values the node does not hold
  int unheld = 0;  ///< downloads reported done whose value the node does not hold just after
  std::map<std::string, int> failures;  ///< by failure code
  std::map<std::string, std::vector<double>> microseconds;  ///< per kind of transfer
  std::vector<std::string> wrongDetails;  ///< the first few, for the test's message
  int failed() const {
    int n = 0;
    for (const auto& f : failures) n += f.second;
    return n;
  }
  /// One line of counts, then the wrong values found, for a test's message.
  std::string describe() const {
    std::string s = std::to_string(transfers) + " transfers, " + std::to_string(wrong) + " wrong, " +
                    std::to_string(unheld) + " downloads not held, failures:";
    for (const auto& f : failures) s += " " + f.first + "=" + std::to_string(f.second);
    for (const auto& d : wrongDetails) s += "\n  " + d;
    return s;
  }
};

/// The library's two SDO calls (send_SDO/recv_SDO of any binding of its C
/// interface) as a client: plain true/false, no segmented upload.
template <typename Api>
SdoClient libraryClient(const Api& api) {
  SdoClient c;
  c.upload32 = [&api](std::uint16_t index, std::uint8_t sub) {
    std::uint8_t length = 0;
    std::int32_t value = 0;
    if (!api.recv_SDO(index, sub, &length, &value)) return TransferResult{"false"};
    return TransferResult{"", std::int64_t(std::uint32_t(value))};
  };
  c.download32 = [&api](std::uint16_t index, std::uint8_t sub, std::uint32_t value) {
    return TransferResult{api.send_SDO(index, sub, 4, std::int32_t(value)) ? "" : "false"};
  };
  return c;
}

/// The node and the objects of the run.
class SdoFaultRun {
 public:
  static constexpr std::uint8_t kNode = 5;
  // A device name long enough for six segments, so toggles are exercised.
  static constexpr const char* kName = "Mirelo stepper, unit 0042, bench 7";

  /// Adds the node to `host` and gives the objects read their values.
  bool setUp(NodeHost& host, std::string& error) {
    host_ = &host;
    if (!host.addNode(kNode, "Mirelo", error)) return false;
    const std::uint32_t identity[4] = {0x000004D2, 0x00C0FFEE, 0x00020E07, 0x5EA1AB1E};
    for (std::uint8_t sub = 1; sub <= 4; ++sub)
      if (!set(0x1018, sub, Bytes{std::uint8_t(identity[sub - 1]), std::uint8_t(identity[sub - 1] >> 8),
                                  std::uint8_t(identity[sub - 1] >> 16), std::uint8_t(identity[sub - 1] >> 24)},
               error))
        return false;
    const std::string name = kName;
    return set(0x1008, 0, Bytes(name.begin(), name.end()), error);
  }

  /// `count` transfers in a fixed rotation: expedited uploads of the four
  /// identity entries, segmented uploads of the device name, expedited
  /// downloads to the profile acceleration and deceleration.
  Tally run(const SdoClient& client, int count, std::uint32_t firstValue = 1) {
    Tally t;
    std::uint32_t next = firstValue;
    for (int i = 0; i < count; ++i) {
      const int kind = i % 6;
      if (kind < 3 && client.upload32) {
        const std::uint8_t sub = std::uint8_t(1 + (i / 6 + kind) % 4);
        timed(t, "upload", [&] { return client.upload32(0x1018, sub); }, [&](const TransferResult& r) {
          return check(r.value, truth(0x1018, sub), "1018/" + std::to_string(sub));
        });
      } else if (kind == 3 && client.uploadString) {
        timed(t, "segmented", [&] { return client.uploadString(0x1008, 0); }, [&](const TransferResult& r) {
          return r.text == kName ? std::string() : "1008 read '" + r.text + "'";
        });
      } else if (client.download32) {
        const std::uint16_t index = kind == 4 ? 0x6083 : 0x6084;
        const std::uint32_t value = next++;
        timed(t, "download", [&] { return client.download32(index, 0, value); }, [&](const TransferResult&) {
          return check(truth(index, 0), value, "download to " + hex(index));
        }, &Tally::unheld);
      } else {
        continue;
      }
      ++t.transfers;
    }
    return t;
  }

  /// The node's own value of an object of up to four bytes (-1 when unreadable).
  std::int64_t truth(std::uint16_t index, std::uint8_t sub) const {
    Bytes value;
    std::uint32_t abort = 0;
    if (!host_->readObject(kNode, index, sub, value, abort)) return -1;
    std::uint32_t v = 0;
    for (std::size_t i = value.size(); i-- > 0;) v = v << 8 | value[i];
    return v;
  }

 private:
  bool set(std::uint16_t index, std::uint8_t sub, const Bytes& value, std::string& error) {
    std::uint32_t abort = 0;
    if (host_->writeObject(kNode, index, sub, value, abort)) return true;
    error = "cannot set " + hex(index) + ": abort " + std::to_string(abort);
    return false;
  }
  static std::string hex(std::uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "%04X", v);
    return b;
  }
  static std::string check(std::int64_t got, std::int64_t want, const std::string& what) {
    if (got == want) return {};
    return what + ": " + std::to_string(got) + " instead of " + std::to_string(want);
  }
  template <typename Transfer, typename Verify>
  static void timed(Tally& t, const char* kind, Transfer transfer, Verify verify, int Tally::*count = &Tally::wrong) {
    const auto t0 = std::chrono::steady_clock::now();
    const TransferResult r = transfer();
    t.microseconds[kind].push_back(
        std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
    if (!r.failure.empty()) {
      ++t.failures[r.failure];
      return;
    }
    const std::string wrong = verify(r);
    if (wrong.empty()) return;
    ++(t.*count);
    if (t.wrongDetails.size() < 5) t.wrongDetails.push_back(wrong);
  }

  NodeHost* host_ = nullptr;
};

}  // namespace kestrum::sim::test
