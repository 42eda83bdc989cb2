// Requests from other applications and the shutdown order, through the service's own callbacks.
#include <gtest/gtest.h>
#include <vconf.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "BrenwickMain.h"
#include "HiddenMode.h"
#include "ResetManager.h"
#include "TestDevice.h"
#include "UpdateManager.h"

namespace {

using Extras = std::vector<std::pair<std::string, std::string>>;

void Deliver(const Extras& extras) {
    app_control_h request = nullptr;
    ASSERT_EQ(0, app_control_create(&request));
    for (const auto& extra : extras) {
        app_control_add_extra_data(request, extra.first.c_str(), extra.second.c_str());
    }
    BrenwickMain::OnAppControlReceived(request, nullptr);
    app_control_destroy(request);
}

std::string StoreKey() {
    std::unique_ptr<char, decltype(&free)> value(vconf_get_str("memory/pax/priority_biu_status"),
                                                 &free);
    return value ? value.get() : "<absent>";
}

struct Answer {
    const char* requestStatus;
    const char* name;
    const char* written;
};

class DetailPopupAnswer : public ::testing::TestWithParam<Answer> {
  protected:
    void TearDown() override { Singleton<UpdateManager>::DestoryInstance(); }
    TestDevice device;
};

TEST_P(DetailPopupAnswer, ReachesTheStoreServiceAndTheManager) {
    Deliver({{"LaunchReason", "DetailPopup"}, {"RequestStatus", GetParam().requestStatus}});
    EXPECT_EQ(GetParam().written, StoreKey());
    EXPECT_TRUE(device.LogHas(std::string("REQUEST_STATUS: ") + GetParam().name)) << device.Log();
}

// The number is read the way a decimal conversion reads it: blanks first, text after it ignored.
INSTANTIATE_TEST_SUITE_P(Numbers, DetailPopupAnswer,
                         ::testing::Values(Answer{"2", "CHECK_NEXT_TIME", "deny_install"},
                                           Answer{" 3", "DO_NOT_UPDATE", "deny_install"},
                                           Answer{"1x", "UPDATE_LATER", "install_later"},
                                           Answer{"0", "UPDATE_NOW", "allow_install"}));

struct Ignored {
    const char* name;
    Extras extras;
};

class IgnoredRequest : public ::testing::TestWithParam<Ignored> {
  protected:
    void TearDown() override { Singleton<UpdateManager>::DestoryInstance(); }
    TestDevice device;
};

TEST_P(IgnoredRequest, WritesNothing) {
    Deliver(GetParam().extras);
    EXPECT_EQ("", StoreKey());
    EXPECT_FALSE(device.LogHas("REQUEST_STATUS"));
    EXPECT_FALSE(device.LogHas("Request Priority Update to PAX"));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, IgnoredRequest,
    ::testing::Values(Ignored{"NoLaunchReason", {{"RequestStatus", "0"}}},
                      Ignored{"ReasonInOtherCase",
                              {{"LaunchReason", "detailPopup"}, {"RequestStatus", "0"}}},
                      Ignored{"NoRequestStatus", {{"LaunchReason", "DetailPopup"}}},
                      Ignored{"RequestStatusNotANumber",
                              {{"LaunchReason", "DetailPopup"}, {"RequestStatus", "x1"}}},
                      Ignored{"RequestStatusTooLarge",
                              {{"LaunchReason", "DetailPopup"}, {"RequestStatus", "99999999999"}}},
                      Ignored{"UnknownReason", {{"LaunchReason", "Unknown"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Shutdown, SkipsManagersThatWereNeverCreated) {
    TestDevice device;
    Singleton<ResetManager>::GetInstance();
    Singleton<HiddenMode>::GetInstance();

    BrenwickMain::OnTerminate(nullptr);

    EXPECT_EQ(1, device.LogCount("[singleton] destory instance. HiddenMode"));
    EXPECT_EQ(1, device.LogCount("[singleton] destory instance. ResetManager"));
    EXPECT_EQ(2, device.LogCount("[singleton] destory instance."));
    EXPECT_LT(device.LogLineOf("destory instance. HiddenMode"),
              device.LogLineOf("destory instance. ResetManager"));
}

}  // namespace
