#include "SocketcandProtocol.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

namespace kestrum::transport {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::vector<std::string> splitTokens(const std::string& body) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < body.size()) {
    while (i < body.size() && isBlank(body[i])) ++i;
    std::size_t start = i;
    while (i < body.size() && !isBlank(body[i])) ++i;
    if (i > start) tokens.emplace_back(body, start, i - start);
  }
  return tokens;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool parseHex(const std::string& text, std::size_t maxDigits, std::uint32_t& out) {
  if (text.empty() || text.size() > maxDigits) return false;
  std::uint32_t value = 0;
  for (char c : text) {
    int v = hexValue(c);
    if (v < 0) return false;
    value = (value << 4) | static_cast<std::uint32_t>(v);
  }
  out = value;
  return true;
}

bool parseDlc(const std::string& text, std::uint8_t& out) {
  if (text.size() != 1 || text[0] < '0' || text[0] > '8') return false;
  out = static_cast<std::uint8_t>(text[0] - '0');
  return true;
}

// Identifiers travel as three digits (11-bit) or eight digits (29-bit); a
// value beyond 11 bits is extended whatever its width.
bool parseId(const std::string& text, CanFrame& out) {
  std::uint32_t id = 0;
  if (!parseHex(text, 8, id) || id > 0x1FFFFFFFu) return false;
  out.id = id;
  out.extended = text.size() == 8 || id > 0x7FFu;
  return true;
}

// "SEC.USEC": the fraction is a decimal fraction of a second (six digits as
// the daemon writes it; fewer are scaled, more are cut).
bool parseTimestamp(const std::string& text, std::uint64_t& us) {
  std::size_t dot = text.find('.');
  std::string sec = text.substr(0, dot);
  std::string frac = dot == std::string::npos ? std::string() : text.substr(dot + 1);
  if (sec.empty() || sec.size() > 12) return false;
  if (dot != std::string::npos && frac.empty()) return false;
  std::uint64_t s = 0;
  for (char c : sec) {
    if (c < '0' || c > '9') return false;
    s = s * 10 + static_cast<std::uint64_t>(c - '0');
  }
  std::uint64_t f = 0;
  for (std::size_t i = 0; i < frac.size(); ++i) {
    char c = frac[i];
    if (c < '0' || c > '9') return false;
    if (i < 6) f = f * 10 + static_cast<std::uint64_t>(c - '0');
  }
  for (std::size_t i = frac.size(); i < 6; ++i) f *= 10;
  us = s * 1000000u + f;
  return true;
}

std::string formatId(const CanFrame& frame) {
  char buf[16];
  if (frame.extended)
    std::snprintf(buf, sizeof buf, "%08" PRIX32, frame.id & 0x1FFFFFFFu);
  else
    std::snprintf(buf, sizeof buf, "%03" PRIX32, frame.id & 0x7FFu);
  return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Stream splitter

SocketcandStream::SocketcandStream(std::size_t maxMessage) : maxMessage_(maxMessage ? maxMessage : 1) {}

void SocketcandStream::reportError(const char* text) {
  if (pendingError_.empty()) pendingError_ = text;
}

void SocketcandStream::feed(const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = data[i];
    if (c == '<') {
      // A '<' always starts a message: it is where a damaged stream resynchronises.
      if (inMessage_ && !discarding_) reportError("incomplete message before '<'");
      inMessage_ = true;
      discarding_ = false;
      inGarbage_ = false;
      buffer_.clear();
      continue;
    }
    if (!inMessage_) {
      if (isBlank(c)) continue;  // whitespace between messages is tolerated
      if (!inGarbage_) reportError("garbage before '<'");
      inGarbage_ = true;
      continue;
    }
    if (discarding_) continue;  // rest of an over-long message, up to the next '<'
    if (c == '>') {
      std::size_t b = 0, e = buffer_.size();
      while (b < e && isBlank(buffer_[b])) ++b;
      while (e > b && isBlank(buffer_[e - 1])) --e;
      ready_.emplace_back(buffer_, b, e - b);
      buffer_.clear();
      inMessage_ = false;
      continue;
    }
    if (buffer_.size() >= maxMessage_) {
      reportError("message too long");
      buffer_.clear();
      buffer_.shrink_to_fit();
      discarding_ = true;
      continue;
    }
    buffer_.push_back(c);
  }
}

bool SocketcandStream::next(std::string& body) {
  if (ready_.empty()) return false;
  body = std::move(ready_.front());
  ready_.pop_front();
  return true;
}

bool SocketcandStream::takeError(std::string& error) {
  if (pendingError_.empty()) return false;
  error.swap(pendingError_);
  pendingError_.clear();
  return true;
}

void SocketcandStream::reset() {
  buffer_.clear();
  pendingError_.clear();
  ready_.clear();
  discarding_ = inMessage_ = inGarbage_ = false;
}

// ---------------------------------------------------------------------------
// Messages

bool parseFrameMessage(const std::string& body, CanFrame& out) {
  const auto t = splitTokens(body);
  if (t.size() < 3) return false;
  CanFrame f;
  if (!parseId(t[1], f) || !parseTimestamp(t[2], f.timestampUs)) return false;
  if (t[0] == "frame") {
    if (t.size() > 4) return false;
    if (t.size() == 4) {
      const std::string& hex = t[3];
      if (hex.size() % 2 != 0 || hex.size() > 16) return false;
      for (std::size_t i = 0; i < hex.size() / 2; ++i) {
        std::uint32_t byte = 0;
        if (!parseHex(hex.substr(i * 2, 2), 2, byte)) return false;
        f.data[i] = static_cast<std::uint8_t>(byte);
      }
      f.dlc = static_cast<std::uint8_t>(hex.size() / 2);
    }
  } else if (t[0] == "rtrframe") {
    if (t.size() != 4 || !parseDlc(t[3], f.dlc)) return false;
    f.remote = true;
  } else {
    return false;
  }
  out = f;
  return true;
}

bool parseSendMessage(const std::string& body, CanFrame& out) {
  const auto t = splitTokens(body);
  if (t.size() < 3) return false;
  CanFrame f;
  if (!parseId(t[1], f) || !parseDlc(t[2], f.dlc)) return false;
  if (t[0] == "send") {
    if (t.size() != 3u + f.dlc) return false;
    for (std::size_t i = 0; i < f.dlc; ++i) {
      std::uint32_t byte = 0;
      if (!parseHex(t[3 + i], 2, byte)) return false;
      f.data[i] = static_cast<std::uint8_t>(byte);
    }
  } else if (t[0] == "sendrtr") {
    if (t.size() != 3) return false;
    f.remote = true;
  } else {
    return false;
  }
  out = f;
  return true;
}

std::string formatFrameMessage(const CanFrame& frame) {
  if (frame.dlc > 8) return {};
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "%" PRIu64 ".%06" PRIu64, frame.timestampUs / 1000000u,
                frame.timestampUs % 1000000u);
  std::string msg = frame.remote ? "< rtrframe " : "< frame ";
  msg += formatId(frame);
  msg += ' ';
  msg += stamp;
  msg += ' ';
  if (frame.remote) {
    msg += static_cast<char>('0' + frame.dlc);
    msg += ' ';
  } else {
    static const char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < frame.dlc; ++i) {
      msg += digits[frame.data[i] >> 4];
      msg += digits[frame.data[i] & 0xF];
    }
    msg += ' ';
  }
  msg += '>';
  return msg;
}

std::string formatSendMessage(const CanFrame& frame) {
  if (frame.dlc > 8) return {};
  std::string msg = frame.remote ? "< sendrtr " : "< send ";
  msg += formatId(frame);
  msg += ' ';
  msg += static_cast<char>('0' + frame.dlc);
  if (!frame.remote) {
    char byte[4];
    for (std::size_t i = 0; i < frame.dlc; ++i) {
      std::snprintf(byte, sizeof byte, " %02X", frame.data[i]);
      msg += byte;
    }
  }
  msg += " >";
  return msg;
}

}  // namespace kestrum::transport
