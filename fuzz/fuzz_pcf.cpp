// The PDO configuration reader takes files the user picks and the shipped
// presets: any input must end in a file that is either rejected with a line
// number or read into lines that keep the reader's own guarantees, never in
// a crash or a hang.
#include <QByteArray>
#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include "PdoConfigFile.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QLoggingCategory::setFilterRules(QStringLiteral("kestrum.*=false"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QByteArray bytes(reinterpret_cast<const char*>(data), int(size));
  const pdofile::Content content = pdofile::read(bytes);
  const int lineCount = int(bytes.count('\n')) + 1;
  if (!content.ok()) {
    // A rejected file hands nothing on and names a line of the file.
    if (!content.lines.empty() || content.errorLine < 1 || content.errorLine > lineCount) std::abort();
    return 0;
  }
  int previous = 0;
  for (const pdofile::Line& line : content.lines) {
    if (line.lineNumber <= previous || line.lineNumber > lineCount) std::abort();
    previous = line.lineNumber;
    if (line.index.size() != 4 || line.sub < 0 || line.sub > 255 || line.value.isEmpty()) std::abort();
    if (line.index.toUInt(nullptr, 16) != line.indexValue) std::abort();
    // What the writer makes of a line reads back as the same line.
    const pdofile::Content again = pdofile::read(pdofile::formatLine(line.indexValue, line.sub, line.value));
    if (pdofile::countSlot(line.indexValue, line.sub) >= 0) continue;  // a count needs its entries beside it
    if (!again.ok() || again.lines.size() != 1 || again.lines[0].index != line.index ||
        again.lines[0].sub != line.sub || again.lines[0].value != line.value)
      std::abort();
  }
  return 0;
}
