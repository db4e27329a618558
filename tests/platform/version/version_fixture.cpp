#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("1, 0, 0, 2");

extern "C" int fixture_function() { return 1; }
