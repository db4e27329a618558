// Kestrum: commissioning and service tool for Orvane CANopen motor controllers.

#include "KestrumApplication.h"
#include "TMainForm.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("1, 0, 0, 2");

int main(int argc, char** argv) {
  KestrumApplication::restrictToFirstProcessor();
  KestrumApplication app(argc, argv);
  TMainForm form;
  form.show();
  return app.exec();
}
