#include "FaultCalls.h"

#include <climits>
#include <sstream>

#include "HostCore.h"

namespace tvhost {

const std::vector<FaultCall>& FaultCalls() {
    static const std::vector<FaultCall> calls = {
        {"QXCurlEasy::Initialize", FaultResult::FALSE},
        {"QXCurlEasy::getInfo", FaultResult::FALSE},
        {"QXCurlEasy::send", FaultResult::FALSE},
        {"QXCurlEasy::setOmbrixHeader", FaultResult::FALSE},
        {"QXCurlEasy::setOption", FaultResult::FALSE},
        {"QXCurlEasy::setOption:17", FaultResult::FALSE},  // HTTPGET
        {"QXCurlEasy::setOption:50", FaultResult::FALSE},  // URL
        {"QXCurlEasy::setOption:75", FaultResult::FALSE},  // HTTPHEADER
        {"QXCurlEasy::setOption:78", FaultResult::FALSE},  // WRITEFUNCTION
        {"QXCurlEasy::setOption:86", FaultResult::FALSE},  // WRITEDATA
        {"QXCurlEasy::setTalvoroPellorinSSLContext", FaultResult::FALSE},
        {"QXCurlUtility::makeUri", FaultResult::FALSE},
        // A failed log line is lost, and the service carries on without looking at the result.
        {"__dlog_print", FaultResult::CODE},
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
    for (const auto& call : FaultCalls()) {
        if (name == call.name)
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

const std::vector<UnfaultableCall>& UnfaultableCalls() {
    static const std::vector<UnfaultableCall> calls = {
        {"QXCurlEasy::getError", "it describes the last failure and cannot fail itself"},
        {"QXCurlEasy::getErrorCode", "it reports the last failure and cannot fail itself"},
        {"QXCurlEasy::reset", "it returns nothing, so a failure could not be seen"},
        {"QXCurlUtility::checkIsHttps",
         "it tests the URL's scheme; false is an answer, not a "
         "failure"},
        {"QXCurlUtility::makeQueryString", "it returns nothing, so a failure could not be seen"},
        {"tv_path_get",
         "it is the host's own path mapping (on a television the path is itself); "
         "a null would send the service's files outside the device root"},
    };
    return calls;
}

namespace {

bool Refuse(std::string* error, const std::string& message) {
    if (error)
        *error = message;
    return false;
}

std::string WhatResultMustBe(const FaultCall& call) {
    std::string name = call.name;
    switch (call.result) {
        case FaultResult::CODE:
            return name + " returns an int: RESULT must be a decimal integer from " +
                   std::to_string(INT_MIN) + " to " + std::to_string(INT_MAX);
        case FaultResult::HANDLE:
            return name + " returns a pointer: RESULT must be null";
        case FaultResult::FALSE:
            return name + " reports failure as false: RESULT must be 0";
    }
    return "";
}

bool ResultFits(const FaultCall& call, const std::string& text, int* result) {
    long long number = 0;
    switch (call.result) {
        case FaultResult::CODE:
            if (!ParseDecimal(text, INT_MIN, INT_MAX, &number))
                return false;
            *result = static_cast<int>(number);
            return true;
        case FaultResult::HANDLE:
            *result = 0;
            return text == "null";
        case FaultResult::FALSE:
            *result = 0;
            return text == "0";
    }
    return false;
}

std::string UnknownCall(const std::string& name) {
    for (const auto& call : UnfaultableCalls()) {
        if (name == call.name)
            return name + " cannot be made to fail: " + call.why;
    }
    return "unknown call '" + name + "' (see: tvctl fault calls)";
}

}  // namespace

bool CheckFaultRule(const std::string& call, const std::string& result, const std::string& times,
                    FaultRule* rule, std::string* error) {
    const FaultCall* entry = FindFaultCall(call);
    if (!entry)
        return Refuse(error, UnknownCall(call));
    FaultRule checked;
    checked.call = call;
    if (!ResultFits(*entry, result, &checked.result))
        return Refuse(error, WhatResultMustBe(*entry) + ", got '" + result + "'");
    long long count = -1;
    if (!times.empty() && !ParseDecimal(times, 1, INT_MAX, &count))
        return Refuse(error, "TIMES must be a positive decimal integer, got '" + times + "'");
    checked.times = static_cast<long>(count);
    *rule = checked;
    return true;
}

bool IsFaultComment(const std::string& line) {
    std::stringstream words(line);
    std::string first;
    return !(words >> first) || first[0] == '#';
}

bool ParseFaultRule(const std::string& line, FaultRule* rule, std::string* error) {
    std::stringstream stream(line);
    std::vector<std::string> words;
    for (std::string word; stream >> word;)
        words.push_back(word);
    if (words.size() < 2 || words.size() > 3) {
        return Refuse(error, "expected CALL RESULT [TIMES], got " + std::to_string(words.size()) +
                                 " word(s)");
    }
    return CheckFaultRule(words[0], words[1], words.size() == 3 ? words[2] : "", rule, error);
}

}  // namespace tvhost
