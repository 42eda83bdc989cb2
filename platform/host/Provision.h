// A factory-fresh television under the device root.
#pragma once

#include <string>

namespace tvhost {

// Provisions DeviceRoot(): settings, applications, packages, language files, directories,
// store state and config, and marks it as a device root (ROOT_MARK). The directory must be new,
// empty or a marked root; with `force` a marked root is wiped first. False with *error set when
// it could not be done; a non-empty directory that is not a device root is left untouched.
bool Provision(bool force, std::string* error);

// A cold start: volatile memory/ keys back to their initial values (others under memory/
// removed), and every run/ entry of an application that is not running removed.
bool ColdBoot(std::string* error);

}  // namespace tvhost
