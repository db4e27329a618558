#include "SaveFile.h"

#include <QSaveFile>

namespace savefile {

bool write(const QString& path, const QByteArray& content, QString* error) {
  return write(
      path, [&](QIODevice& out) { return out.write(content) == content.size(); }, error);
}

bool write(const QString& path, const std::function<bool(QIODevice&)>& fill, QString* error) {
  // QSaveFile writes beside the target and renames over it in commit(), after
  // syncing the data; a write that failed makes commit() fail and remove the
  // temporary file.
  QSaveFile file(path);
  if (file.open(QIODevice::WriteOnly) && fill(file) && file.commit()) return true;
  if (error) {
    *error = file.errorString();
    if (error->isEmpty() || *error == QLatin1String("Unknown error")) *error = QStringLiteral("could not write the file");
  }
  file.cancelWriting();
  return false;
}

}  // namespace savefile
