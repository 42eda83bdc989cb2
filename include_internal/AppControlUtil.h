#pragma once

#include <app_control.h>

#include <map>
#include <string>

// Extra data of a launch request, added in ascending key order.
using ExtraDataMap = std::map<std::string, std::string>;

class AppControlUtil {
  public:
    static void HandleError(int error, const std::string& message);
    static bool GetCallerApp(app_control_h appControl, std::string& caller);
    static bool GetExtraData(app_control_h appControl, const char* key, std::string& value);
    // The caller owns the handle; null when it could not be created.
    static app_control_h CreateBasicAppControl();
    static void SendAppControl(const std::string& appId, const ExtraDataMap& extraData,
                               const std::string& failureMessage);
};
