// The EDS loader reads XML files from the application folder: a malformed or
// hostile file must end in EdsLoadError with the previous dictionary kept,
// never in a crash.
#include <QLoggingCategory>
#include <QString>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

#include "EDSDatabase.h"

namespace {

int depth(const sdoDataDefinition& def, int level) {
  int d = level;
  for (const auto& [sub, child] : def.subObjects) {
    if (!child) std::abort();
    d = std::max(d, depth(*child, level + 1));
  }
  return d;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QLoggingCategory::setFilterRules(QStringLiteral("kestrum.*=false"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static EDSDatabase db;
  const int fd = memfd_create("eds", 0);
  if (fd < 0) return 0;
  if (size && write(fd, data, size) != ssize_t(size)) {
    close(fd);
    return 0;
  }
  const edsFile* before = db.file();
  try {
    db.loadFile(QStringLiteral("/proc/self/fd/%1").arg(fd));
    const edsFile* f = db.file();
    if (!f) std::abort();
    for (const auto& [id, def] : f->list.entries) {
      if (!def || def->id != id) std::abort();
      (void)depth(*def, 0);
      (void)dataTypeName(def->dataType);
    }
  } catch (const EdsLoadError& e) {
    if (db.file() != before || e.message().isEmpty()) std::abort();
  }
  close(fd);
  return 0;
}
