#include "UserDataFolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QStandardPaths>

const char* const kUserDataManifest = ".kestrum-manifest";

namespace {

/// Hex SHA-256 of a file; empty when it cannot be read.
QString checksum(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  QCryptographicHash hash(QCryptographicHash::Sha256);
  if (!hash.addData(&file)) return {};
  return QString::fromLatin1(hash.result().toHex());
}

/// Manifest lines "<sha256>  <relative path>", as sha256sum writes them.
QMap<QString, QString> readManifest(const QString& path) {
  QMap<QString, QString> entries;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return entries;
  while (!file.atEnd()) {
    const QString line = QString::fromUtf8(file.readLine()).trimmed();
    const int gap = line.indexOf(QLatin1String("  "));
    // A damaged line is dropped: its file then counts as changed by the user
    // and is kept, which never loses anything.
    if (gap != 64 || line.startsWith(QLatin1Char('#'))) continue;
    entries.insert(line.mid(gap + 2), line.left(gap));
  }
  return entries;
}

bool writeAtomically(const QString& path, const QByteArray& content, QString& error) {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
    error = file.errorString();
    return false;
  }
  return true;
}

}  // namespace

QString defaultUserDataFolder() {
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
  return base.isEmpty() ? QString() : base + QStringLiteral("/kestrum");
}

UserDataUpdate updateUserDataFolder(const QString& shippedFolder, const QString& userFolder) {
  UserDataUpdate result;
  const QDir shipped(shippedFolder);
  const QDir user(userFolder);
  if (userFolder.isEmpty()) {
    result.errors << QStringLiteral("There is no folder for the user's data (neither XDG_DATA_HOME nor HOME is set).");
    return result;
  }
  if (!QDir().mkpath(userFolder) || !QFileInfo(userFolder).isDir()) {
    result.errors << QStringLiteral("Cannot create the folder %1.").arg(QDir::toNativeSeparators(userFolder));
    return result;
  }
  result.usable = true;

  const QString manifestPath = user.filePath(QLatin1String(kUserDataManifest));
  const QMap<QString, QString> lastShipped = readManifest(manifestPath);
  QMap<QString, QString> manifest;

  QStringList files;
  QDirIterator it(shippedFolder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
  while (it.hasNext()) files << shipped.relativeFilePath(it.next());
  files.sort();

  for (const QString& file : files) {
    const QString source = shipped.filePath(file);
    const QString target = user.filePath(file);
    const QString shippedSum = checksum(source);
    if (shippedSum.isEmpty()) {
      result.errors << QStringLiteral("Cannot read %1.").arg(QDir::toNativeSeparators(source));
      if (lastShipped.contains(file)) manifest.insert(file, lastShipped.value(file));
      continue;
    }
    const QFileInfo targetInfo(target);
    const QString userSum = targetInfo.isFile() ? checksum(target) : QString();
    bool copy = false;
    if (!targetInfo.exists()) {
      copy = true;
    } else if (userSum == shippedSum) {
      manifest.insert(file, shippedSum);
      continue;
    } else if (!userSum.isEmpty() && lastShipped.value(file) == userSum) {
      copy = true;  // unchanged by the user since it was shipped: take the new version
    } else {
      if (lastShipped.value(file) != shippedSum) result.keptUserChanges << file;
      if (lastShipped.contains(file)) manifest.insert(file, lastShipped.value(file));
      continue;
    }
    Q_ASSERT(copy);
    QFile in(source);
    QString error;
    if (!in.open(QIODevice::ReadOnly)) {
      error = in.errorString();
    } else if (!QDir().mkpath(QFileInfo(target).absolutePath())) {
      error = QStringLiteral("cannot create its folder");
    } else if (writeAtomically(target, in.readAll(), error)) {
      manifest.insert(file, shippedSum);
      result.copied << file;
      continue;
    }
    result.errors << QStringLiteral("Cannot copy %1 to %2: %3")
                         .arg(file, QDir::toNativeSeparators(userFolder), error);
    if (lastShipped.contains(file)) manifest.insert(file, lastShipped.value(file));
  }

  if (manifest != lastShipped) {
    QByteArray text = "# The version of each file Kestrum last copied here (SHA-256); a file\n"
                      "# that still matches is updated when Kestrum ships a new one.\n";
    for (auto entry = manifest.cbegin(); entry != manifest.cend(); ++entry)
      text += entry.value().toLatin1() + "  " + entry.key().toUtf8() + '\n';
    QString error;
    if (!writeAtomically(manifestPath, text, error))
      result.errors << QStringLiteral("Cannot write %1: %2").arg(QDir::toNativeSeparators(manifestPath), error);
  }
  return result;
}
