// App control handles made from messages that reach a running application.
#pragma once

#include <json/json.h>

#include "app_control.h"

namespace tvhost {

// An owned handle built from a "launch" message, or null when the message names no application;
// destroy it with app_control_destroy.
app_control_h AppControlFromMessage(const Json::Value& message);

}  // namespace tvhost
