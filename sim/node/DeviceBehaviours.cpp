#include "DeviceBehaviours.h"

namespace kestrum::sim {

void addDeviceBehaviours(SimNode& /*node*/) {}

}  // namespace kestrum::sim
