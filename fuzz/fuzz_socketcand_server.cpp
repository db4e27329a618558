// The simulator's side of a socketcand connection answers whatever a client
// sends. Any input must end in replies that are each one well-formed message
// (a client's parser takes them without complaint), frames on the bus only
// after the client opened it in raw mode and only valid ones, and no crash.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bus/SocketcandSession.h"
#include "transport/SocketcandProtocol.h"

using kestrum::sim::SocketcandSession;
using namespace kestrum::transport;

namespace {

struct Recorder : SocketcandSession::Host {
  const SocketcandSession* session = nullptr;
  int attached = 0;
  void attach() override {
    if (++attached > 1 || session->opened()) std::abort();
  }
  void submit(const CanFrame& f) override {
    if (!session->raw() || !session->opened() || attached != 1) std::abort();
    if (f.dlc > 8 || f.id > 0x1FFFFFFFu || (!f.extended && f.id > 0x7FFu)) std::abort();
    if (f.remote && !session->rtr()) std::abort();
  }
  void reply(const std::string& message) override {
    if (message.size() < 4 || message.compare(0, 2, "< ") != 0 || message.compare(message.size() - 2, 2, " >") != 0)
      std::abort();
    SocketcandStream stream;
    stream.feed(message.data(), message.size());
    std::string body, problem;
    if (!stream.next(body) || stream.next(body) || stream.takeError(problem)) std::abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 5;
  ++data;
  --size;
  SocketcandSession session("can0", 64);
  Recorder host;
  host.session = &session;
  for (std::size_t at = 0; at < size; at += chunk)
    session.receive(reinterpret_cast<const char*>(data) + at, std::min(chunk, size - at), host);
  if (session.raw() && !session.opened()) std::abort();
  return 0;
}
