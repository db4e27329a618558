#include "SocketcandSession.h"

#include <vector>

namespace kestrum::sim {

namespace {

std::vector<std::string> tokens(const std::string& body) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < body.size()) {
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) ++i;
    const std::size_t start = i;
    while (i < body.size() && body[i] != ' ' && body[i] != '\t' && body[i] != '\r' && body[i] != '\n') ++i;
    if (i > start) out.emplace_back(body, start, i - start);
  }
  return out;
}

// Strict decimal kbit/s: 0 (follow the bus) up to 1000, the classic CAN maximum.
bool parseKbit(const std::string& text, unsigned& out) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > 1000) return false;
  out = v;
  return true;
}

// Error texts go inside "< error ... >": angle brackets in them would cut the
// reply in two for the client's parser.
std::string replyText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "'<'") == 0) {
      out += "message start";
      i += 2;
    } else if (text[i] != '<' && text[i] != '>') {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

SocketcandSession::SocketcandSession(std::string busName, std::size_t maxMessage)
    : busName_(std::move(busName)), stream_(maxMessage) {}

void SocketcandSession::receive(const char* data, std::size_t size, Host& host) {
  stream_.feed(data, size);
  std::string problem;
  while (stream_.takeError(problem)) host.reply("< error " + replyText(problem) + " >");
  std::string body;
  while (stream_.next(body)) handle(body, host);
}

// Error texts never repeat client input, so nothing a client sends can break
// the framing of the replies.
void SocketcandSession::handle(const std::string& body, Host& host) {
  const auto t = tokens(body);
  const std::string command = t.empty() ? std::string() : t[0];
  if (command == "send" || command == "sendrtr") {
    if (!raw_.load()) {
      host.reply("< error frame refused: open the bus and enter raw mode first >");
      return;
    }
    CanFrame frame;
    if (!transport::parseSendMessage(body, frame)) {
      host.reply("< error malformed " + command + " >");
      return;
    }
    if (frame.remote) rtr_.store(true, std::memory_order_release);
    host.submit(frame);
  } else if (command == "open") {
    if (t.size() != 2 || t[1] != busName_) {
      host.reply("< error could not open bus >");
      return;
    }
    if (!opened_) host.attach();
    opened_ = true;
    host.reply("< ok >");
  } else if (command == "rawmode" && t.size() == 1) {
    if (!opened_) {
      host.reply("< error no bus opened >");
      return;
    }
    raw_.store(true, std::memory_order_release);
    host.reply("< ok >");
  } else if (command == "rtrmode" && t.size() == 1) {
    rtr_.store(true, std::memory_order_release);
    host.reply("< ok >");
  } else if (command == "bitrate") {
    unsigned kbit = 0;
    if (t.size() != 2 || !parseKbit(t[1], kbit)) {
      host.reply("< error malformed bitrate >");
      return;
    }
    rate_.store(kbit, std::memory_order_relaxed);
    host.reply("< ok >");
  } else if (command == "echo" && t.size() == 1) {
    host.reply("< echo >");
  } else {
    host.reply("< error unknown command >");
  }
}

}  // namespace kestrum::sim
