#include "VersionReport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <time.h>

#include "layout/InstallLayout.h"
#include "version/VersionReader.h"

QString ReadFileVersion(const QString& path) {
  const auto record = kestrum::version::readVersionRecord(QFile::encodeName(path).toStdString());
  if (!record) return QStringLiteral("file not found");
  QString text = QString::fromStdString(*record);
  text.replace(QLatin1Char(','), QLatin1Char('.'));
  text.remove(QLatin1Char(' '));
  return text;
}

QString findLibrary(const QString& bareName, const QString& appFolder) {
  QStringList folders{appFolder};
  folders += QString::fromLocal8Bit(qgetenv("LD_LIBRARY_PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
  // The folders the loader searches by default on Debian-like systems; the
  // loader's cache lists libraries of these same folders.
  folders += {QStringLiteral("/usr/local/lib"), QStringLiteral("/usr/local/lib/x86_64-linux-gnu"),
              QStringLiteral("/lib/x86_64-linux-gnu"), QStringLiteral("/usr/lib/x86_64-linux-gnu"),
              QStringLiteral("/lib64"), QStringLiteral("/usr/lib64"), QStringLiteral("/lib"),
              QStringLiteral("/usr/lib")};
  for (const QString& folder : folders) {
    if (folder.isEmpty()) continue;
    const QString candidate = QDir(folder).filePath(bareName);
    if (QFileInfo(candidate).isFile()) return candidate;
  }
  return bareName;
}

bool hasHighResolutionCounter() {
  timespec resolution{};
  return clock_getres(CLOCK_MONOTONIC, &resolution) == 0 && resolution.tv_sec == 0 &&
         resolution.tv_nsec > 0 && resolution.tv_nsec <= 1000;
}

QStringList versionReportLines(const QString& executablePath, bool performanceCounter,
                               const std::function<QString(const QString&)>& fileVersion,
                               const std::function<QString(const QString&, const QString&)>& locate) {
  // The libraries sit beside the executable in a build tree, in
  // <prefix>/lib/kestrum when installed.
  const QString folder = QFile::decodeName(
      kestrum::layout::foldersFor(QFile::encodeName(QFileInfo(executablePath).absolutePath()).toStdString())
          .libraries.c_str());
  const auto local = [&](const char* name) { return fileVersion(QDir(folder).filePath(QLatin1String(name))); };
  // With the vendor's adapter libraries chosen (KESTRUM_ADAPTER_LIBS=system),
  // the CAN library skips its own folder, and so does the report.
  const bool vendorLibraries = qgetenv("KESTRUM_ADAPTER_LIBS") == "system";
  const QString adapterFolder = vendorLibraries ? QString() : folder;
  const auto system = [&](const char* name) { return fileVersion(locate(QLatin1String(name), adapterFolder)); };
  return {
      QString(),
      QString(),
      QStringLiteral("  Software Version: ") + fileVersion(executablePath),
      QString(),
      QStringLiteral("  libVarnex.so Version: ") + local("libVarnex.so"),
      QString(),
      performanceCounter ? QStringLiteral("  High Resolution Performance Counter: available.")
                         : QStringLiteral("  High Resolution Performance Counter: not available."),
      QString(),
      QString(),
      QString(),
      QStringLiteral("  Version: ") + (vendorLibraries ? system("libpcanbasic.so") : local("libpcanbasic.so")),
      QStringLiteral("  PCAN-Basic API Library"),
      QString(),
      QStringLiteral("  VCI Application Programming Interface "),
      QStringLiteral("  Version: ") + system("libvciapi.so"),
      QString(),
      QStringLiteral("  VCI CCL Wrapper "),
      QStringLiteral("  Version: ") + system("libvciccl.so"),
      QString(),
      QStringLiteral("  VCI - LabVIEW Adapter "),
      QStringLiteral("  Version:") + system("libvcilva.so"),
      QString(),
      QStringLiteral("  Native VCI Programming Library "),
      QStringLiteral("  Version: ") + system("libvcinpl.so"),
  };
}
