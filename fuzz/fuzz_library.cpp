// The motor, device and closed-loop library files are read at every start
// and may have been edited by hand: any input must end in records that keep
// the readers' guarantees and at most one message naming the file, never in
// a crash or a hang. One source, built once per reader (LIBRARY_READER).
#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "LibraryFiles.h"

namespace {

const QString kFile = QStringLiteral("lib.xml");

[[maybe_unused]] void check(const libraryfiles::Result<device>& r) {
  for (const device& d : r.records)
    if (d.name.isEmpty() || !std::isfinite(d.MaxMotorCurrent)) std::abort();
}
[[maybe_unused]] void check(const libraryfiles::Result<motor>& r) {
  for (const motor& m : r.records)
    if (m.MotorType.isEmpty() || m.MotorBezeichnung.isEmpty() || m.Design.isEmpty() || !std::isfinite(m.MaxCurrent))
      std::abort();
}
[[maybe_unused]] void check(const libraryfiles::Result<CLRecord>& r) {
  for (const CLRecord& c : r.records)
    if (c.MotorType.isEmpty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QLoggingCategory::setFilterRules(QStringLiteral("kestrum.*=false"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
  const auto result = libraryfiles::LIBRARY_READER(bytes, kFile);
  check(result);
  if (!result.ok() && !result.error.startsWith(kFile + QStringLiteral(", line "))) std::abort();
  return 0;
}
