#pragma once
#include <QString>
#include <QStringList>

#include <functional>

/// A file's version from its embedded version record, "1, 0, 0, 5" shown as
/// "1.0.0.5" (commas become dots, blanks go); "file not found" for a missing
/// file or one without a record. The file is read, never loaded.
QString ReadFileVersion(const QString& path);

/// Where the dynamic loader would find a library given by bare name: the
/// application's folder first (where the project's stand-ins sit), then the
/// folders of LD_LIBRARY_PATH, then the system's library folders. The bare
/// name itself when it is nowhere, which then reads "file not found".
QString findLibrary(const QString& bareName, const QString& appFolder);

/// Whether the system offers a high-resolution monotonic clock (the steady
/// clock with a resolution of a microsecond or better).
bool hasHighResolutionCounter();

/// The lines of the "Info" page, line 1 (empty) to line 24: the application,
/// libVarnex.so and libpcanbasic.so in the executable's folder, the
/// performance counter, and the four VCI libraries by bare name.
/// `fileVersion` reads one file's version (ReadFileVersion in the
/// application); `locate` resolves a bare library name (findLibrary).
QStringList versionReportLines(
    const QString& executablePath, bool performanceCounter,
    const std::function<QString(const QString&)>& fileVersion = ReadFileVersion,
    const std::function<QString(const QString& bareName, const QString& appFolder)>& locate = findLibrary);
