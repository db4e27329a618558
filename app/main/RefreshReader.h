#pragma once
#include <QString>

#include <cstdint>
#include <optional>

class StringGridSDODataSource;

/// The reads of one refresh of a node page, through the SDO list. A refresh
/// ends at its first failure: the reads after it would fail the same way,
/// each waiting its time-out, and a value that is no number must not end the
/// page in an exception. A read the node did not answer is already in the log
/// (the list writes it); a value that does not convert is logged here, once.
class RefreshReader {
 public:
  explicit RefreshReader(StringGridSDODataSource& list) : list_(list) {}

  /// The value text, read from the node when `read` (the list's value
  /// otherwise); nullopt when the read failed or an earlier one did.
  std::optional<QString> text(const QString& id, int subIndex, bool read = true);
  /// The value converted as a number must be (decimal or "0x" hexadecimal);
  /// nullopt, logged, for a text that is no number.
  std::optional<std::int32_t> number(const QString& id, int subIndex, bool read = true);
  /// As `number`, but `def` for a text that is no number, as for "" and "0".
  std::optional<std::int32_t> numberOr(const QString& id, int subIndex, std::int32_t def, bool read = true);
  /// As `number` for an unsigned 32-bit value.
  std::optional<std::uint32_t> unsigned32(const QString& id, int subIndex, bool read = true);

  bool failed() const { return failed_; }

 private:
  void rejectText(const QString& id, int subIndex, const QString& value);

  StringGridSDODataSource& list_;
  bool failed_ = false;
};
