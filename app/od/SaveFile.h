#pragma once
// Every file Kestrum writes goes through here: written to a temporary file in
// the target's folder, flushed to disk and renamed over the target at the
// end. A crash, a full disk or a failed write leaves the previous file as it
// was, never half a file.

#include <QByteArray>
#include <QString>
#include <functional>

class QIODevice;

namespace savefile {

/// Writes `content` whole to `path`; false with the reason in `error`.
bool write(const QString& path, const QByteArray& content, QString* error);

/// Lets `fill` write into the file (for output too large to build at once);
/// `fill` returns false when it could not write everything.
bool write(const QString& path, const std::function<bool(QIODevice&)>& fill, QString* error);

}  // namespace savefile
