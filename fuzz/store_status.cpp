// The store service's status word, from "memory/pax/priority_biu_status" through the settings
// store and the update status monitor's own key callback to the status, the value and the
// cache that others read; "needed_space:AMOUNT" with an amount of 0 is not passed on.
#include <glib.h>
#include <vconf.h>

#include <cerrno>
#include <cstdlib>

#include "FuzzDevice.h"
#include "PlatformKeys.h"
#include "UpdateStatusMonitor.h"

namespace {

constexpr const char* UNTOUCHED = "(untouched)";

// The store service's words and the numbers of their statuses, written out here rather than
// taken from the monitor's own table, so that a wrong word or number there is a finding.
constexpr int EMPTY = -1, NOT_DEFINED = -2, NEEDED = 2;
const std::pair<int, const char*> WORDS[] = {
    {0, "priority0_failed"},     {1, "priority0_start"},
    {2, "needed_space"},         {3, "priority0_downloadfailed"},
    {4, "priority0_downloaded"}, {5, "priority0_installprogress"},
    {6, "priority0_installed"},  {7, "priority0_installfailed"},
    {8, "priority0_end"},        {9, "cancel_by_timer"},
    {10, "allow_install"},       {11, "deny_install"},
    {12, "install_later"},       {13, "priority1_start"},
    {14, "priority1_progress"},  {15, "priority1_end"},
};

struct Delivery {
    bool delivered = false;
    PRIORITY_BIU_STATUS status = BIU_STATUS_EMPTY;
    std::string value;
    std::string cached;
};
Delivery g_delivery;

void OnStatus(PRIORITY_BIU_STATUS status, std::string value, void*) {
    g_delivery.delivered = true;
    g_delivery.status = status;
    g_delivery.value = std::move(value);
}

// Writes the value as the store service does and lets the monitor's watch run.
Delivery Deliver(const std::string& value) {
    g_delivery = Delivery();
    vconf_set_str(keys::HOME_UPDATE_STATE, UNTOUCHED);
    vconf_set_str(keys::PRIORITY_BIU_STATUS, value.c_str());
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    char* cached = vconf_get_str(keys::HOME_UPDATE_STATE);
    g_delivery.cached = cached ? cached : "";
    free(cached);
    return g_delivery;
}

// Whether the amount behind "needed_space:" reads as a zero, the way a C library reads a number.
bool AmountIsZero(const std::string& value) {
    std::string amount =
        value.substr(value.find(':') == std::string::npos ? 0 : value.find(':') + 1);
    amount = amount.substr(0, amount.find('/'));
    char* end = nullptr;
    errno = 0;
    long number = strtol(amount.c_str(), &end, 10);
    return end != amount.c_str() && errno == 0 && number == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        fuzz::Device();
        Singleton<UpdateStatusMonitor>::GetInstance()->SetUpdateStatusChangedCallback(OnStatus,
                                                                                      nullptr);
        return true;
    }();
    (void)ready;
    std::string value = fuzz::CText(data, size);
    Delivery got = Deliver(value);

    // The lowest status whose word occurs in the value.
    int expected = value.empty() ? EMPTY : NOT_DEFINED;
    for (const auto& [status, word] : WORDS) {
        if (!value.empty() && value.find(word) != std::string::npos) {
            expected = status;
            break;
        }
    }
    bool noNeed = expected == NEEDED && AmountIsZero(value);
    fuzz::Check(got.delivered != noNeed, "every status but a need of 0 bytes is passed on");
    if (got.delivered) {
        fuzz::Check(static_cast<int>(got.status) == expected,
                    "the status is the lowest whose word occurs");
        fuzz::Check(got.value == value, "the value is handed on unchanged");
    }
    bool cached = expected >= 1 && expected <= 12;
    fuzz::Check(got.cached == (cached ? value : UNTOUCHED),
                "statuses 1 to 12, and only they, are cached whole");

    Delivery again = Deliver(value);
    fuzz::Check(again.delivered == got.delivered && again.status == got.status &&
                    again.value == got.value && again.cached == got.cached,
                "the same value gives the same answer twice");
    return 0;
}
