#pragma once
// The per-user data folder of an installed Kestrum. The installed data files
// (<prefix>/share/kestrum) cannot be written, yet the window saves list files,
// PDO configurations and logs into its working folder; so an installed
// Kestrum works in $XDG_DATA_HOME/kestrum, a copy of the shipped files that
// is brought up to date on every start without overwriting what the user
// changed.

#include <QString>
#include <QStringList>

/// What one update of the user's data folder did.
struct UserDataUpdate {
  bool usable = false;          ///< the folder exists and the program can work in it
  QStringList copied;           ///< files written from the shipped folder (relative paths)
  QStringList keptUserChanges;  ///< user-changed files kept although a different version is shipped
  QStringList errors;           ///< one line per failure; the user's files stay as they were
};

/// Name of the manifest kept in the user's folder: for every shipped file
/// the SHA-256 of the shipped version that was last copied there.
extern const char* const kUserDataManifest;

/// $XDG_DATA_HOME/kestrum (by default ~/.local/share/kestrum); empty when
/// the system names no data folder for the user.
QString defaultUserDataFolder();

/// Brings `userFolder` up to date with `shippedFolder` (created if missing).
/// A shipped file is copied when the user's copy is missing, or when the
/// user's copy still equals the version the manifest says was last shipped
/// (the user did not change it) and the shipped one differs. Any other user
/// copy is kept. Copies and the manifest are written atomically, so a failure
/// (read-only folder, full disk) never leaves a half-written file.
UserDataUpdate updateUserDataFolder(const QString& shippedFolder, const QString& userFolder);
