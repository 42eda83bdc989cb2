// The service application framework's hooks for the rest of the host device.
#pragma once

namespace tvhost {

// Ends the running application as the framework does on SIGTERM: the terminate callback runs
// once the current handler has returned, then the main loop ends and service_app_main returns 0.
// Does nothing in a process that is not inside service_app_main.
void RequestTerminate();

}  // namespace tvhost
