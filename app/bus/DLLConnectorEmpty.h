#pragma once
#include "DLLConnector.h"

class EDSDatabase;

/// The connector for work without a bus: reads answer with the default
/// values of the EDS database, writes report 1024, everything else succeeds
/// without effect.
class DLLConnectorEmpty : public DLLConnector {
 public:
  explicit DLLConnectorEmpty(DLLLoader* loader = nullptr) : DLLConnector(loader) {}

  /// The database reads answer from (not owned; null until bound).
  void bindDatabase(EDSDatabase* database) { database_ = database; }

  double getLevel() override { return 0.0; }
  bool init_canW(std::uint8_t, int, int, int, bool, int, void*) override { return true; }
  void terminate_canW() override {}
  bool send_sdoW(std::uint16_t, std::uint8_t, std::uint8_t, std::int32_t) override { return true; }
  bool recv_sdoW(std::uint16_t, std::uint8_t, std::uint8_t&, std::int32_t&) override { return true; }
  void send_nmtW(std::uint8_t) override {}
  int flash_firmwareW(const QString&) override { return 0; }
  bool start_BootloaderW() override { return true; }
  bool stop_BootloaderW() override { return true; }
  bool get_device_idW(int&, int&) override { return true; }
  void select_nodeW(int) override {}
  bool send_PDOW(std::int32_t, std::uint8_t*, bool) override { return true; }
  void setGetAllCallbackW(void (*)(std::uint8_t*, std::uint32_t&, std::uint16_t&, std::uint8_t&,
                                   bool&)) override {}
  int getPeakDevicesW(int*, int) override { return 0; }
  int getIXXATDevicesW() override { return 0; }
  int get_versionW() override { return 0; }
  void setMessageFilter(MessageFilter*) override {}
  MessageFilter* getMessageFilter() override;
  void cancelQuery() override {}
  /// The object's (or sub-object's) EDS default; node, type and time-out
  /// are ignored. 513 without a database, for an unknown object or
  /// sub-object, an unsupported data type or a default that is no number.
  SDOResult readObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                       std::uint8_t type, std::uint32_t timeoutMs) override;
  SDOResult writeObject(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint32_t,
                        std::int32_t) override {
    return {1024, 0, 0, 0};
  }
  bool isQueryPending() override { return true; }
  QString getClassName() override { return QStringLiteral("DLLConnectorEmpty"); }

 private:
  EDSDatabase* database_ = nullptr;
};
