// Kestrum: commissioning and service tool for Orvane CANopen motor controllers.

#include <sched.h>

#include "KestrumApplication.h"
#include "TMainForm.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("1, 0, 0, 2");

int main(int argc, char** argv) {
  // One processor only: the CAN library's timing assumes its threads and the
  // user interface never run truly in parallel.
  cpu_set_t mask;
  CPU_ZERO(&mask);
  if (sched_getaffinity(0, sizeof(mask), &mask) == 0) {
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (!CPU_ISSET(cpu, &mask)) continue;
      cpu_set_t first;
      CPU_ZERO(&first);
      CPU_SET(cpu, &first);
      sched_setaffinity(0, sizeof(first), &first);
      break;
    }
  }

  KestrumApplication app(argc, argv);
  TMainForm form;
  form.show();
  return app.exec();
}
