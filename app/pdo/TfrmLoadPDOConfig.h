#pragma once
#include <QDialog>
#include <QString>

#include <functional>
#include <memory>

#include "PdoConfigFile.h"
#include "PdoHost.h"

namespace Ui {
class TfrmLoadPDOConfig;
}

/// "Load PDO Configuration": brings a PDO configuration file or one of the
/// presets into the SDO list's cache and, with "Auto Write", into the node.
/// A file is read and checked whole before anything is stored, so a damaged
/// file changes nothing. Lives as long as the mapping page; keeps the last
/// file name and page.
class TfrmLoadPDOConfig : public QDialog {
  Q_OBJECT
 public:
  /// Lists the presets of `presetFolder` (the "Presets" folder below the
  /// working directory when empty).
  TfrmLoadPDOConfig(PdoHost& host, QWidget* parent, const QString& presetFolder = {});
  ~TfrmLoadPDOConfig() override;

  /// Every file ending in "ppf" of the folder, by name without extension.
  void buildPresetList(const QString& folder);
  /// Loads the chosen file; true when it was used (the window then closes).
  bool btnOKClick();
  void btnSearchFileClick();
  /// Asks for the file to load; empty when the user cancels. Tests replace it.
  std::function<QString(QWidget* parent)> chooseFile;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  /// The path of the selected file or preset; empty when none is chosen.
  QString chosenPath() const;
  /// Stores the lines; with `autoWrite` writes them in the order CiA 301
  /// needs and returns what went wrong, empty when nothing did.
  QString apply(const QString& path, const pdofile::Content& content, bool autoWrite);

  std::unique_ptr<Ui::TfrmLoadPDOConfig> ui;
  PdoHost& host_;
};
