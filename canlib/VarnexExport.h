#pragma once
// Symbols of libVarnex.so are hidden unless marked here: the C interface, the
// classes Varnex, CANopen and VarnexStatus, and nothing else.
#define VARNEX_EXPORT __attribute__((visibility("default")))
