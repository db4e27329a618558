// Kestrum: commissioning and service tool for Orvane CANopen motor controllers.

#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include "KestrumApplication.h"
#include "MessageBoxService.h"
#include "TMainForm.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("1, 0, 0, 2");

namespace {

const char* const kHelp =
    "usage: kestrum [--check-connection SECONDS] [Qt options such as -platform offscreen]\n"
    "\n"
    "Commissioning and service tool for Orvane CANopen motor controllers.\n"
    "\n"
    "  --check-connection SECONDS  start, wait until the status bar shows\n"
    "                              \"CAN Device: connected\", then end: exit status 0,\n"
    "                              or 1 when SECONDS pass first; message boxes are\n"
    "                              written to standard error instead of shown\n"
    "  -h, --help                  show this text\n"
    "  -v, --version               show the version\n"
    "\n"
    "Environment:\n"
    "  KESTRUM_BUS           buses to offer, e.g. 127.0.0.1:29536/can0 (a kestrum-sim)\n"
    "  KESTRUM_ADAPTER_LIBS  'system': use the adapter vendor's libpcanbasic.so and\n"
    "                        libvcinpl.so from the system's library path instead of\n"
    "                        the stand-ins installed with Kestrum\n"
    "  XDG_DATA_HOME         an installed Kestrum works in $XDG_DATA_HOME/kestrum\n"
    "                        (default ~/.local/share/kestrum)\n";

/// --help and --version are answered before the application object exists,
/// so they work without a display. Returns the exit status, or -1 to start.
int answerInformationOptions(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-v") == 0) {
      std::printf("kestrum %s\n", KESTRUM_VERSION_TEXT);
      return 0;
    }
  }
  return -1;
}

/// During --check-connection nobody is there to answer a box: each one goes
/// to standard error and gets the most cautious answer it offers; an error
/// box fails the check.
class CheckBoxService : public MessageBoxService {
 public:
  bool sawError = false;
  QMessageBox::StandardButton show(const QString& caption, const QString& text, QMessageBox::Icon icon,
                                   QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton) override {
    std::fprintf(stderr, "kestrum: [%s] %s\n", caption.toLocal8Bit().constData(), text.toLocal8Bit().constData());
    if (icon == QMessageBox::Critical) sawError = true;
    for (auto cautious : {QMessageBox::Cancel, QMessageBox::No, QMessageBox::Abort, QMessageBox::Ok})
      if (buttons.testFlag(cautious)) return cautious;
    return defaultButton;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (const int status = answerInformationOptions(argc, argv); status >= 0) return status;
  KestrumApplication::restrictToFirstProcessor();
  KestrumApplication app(argc, argv);

  // Qt has taken its own options (-platform ...); what is left is ours.
  QCommandLineParser parser;
  const QCommandLineOption checkOption(QStringLiteral("check-connection"),
                                       QStringLiteral("Wait until connected, then end."), QStringLiteral("SECONDS"));
  parser.addOption(checkOption);
  bool secondsValid = true;
  if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
    std::fprintf(stderr, "kestrum: %s (see --help)\n",
                 parser.errorText().isEmpty() ? "unexpected argument" : parser.errorText().toLocal8Bit().constData());
    return 2;
  }
  const bool check = parser.isSet(checkOption);
  const int seconds = check ? parser.value(checkOption).toInt(&secondsValid) : 0;
  if (check && (!secondsValid || seconds < 1)) {
    std::fprintf(stderr, "kestrum: --check-connection needs a number of seconds, 1 or more\n");
    return 2;
  }
  CheckBoxService checkBoxes;
  if (check) MessageBoxService::install(&checkBoxes);

  const QString folderProblem = KestrumApplication::enterWorkingFolder();
  if (!folderProblem.isEmpty()) showMessageBox(QStringLiteral("Kestrum"), folderProblem, QMessageBox::Warning);

  int status = 0;
  {
    TMainForm form;
    form.show();
    if (check) {
      auto* poll = new QTimer(&form);
      QObject::connect(poll, &QTimer::timeout, &form, [&] {
        if (checkBoxes.sawError) {
          std::fprintf(stderr, "kestrum: connection check failed: an error was reported\n");
          app.exit(1);
        } else if (form.panelText(3) == QLatin1String("CAN Device: connected") && !form.isInUse()) {
          std::printf("kestrum: connected\n");
          app.exit(0);
        }
      });
      poll->start(100);
      QTimer::singleShot(seconds * 1000, &form, [&] {
        std::fprintf(stderr, "kestrum: not connected after %d s (status: \"%s\")\n", seconds,
                     form.panelText(3).toLocal8Bit().constData());
        app.exit(1);
      });
    }
    status = app.exec();
  }  // the window is gone before the check's box service goes
  if (check) MessageBoxService::install(nullptr);
  return status;
}
