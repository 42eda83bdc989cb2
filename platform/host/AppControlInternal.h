// App control handles made from messages that reach a running application.
#pragma once

#include <string>

#include "app_control.h"

namespace tvhost {

// An owned handle read from the text of a "launch" message, or null when the message is not JSON
// or names no application; destroy it with app_control_destroy.
app_control_h AppControlFromMessage(const std::string& text);

}  // namespace tvhost
