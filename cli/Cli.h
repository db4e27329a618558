#pragma once
#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "CliArgs.h"
#include "DLLConnector.h"
#include "EDSDatabase.h"
#include "MessageFilter.h"

class QJsonObject;

/// Shows every frame the connector hands on to `tap`, then passes it to the
/// filter that was in place (so the CAN log and the NMT display of a window
/// keep working); installed on the connector for its lifetime.
class FrameTap : public MessageFilter {
 public:
  FrameTap(DLLConnector& connector, std::function<void(const ConnectorFrame&)> tap);
  ~FrameTap() override;
  FrameTap(const FrameTap&) = delete;
  FrameTap& operator=(const FrameTap&) = delete;
  void onFrame(const ConnectorFrame& frame) override;

 private:
  DLLConnector& connector_;
  MessageFilter* previous_;
  std::function<void(const ConnectorFrame&)> tap_;
};

/// kestrum-cli: the application's bus engine without its windows. One run
/// performs one sub-command through the same connector, EDS database, value
/// rules and list-file format as the main window, so a value read, written,
/// dumped or loaded here is the one the window would show.
///
/// Runs on the thread of the QCoreApplication; SDO waits run its event loop.
class Cli {
 public:
  explicit Cli(CliArgs args);
  ~Cli();
  Cli(const Cli&) = delete;
  Cli& operator=(const Cli&) = delete;

  /// Runs the sub-command; returns the exit status (CliExit).
  int run();

  /// One object of the dictionary as the SDO list has it: a row.
  struct Row {
    sdoDataDefinition* definition = nullptr;
    std::uint16_t index = 0;
    std::uint8_t sub = 0;
    QString type() const { return dataTypeName(definition ? definition->dataType : 0); }
  };

 private:
  // sub-commands
  int adapters();
  int scan();
  int info();
  int read();
  int write();
  int nmt();
  int dump();
  int load();
  int flash();
  int log();

  // adapter and node
  QStringList adapterList();
  /// Creates the connector for the chosen adapter and initialises it for
  /// `node` at `kbit`; kExitOk or the exit status of the failure.
  int open(int node, int kbit);
  /// Reads the node's controller name and loads its dictionary (the default
  /// one when there is no file for it).
  int loadDictionary(int node);
  void buildRows();
  Row* findRow(std::uint16_t index, std::uint8_t sub);
  std::vector<Row*> rowsOf(std::uint16_t index);

  /// The NMT state by node guarding: 0x7F, 0x05, 0x04, 0x00; nothing when
  /// the node did not answer within `timeoutMs`.
  std::optional<std::uint8_t> guardNode(int node, int timeoutMs);
  QString readString(int node, std::uint16_t index, SDOResult* result = nullptr);

  struct ReadValue {
    SDOResult result;
    QString value;
    QString type;
  };
  /// One upload typed by the row's type; without a row (an object the
  /// dictionary lacks) the node's answer gives the size.
  ReadValue readValue(int node, std::uint16_t index, std::uint8_t sub, const Row* row);

  // output
  void out(const QString& text, const QJsonObject& json);
  /// "node N, object 0xIIII:SS: reason" on stderr (and as a JSON error line).
  void fail(int node, std::optional<std::pair<std::uint16_t, std::uint8_t>> object, const QString& reason,
            std::uint32_t abortCode = 0);
  int usage(const QString& reason);
  QString errorText(const SDOResult& r);
  bool parseNode(const QString& text, int& node);

  CliArgs args_;
  std::unique_ptr<DLLConnector> connector_;
  EDSDatabase database_;
  QString appFolder_;
  QString controller_;
  std::vector<Row> rows_;
  int outFd_ = 1;  ///< where results go; standard output, kept aside while the library prints
};
