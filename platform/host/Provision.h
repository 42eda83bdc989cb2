// A factory-fresh television under the device root.
#pragma once

#include <string>

namespace tvhost {

// Provisions DeviceRoot(): settings, applications, packages, language files, directories,
// store state and config. With `force` an existing root is wiped first. False with *error set
// when it could not be done (e.g. the root exists and `force` is false).
bool Provision(bool force, std::string* error);

// A cold start: volatile memory/ keys back to their initial values (others under memory/
// removed), stale run/ entries removed.
bool ColdBoot(std::string* error);

}  // namespace tvhost
