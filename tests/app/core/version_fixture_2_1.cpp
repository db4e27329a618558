// A library that carries nothing but a version record, for the version report.
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("2, 1, 0, 12");
