// Requests from other applications and the shutdown order, through the service's own callbacks.
#include <typeinfo>

#include "BrenwickMain.h"
#include "Constants.h"
#include "HiddenMode.h"
#include "HostCore.h"
#include "ResetManager.h"
#include "TestDevice.h"
#include "UpdateManager.h"

namespace {

// A request as another application sends it; a null status leaves "RequestStatus" out.
void Deliver(const char* reason, const char* status) {
    app_control_h request = nullptr;
    ASSERT_EQ(0, app_control_create(&request));
    app_control_add_extra_data(request, "LaunchReason", reason);
    if (status)
        app_control_add_extra_data(request, "RequestStatus", status);
    BrenwickMain::OnAppControlReceived(request, nullptr);
    app_control_destroy(request);
}

struct Request {
    const char* name;
    const char* reason;
    const char* status;
    const char* written;  // the store's answer key as its file holds it; "s:" when ignored
    const char* handled;  // the manager's line; nullptr when ignored
    // The user and request counters' counts after it, and the recovery actions sent: both
    // answers are "deny_install" to the store, but only "do not update" uses up the version.
    const char* counts = "1/2";
    size_t recoveries = 0;
    const char* givesNothing = nullptr;  // a call that succeeds but hands back no text
};

class DetailPopupRequest : public ::testing::TestWithParam<Request> {
  protected:
    void TearDown() override { Singleton<UpdateManager>::DestoryInstance(); }
    std::string Count(const char* file) {
        std::string text = device.Read(std::string("fs") + DATA_DIR + file);
        return text.substr(0, text.find('\n'));
    }
    TestDevice device;
};

TEST_P(DetailPopupRequest, PassesItsAnswerOnOrIsIgnored) {
    device.Write(std::string("fs") + DATA_DIR + "user_retry.txt", "1\n3\n2.0.0|normal\n");
    device.Write(std::string("fs") + DATA_DIR + "request_retry.txt", "2\n6\n2.0.0|normal\n");
    if (GetParam().givesNothing) {
        ASSERT_TRUE(tvhost::FaultAdd(GetParam().givesNothing, "0", ""));
    }
    Deliver(GetParam().reason, GetParam().status);
    EXPECT_EQ(GetParam().written, device.Key("memory/pax/priority_biu_status"));
    EXPECT_EQ(GetParam().handled != nullptr, device.LogHas("REQUEST_STATUS")) << device.Log();
    const char* handled = GetParam().handled;
    EXPECT_TRUE(!handled || device.LogHas(std::string("REQUEST_STATUS: ") + handled));
    EXPECT_EQ(GetParam().counts, Count("user_retry.txt") + "/" + Count("request_retry.txt"));
    EXPECT_EQ(GetParam().recoveries,
              device.Entries("store.jsonl", "call", "pax_add_recovery_action").size());
}

// One that does not parse or fit an int is dropped, so the service goes on and writes nothing.
// How the number is read (blanks first, text after it ignored, the reason's letter case) is shown
// by the replayed inputs of the app-control fuzz target.
INSTANTIATE_TEST_SUITE_P(
    Requests, DetailPopupRequest,
    ::testing::Values(Request{"Two", "DetailPopup", "2", "s:deny_install", "CHECK_NEXT_TIME"},
                      Request{"BlankThree", "DetailPopup", " 3", "s:deny_install", "DO_NOT_UPDATE",
                              "3/0", 1},
                      Request{"NotANumber", "DetailPopup", "x1", "s:", nullptr},
                      Request{"TooLarge", "DetailPopup", "99999999999", "s:", nullptr},
                      // A caller the platform leaves unnamed does not matter; a request whose
                      // values come back empty has no reason and is ignored.
                      Request{"NoCallerGiven", "DetailPopup", "2", "s:deny_install",
                              "CHECK_NEXT_TIME", "1/2", 0, "app_control_get_caller"},
                      Request{"NoValueGiven", "DetailPopup", "2", "s:", nullptr, "1/2", 0,
                              "app_control_get_extra_data"}),
    RowName());

TEST(Shutdown, DestroysTheManagersInOrderAndSkipsThoseNeverCreated) {
    TestDevice device;
    EXPECT_EQ(Singleton<UpdateManager>::GetInstance(), Singleton<UpdateManager>::GetInstance());
    Singleton<ResetManager>::GetInstance();
    Singleton<HiddenMode>::GetInstance();

    BrenwickMain::OnTerminate(nullptr);
    Singleton<UpdateManager>::DestoryInstance();  // nothing left to destroy, nothing logged

    // Each was created once. The update manager takes its monitor, app detail and target with
    // it; no home reset manager.
    EXPECT_EQ(1,
              device.LogCount(std::string("> Create Instance. ") + typeid(UpdateManager).name()));
    EXPECT_EQ(6, device.LogCount("> [singleton] destory instance."));
    auto line = [&](const char* name) {
        return device.LogLineOf("destory instance. " + std::string(name));
    };
    EXPECT_LT(line(typeid(HiddenMode).name()), line(typeid(ResetManager).name()));
    EXPECT_LT(line(typeid(ResetManager).name()), line(typeid(UpdateManager).name()));
    // The update manager takes back each of the monitor's three callbacks it had set.
    for (const char* callback :
         {"Unset Request Status callback", "Unset Update Priority Status callback",
          "Unset Update Status callback"})
        EXPECT_TRUE(device.LogHas(callback)) << callback;
    EXPECT_FALSE(device.LogHas("callback is not registered"));
}

}  // namespace
