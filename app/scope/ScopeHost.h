#pragma once
// What the scope window needs of the main window.

class DLLConnector;
class StringGridPDOReceivedDataSource;
class StringGridSDODataSource;

/// The scope's view of the main window. Each call answers for the moment it
/// is made: the list, the received-PDO view and the connector are rebuilt at
/// every connection, so the scope never keeps them.
class ScopeHost {
 public:
  virtual ~ScopeHost() = default;
  /// The node's dictionary and value cache; null while there is none.
  virtual StringGridSDODataSource* sdoList() const = 0;
  /// The received-PDO view (which objects the transmit PDOs carry); may be null.
  virtual StringGridPDOReceivedDataSource* pdoView() const = 0;
  virtual DLLConnector* connector() const = 0;
  virtual int nodeId() const = 0;
  /// The bus's bit rate in kbit/s, for the load polling adds.
  virtual int bitRateKbit() const = 0;
  /// True while a workflow or a firmware download owns the bus: no polls then.
  virtual bool busBusy() const = 0;
  /// Around each poll: while one waits for its answer, the window counts it
  /// as a running transfer, so that nothing (closing the window, a rebuild of
  /// the object views) takes the connector from under it.
  virtual void setTransferRunning(bool running) = 0;
};
