#pragma once
// The device side every simulated controller runs beside its communication
// side: each behaviour plugs into the node as a NodeBehaviour.
#include "SimNode.h"

namespace kestrum::sim {

/// Adds the behaviours of the maker's controllers to `node`, each only where
/// the node's dictionary has the objects it serves.
void addDeviceBehaviours(SimNode& node);

}  // namespace kestrum::sim
