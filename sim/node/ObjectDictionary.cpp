#include "ObjectDictionary.h"

#include <algorithm>
#include <cctype>

namespace kestrum::sim {

std::size_t dataTypeSize(int dataType) {
  switch (dataType) {
    case kTypeBool:
    case kTypeS8:
    case kTypeU8:
      return 1;
    case kTypeS16:
    case kTypeU16:
      return 2;
    case kTypeString:
      return 0;
    default:
      return 4;
  }
}

bool dataTypeSigned(int dataType) {
  return dataType == kTypeS8 || dataType == kTypeS16 || dataType == kTypeS32;
}

Access parseAccess(const std::string& text) {
  std::string t;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) t += char(std::tolower(static_cast<unsigned char>(c)));
  }
  if (t == "rw" || t == "rww" || t == "rwr") return Access::ReadWrite;
  if (t == "wo") return Access::WriteOnly;
  if (t == "const") return Access::Const;
  return Access::ReadOnly;
}

Bytes encodeNumber(int dataType, std::int64_t value) {
  std::size_t n = dataTypeSize(dataType);
  if (n == 0) return {};
  Bytes out(n);
  auto u = static_cast<std::uint64_t>(value);
  for (std::size_t i = 0; i < n; ++i) out[i] = std::uint8_t(u >> (8 * i));
  return out;
}

std::int64_t decodeNumber(int dataType, const Bytes& value) {
  std::size_t n = std::min<std::size_t>(dataTypeSize(dataType), value.size());
  if (n == 0) return 0;
  std::uint64_t u = 0;
  for (std::size_t i = 0; i < n; ++i) u |= std::uint64_t(value[i]) << (8 * i);
  if (dataTypeSigned(dataType) && (u >> (8 * n - 1)) & 1u) u |= ~std::uint64_t(0) << (8 * n);
  return static_cast<std::int64_t>(u);
}

void ObjectDictionary::insert(OdEntry entry) {
  entries_[key(entry.index, entry.subIndex)] = std::move(entry);
}

OdEntry* ObjectDictionary::find(std::uint16_t index, std::uint8_t subIndex) {
  auto it = entries_.find(key(index, subIndex));
  return it == entries_.end() ? nullptr : &it->second;
}

const OdEntry* ObjectDictionary::find(std::uint16_t index, std::uint8_t subIndex) const {
  auto it = entries_.find(key(index, subIndex));
  return it == entries_.end() ? nullptr : &it->second;
}

bool ObjectDictionary::hasObject(std::uint16_t index) const {
  auto it = entries_.lower_bound(key(index, 0));
  return it != entries_.end() && it->second.index == index;
}

std::optional<std::int64_t> ObjectDictionary::number(std::uint16_t index, std::uint8_t subIndex) const {
  const OdEntry* e = find(index, subIndex);
  if (!e || e->isString()) return std::nullopt;
  return decodeNumber(e->dataType, e->value);
}

std::uint32_t ObjectDictionary::u32(std::uint16_t index, std::uint8_t subIndex, std::uint32_t fallback) const {
  auto v = number(index, subIndex);
  return v ? static_cast<std::uint32_t>(*v) : fallback;
}

bool ObjectDictionary::setNumber(std::uint16_t index, std::uint8_t subIndex, std::int64_t value) {
  OdEntry* e = find(index, subIndex);
  if (!e || e->isString()) return false;
  e->value = encodeNumber(e->dataType, value);
  return true;
}

void ObjectDictionary::resetValues(const std::function<bool(std::uint16_t)>& which) {
  for (auto& [k, e] : entries_) {
    if (which(e.index)) e.value = e.defaultValue;
  }
}

std::optional<std::int64_t> parseEdsNumber(const std::string& text, std::uint8_t nodeId) {
  std::string t;
  for (char c : text) {
    if (!std::isspace(static_cast<unsigned char>(c))) t += c;
  }
  std::int64_t offset = 0;
  static const std::string kNodeId = "$NODEID+";
  if (t.size() >= kNodeId.size()) {
    std::string head = t.substr(0, kNodeId.size());
    std::transform(head.begin(), head.end(), head.begin(), [](unsigned char c) { return std::toupper(c); });
    if (head == kNodeId) {
      offset = nodeId;
      t.erase(0, kNodeId.size());
    }
  }
  bool negative = false;
  if (!t.empty() && t[0] == '-') {
    negative = true;
    t.erase(0, 1);
  }
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
    base = 16;
    t.erase(0, 2);
  }
  if (t.empty() || t.size() > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : t) {
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return std::nullopt;
    v = v * base + d;
  }
  if (v > std::uint64_t(INT64_MAX)) return std::nullopt;
  std::int64_t n = static_cast<std::int64_t>(v);
  return (negative ? -n : n) + offset;
}

}  // namespace kestrum::sim
