// The client's socketcand parser reads whatever a network peer sends. Any
// byte stream must split into the same messages however the reads cut it,
// hold no more than one message's worth of partial input, and every frame it
// accepts must survive being written and read back unchanged.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "transport/SocketcandProtocol.h"

using namespace kestrum::transport;

namespace {

constexpr std::size_t kMax = 64;  // small, so over-long messages are common

struct Split {
  std::vector<std::string> bodies;
  std::vector<std::string> errors;
};

Split run(const std::uint8_t* data, std::size_t size, std::size_t chunk) {
  SocketcandStream stream(kMax);
  Split out;
  std::string text;
  for (std::size_t at = 0; at < size; at += chunk) {
    stream.feed(reinterpret_cast<const char*>(data) + at, std::min(chunk, size - at));
    if (stream.partialBytes() > kMax) std::abort();
    while (stream.takeError(text)) out.errors.push_back(text);
    while (stream.next(text)) out.bodies.push_back(text);
  }
  return out;
}

bool same(const CanFrame& a, const CanFrame& b) {
  if (a.id != b.id || a.extended != b.extended || a.remote != b.remote || a.dlc != b.dlc) return false;
  if (a.remote) return true;
  for (std::size_t i = 0; i < a.dlc; ++i)
    if (a.data[i] != b.data[i]) return false;
  return true;
}

// Written and read back by both message kinds.
void roundTrip(const CanFrame& f) {
  if (f.dlc > 8 || f.id > 0x1FFFFFFFu || (!f.extended && f.id > 0x7FFu)) std::abort();
  CanFrame back;
  SocketcandStream s;
  std::string body;
  const std::string frameText = formatFrameMessage(f);
  s.feed(frameText.data(), frameText.size());
  if (!s.next(body) || !parseFrameMessage(body, back) || !same(f, back) || back.timestampUs != f.timestampUs)
    std::abort();
  const std::string sendText = formatSendMessage(f);
  s.feed(sendText.data(), sendText.size());
  if (!s.next(body) || !parseSendMessage(body, back) || !same(f, back)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks how the reads cut the rest.
  const std::size_t chunk = 1 + data[0] % 7;
  ++data;
  --size;
  const Split whole = run(data, size, size ? size : 1);
  const Split cut = run(data, size, chunk);
  if (whole.bodies != cut.bodies) std::abort();
  if (whole.errors.empty() != cut.errors.empty()) std::abort();
  for (const std::string& body : whole.bodies) {
    if (body.size() > kMax || body.find_first_of("<>") != std::string::npos) std::abort();
    CanFrame f;
    if (parseFrameMessage(body, f)) roundTrip(f);
    if (parseSendMessage(body, f)) roundTrip(f);
  }
  return 0;
}
