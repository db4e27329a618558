// The version record the application's executable carries, here with the
// project's version from the build, so the window's title and version report
// have a known value to show.
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD(KESTRUM_TEST_VERSION_RECORD);
