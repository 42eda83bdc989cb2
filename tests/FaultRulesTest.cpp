// Fault rules: what a line of `faults` may say, that every call of the table honours its rule,
// and that counting a rule down or meeting a bad line leaves the file and the log as promised.

#include <map>

#include "FaultCalls.h"
#include "HostCore.h"
#include "TestDevice.h"
#include "app_control.h"
#include "device_power.h"
#include "dlog.h"
#include "dravo_api.h"
#include "notification.h"
#include "package_manager.h"
#include "pax_manager_api.h"
#include "qxcurl.h"
#include "service_app.h"
#include "vconf.h"

namespace {

struct RuleRow {
    const char* line;
    const char* error;  // "" when the line is a rule
};

TEST(FaultRules, ALineIsARuleOnlyWhenTheTableSaysSo) {
    const RuleRow rows[] = {
        {"vconf_get_int -1", ""},
        {"vconf_get_int\t-2147483648  3", ""},
        {"QXCurlEasy::setOption:50 0", ""},
        {"__dlog_print -1", ""},
        {"vconf_get_itn -1", "unknown call 'vconf_get_itn' (see: tvctl fault calls)"},
        {"QXCurlEasy::setOption:99 0", "unknown call 'QXCurlEasy::setOption:99'"},
        {"tv_path_get null", "tv_path_get cannot be made to fail: it is the host's own"},
        {"vconf_get_int null", "vconf_get_int returns an int: RESULT must be a decimal integer"},
        {"vconf_set_str 010", "got '010'"},
        {"vconf_set_str +1", "got '+1'"},
        {"notification_create -5", "notification_create returns a pointer: RESULT must be null"},
        {"QXCurlEasy::send false", "QXCurlEasy::send reports failure as false: RESULT must be 0"},
        {"vconf_get_int -1 0", "TIMES must be a positive decimal integer, got '0'"},
        {"vconf_get_int", "expected CALL RESULT [TIMES], got 1 word(s)"},
        {"vconf_get_int -1 2 # why", "got 5 word(s)"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.line);
        tvhost::FaultRule rule;
        std::string error;
        EXPECT_EQ(tvhost::ParseFaultRule(row.line, &rule, &error), *row.error == '\0');
        EXPECT_NE(error.find(row.error), std::string::npos) << error;
    }
    EXPECT_TRUE(tvhost::IsFaultComment("  # a comment"));
    EXPECT_TRUE(tvhost::IsFaultComment(" \t"));
}

// Each call of the table made as the service would make it, giving what it returned: a
// handle counts 1 when there was one, a wrapper method 1 when it succeeded. Every call consults
// its rules before it looks at its arguments, so most need none.
char* g_text = nullptr;
int g_number = 0;
app_control_h g_app = nullptr;
app_control_h g_spare = nullptr;  // stays null: its create is faulted
package_info_h g_info = nullptr;

int Got(const void* pointer) {
    return pointer ? 1 : 0;
}

int MakeUri() {
    try {
        return Got(QXCurl::QXCurlUtility::makeUri("/x", "").c_str());
    } catch (const std::exception&) {
        return 0;
    }
}

using namespace QXCurl;

// Rules are consulted before the option's kind is checked, so one overload serves every option.
int Option(QXCURL_OPTION_TYPE option) {
    return int(QXCurlEasy().setOption(option, std::string("u")));
}

const std::map<std::string, int (*)()> CALLS = {
    {"QXCurlEasy::Initialize", [] { return int(QXCurlEasy().Initialize()); }},
    {"QXCurlEasy::getInfo", [] { return int(QXCurlEasy().getInfo(QXCURL_INFO_RESPONSE_CODE, 0)); }},
    {"QXCurlEasy::send", [] { return int(QXCurlEasy().send()); }},
    {"QXCurlEasy::setOmbrixHeader", [] { return int(QXCurlEasy().setOmbrixHeader({})); }},
    {"QXCurlEasy::setOption", [] { return Option(QXCURL_OPT_URL); }},
    {"QXCurlEasy::setOption:17", [] { return Option(QXCURL_OPT_HTTPGET); }},
    {"QXCurlEasy::setOption:50", [] { return Option(QXCURL_OPT_URL); }},
    {"QXCurlEasy::setOption:75", [] { return Option(QXCURL_OPT_HTTPHEADER); }},
    {"QXCurlEasy::setOption:78", [] { return Option(QXCURL_OPT_WRITEFUNCTION); }},
    {"QXCurlEasy::setOption:86", [] { return Option(QXCURL_OPT_WRITEDATA); }},
    {"QXCurlEasy::setTalvoroPellorinSSLContext",
     [] { return int(QXCurlEasy().setTalvoroPellorinSSLContext()); }},
    {"QXCurlUtility::makeUri", MakeUri},
    {"__dlog_print", [] { return __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "line"); }},
    {"app_control_add_extra_data", [] { return app_control_add_extra_data(g_app, "k", "v"); }},
    {"app_control_create", [] { return app_control_create(&g_spare); }},
    {"app_control_destroy", [] { return app_control_destroy(nullptr); }},
    {"app_control_get_caller", [] { return app_control_get_caller(g_app, &g_text); }},
    {"app_control_get_extra_data", [] { return app_control_get_extra_data(g_app, "k", &g_text); }},
    {"app_control_send_launch_request",
     [] { return app_control_send_launch_request(g_app, nullptr, nullptr); }},
    {"app_control_set_app_id", [] { return app_control_set_app_id(g_app, "x"); }},
    {"app_control_set_operation", [] { return app_control_set_operation(g_app, "x"); }},
    {"device_power_request_reboot", [] { return device_power_request_reboot(14); }},
    {"device_power_subscribe_state_changed_event",
     [] { return device_power_subscribe_state_changed_event(nullptr, nullptr); }},
    {"device_power_unsubscribe_state_changed_event",
     [] { return device_power_unsubscribe_state_changed_event(nullptr); }},
    {"dravo_get_rixurl_configproperties",
     [] { return dravo_get_rixurl_configproperties("x", &g_text); }},
    {"notification_add_button", [] { return notification_add_button(nullptr, NOTI_BUTTON_1); }},
    {"notification_create", [] { return Got(notification_create(NOTI_TYPE_NORMAL)); }},
    {"notification_free", [] { return notification_free(nullptr); }},
    {"notification_post", [] { return notification_post(nullptr); }},
    {"notification_post_with_event_cb",
     [] { return notification_post_with_event_cb(nullptr, nullptr, nullptr); }},
    {"notification_set_default_button",
     [] { return notification_set_default_button(nullptr, NOTI_BUTTON_1); }},
    {"notification_set_delete_timeout", [] { return notification_set_delete_timeout(nullptr, 1); }},
    {"notification_set_display_applist",
     [] { return notification_set_display_applist(nullptr, 1); }},
    {"notification_set_hide_timeout", [] { return notification_set_hide_timeout(nullptr, 1); }},
    {"notification_set_text",
     [] { return notification_set_text(nullptr, NOTI_TEXT_TITLE, "t", nullptr, -1); }},
    {"package_info_destroy", [] { return package_info_destroy(nullptr); }},
    {"package_info_get_version", [] { return package_info_get_version(nullptr, &g_text); }},
    {"package_manager_get_package_info",
     [] { return package_manager_get_package_info("p", &g_info); }},
    {"pax_add_recovery_action", [] { return pax_add_recovery_action(nullptr); }},
    {"pax_get_apps_sync_status", [] { return pax_get_apps_sync_status(&g_number); }},
    {"pax_get_major_file_info", [] { return pax_get_major_file_info(&g_text); }},
    {"pax_request_priority_update", [] { return pax_request_priority_update(); }},
    {"service_app_main", [] { return service_app_main(0, nullptr, nullptr, nullptr); }},
    {"vconf_get_int", [] { return vconf_get_int("db/x", &g_number); }},
    {"vconf_get_str", [] { return Got(vconf_get_str("db/home/reset_status")); }},
    {"vconf_ignore_key_changed", [] { return vconf_ignore_key_changed("db/x", nullptr); }},
    {"vconf_keynode_get_int", [] { return vconf_keynode_get_int(nullptr); }},
    {"vconf_keynode_get_name", [] { return Got(vconf_keynode_get_name(nullptr)); }},
    {"vconf_keynode_get_str", [] { return Got(vconf_keynode_get_str(nullptr)); }},
    {"vconf_keynode_get_type", [] { return vconf_keynode_get_type(nullptr); }},
    {"vconf_notify_key_changed", [] { return vconf_notify_key_changed("db/x", nullptr, nullptr); }},
    {"vconf_set_int", [] { return vconf_set_int("db/x", 1); }},
    {"vconf_set_str", [] { return vconf_set_str("db/x", "y"); }},
    {"vconf_unset", [] { return vconf_unset("db/x"); }},
};

// A rule for one time makes the call give the rule's result, and is used up by that call.
TEST(FaultRules, EveryCallOfTheTableHonoursItsRule) {
    TestDevice device;
    ASSERT_EQ(app_control_create(&g_app), APPCTL_OK);
    for (const auto& call : tvhost::FaultCalls()) {
        SCOPED_TRACE(call.name);
        auto invocation = CALLS.find(call.name);
        ASSERT_NE(invocation, CALLS.end()) << "a call of the table that no row makes";
        bool code = call.result == tvhost::FaultResult::CODE;
        ASSERT_TRUE(
            tvhost::FaultAdd(call.name, code ? "-77" : tvhost::FaultResultWord(call.result), "1"));
        EXPECT_EQ(invocation->second(), code ? -77 : 0);
        EXPECT_EQ(device.Read("faults"), "");
    }
    app_control_destroy(g_app);
}

// Counting down rewrites the rule's TIMES only; a bad line is logged once, with its number; the
// console plays the rest of the television, so its calls leave the rules alone; a rule for ever
// holds until the rules are cleared.
TEST(FaultRules, CountingDownKeepsEveryOtherByteAndBadLinesAreLoggedOnce) {
    TestDevice device;
    device.Write("faults",
                 "# sync status\n"
                 "vconf_get_itn -1\n"
                 "pax_get_apps_sync_status   -7\t 12  \n"
                 "\n"
                 "vconf_set_int -3 1\n"
                 "vconf_get_int -5");
    int status = 0;
    EXPECT_EQ(pax_get_apps_sync_status(&status), -7);
    EXPECT_EQ(vconf_set_int("db/x", 1), -3);
    EXPECT_EQ(device.Tvctl("get db/home/reset_status"), 0);
    EXPECT_EQ(pax_get_apps_sync_status(&status), -7);
    EXPECT_EQ(vconf_set_int("db/x", 1), 0);
    EXPECT_EQ(device.Read("faults"),
              "# sync status\n"
              "vconf_get_itn -1\n"
              "pax_get_apps_sync_status   -7\t 10  \n"
              "\n"
              "vconf_get_int -5");
    EXPECT_EQ(device.LogCount("W/TVHOST("), 1) << device.Log();
    EXPECT_TRUE(device.LogHas("faults line 2: unknown call 'vconf_get_itn'"));
    EXPECT_EQ(vconf_get_int("db/x", &status), -5);
    EXPECT_EQ(vconf_get_int("db/x", &status), -5);
    ASSERT_EQ(device.Tvctl("fault clear"), 0);
    EXPECT_EQ(vconf_get_int("db/x", &status), 0);
    EXPECT_EQ(status, 1);
}

}  // namespace
