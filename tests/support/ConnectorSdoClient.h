#pragma once
// The application's connector (readObject / writeObject) as the client of a
// faulty-bus SDO run: a failure is its result code as text.

#include "DLLConnector.h"
#include "SdoFaultRun.h"

namespace kestrum::sim::test {

inline TransferResult fromConnectorResult(const SDOResult& r) {
  if (r.code != 0) return TransferResult{std::to_string(r.code)};
  return TransferResult{"", std::int64_t(std::uint32_t(r.value)), DLLConnector::lastSdoString.toStdString()};
}

inline SdoClient connectorClient(DLLConnector& c, std::uint32_t timeoutMs) {
  constexpr std::uint8_t node = SdoFaultRun::kNode;
  SdoClient client;
  client.upload32 = [&c, timeoutMs](std::uint16_t index, std::uint8_t sub) {
    return fromConnectorResult(c.readObject(node, index, sub, TYPE_U32, timeoutMs));
  };
  client.uploadString = [&c, timeoutMs](std::uint16_t index, std::uint8_t sub) {
    DLLConnector::lastSdoString.clear();
    return fromConnectorResult(c.readObject(node, index, sub, TYPE_STRING, timeoutMs));
  };
  client.download32 = [&c, timeoutMs](std::uint16_t index, std::uint8_t sub, std::uint32_t value) {
    return fromConnectorResult(c.writeObject(node, index, sub, TYPE_U32, timeoutMs, std::int32_t(value)));
  };
  return client;
}

}  // namespace kestrum::sim::test
