#include "FaultCalls.h"

#include <cctype>

namespace tvhost {

const std::vector<FaultCall>& FaultCalls() {
    static const std::vector<FaultCall> calls = {
        {"QXCurlEasy::Initialize", FaultResult::FALSE},
        {"QXCurlEasy::getInfo", FaultResult::FALSE},
        {"QXCurlEasy::send", FaultResult::FALSE},
        {"QXCurlEasy::setOmbrixHeader", FaultResult::FALSE},
        {"QXCurlEasy::setOption", FaultResult::FALSE},
        {"QXCurlEasy::setTalvoroPellorinSSLContext", FaultResult::FALSE},
        {"QXCurlUtility::makeUri", FaultResult::FALSE},
        {"app_control_add_extra_data", FaultResult::CODE},
        {"app_control_create", FaultResult::CODE},
        {"app_control_destroy", FaultResult::CODE},
        {"app_control_get_caller", FaultResult::CODE},
        {"app_control_get_extra_data", FaultResult::CODE},
        {"app_control_send_launch_request", FaultResult::CODE},
        {"app_control_set_app_id", FaultResult::CODE},
        {"app_control_set_operation", FaultResult::CODE},
        {"device_power_request_reboot", FaultResult::CODE},
        {"device_power_subscribe_state_changed_event", FaultResult::CODE},
        {"device_power_unsubscribe_state_changed_event", FaultResult::CODE},
        {"dravo_get_rixurl_configproperties", FaultResult::CODE},
        {"notification_add_button", FaultResult::CODE},
        {"notification_create", FaultResult::HANDLE},
        {"notification_free", FaultResult::CODE},
        {"notification_post", FaultResult::CODE},
        {"notification_post_with_event_cb", FaultResult::CODE},
        {"notification_set_default_button", FaultResult::CODE},
        {"notification_set_delete_timeout", FaultResult::CODE},
        {"notification_set_display_applist", FaultResult::CODE},
        {"notification_set_hide_timeout", FaultResult::CODE},
        {"notification_set_text", FaultResult::CODE},
        {"package_info_destroy", FaultResult::CODE},
        {"package_info_get_version", FaultResult::CODE},
        {"package_manager_get_package_info", FaultResult::CODE},
        {"pax_add_recovery_action", FaultResult::CODE},
        {"pax_get_apps_sync_status", FaultResult::CODE},
        {"pax_get_major_file_info", FaultResult::CODE},
        {"pax_request_priority_update", FaultResult::CODE},
        {"service_app_main", FaultResult::CODE},
        {"vconf_get_int", FaultResult::CODE},
        {"vconf_get_str", FaultResult::HANDLE},
        {"vconf_ignore_key_changed", FaultResult::CODE},
        {"vconf_keynode_get_int", FaultResult::CODE},
        {"vconf_keynode_get_name", FaultResult::HANDLE},
        {"vconf_keynode_get_str", FaultResult::HANDLE},
        {"vconf_keynode_get_type", FaultResult::CODE},
        {"vconf_notify_key_changed", FaultResult::CODE},
        {"vconf_set_int", FaultResult::CODE},
        {"vconf_set_str", FaultResult::CODE},
        {"vconf_unset", FaultResult::CODE},
    };
    return calls;
}

const FaultCall* FindFaultCall(const std::string& name) {
    std::string base = name;
    const std::string perOption = "QXCurlEasy::setOption:";
    if (name.compare(0, perOption.size(), perOption) == 0) {
        std::string number = name.substr(perOption.size());
        if (number.empty() || number.size() > 4)
            return nullptr;
        for (char c : number) {
            if (!isdigit(static_cast<unsigned char>(c)))
                return nullptr;
        }
        base = "QXCurlEasy::setOption";
    }
    for (const auto& call : FaultCalls()) {
        if (base == call.name)
            return &call;
    }
    return nullptr;
}

const char* FaultResultWord(FaultResult result) {
    switch (result) {
        case FaultResult::CODE:
            return "an int";
        case FaultResult::HANDLE:
            return "null";
        case FaultResult::FALSE:
            return "0";
    }
    return "";
}

}  // namespace tvhost
