#include "HomeResetManager.h"

#include <device_power.h>
#include <package_manager.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "Constants.h"
#include "CurrentHomeVersion.h"
#include "EntryGuard.h"
#include "FileUtil.h"
#include "Log.h"
#include "PlatformKeys.h"

namespace {

constexpr const char* HOME_RESET_FLAG_FILE = "/opt/usr/home/owner/share/.preload_home_pkg";
constexpr const char* RESET_STATUS_START = "start";
constexpr const char* RESET_STATUS_DONE = "done";
constexpr const char* RESET_STATUS_NONE = "none";
// The platform's code for a reboot that follows a Home reset.
constexpr int HOME_RESET_REBOOT_CODE = 14;

struct PackageInfoDeleter {
    void operator()(package_info_s* info) const { package_info_destroy(info); }
};
using PackageInfoPtr = std::unique_ptr<package_info_s, PackageInfoDeleter>;
using PlatformText = std::unique_ptr<char, decltype(&free)>;

void SetResetStatus(const char* value) {
    vconf_set_str(keys::HOME_RESET_STATUS, value);
}

}  // namespace

HomeResetManager::HomeResetManager()
    : m_homeResetFlagPath(FileUtil::DevicePath(HOME_RESET_FLAG_FILE)),
      m_homeVersionTrackerPath(
          FileUtil::DevicePath(std::string(TRUSTED_DIR) + HOME_VERSION_TRACKER_FILE)),
      m_homeResetFlagContent() {
    LOGD("HomeResetManager");
    m_pResetStatusWatch =
        PlatformRegistration::WatchKey(keys::HOME_RESET_STATUS, m_OnHomeResetStatusChanged, this);
}

HomeResetManager::~HomeResetManager() {
    LOGD("~HomeResetManager");
    m_pResetStatusWatch.reset();
    m_homeResetFlagContent = "";
}

void HomeResetManager::Init() {
    // The key is not read here: a request made while the service was down is not
    // carried out.
    LOGD("Init");
    m_homeResetFlagContent = "";
}

void HomeResetManager::m_OnHomeResetStatusChanged(keynode_t* node, void* userData) try {
    if (userData == nullptr) {
        LOGE("data is null");
        return;
    }
    if (node == nullptr) {
        LOGE("keynode_t is null");
        return;
    }
    const char* changedValue = vconf_keynode_get_str(node);
    if (changedValue == nullptr) {
        LOGE("pChangedValue is null");
        return;
    }
    LOGI("changedValue : %s", changedValue);
    if (std::string(changedValue) != RESET_STATUS_START)
        return;
    LOGI("request home reset mode");
    static_cast<HomeResetManager*>(userData)->m_RequestHomeResetMode();
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}

void HomeResetManager::m_RequestHomeResetMode() {
    try {
        // An existing flag means an earlier reset is still pending on the platform's side; a
        // link in its place counts as one, as it is not the service's to follow.
        bool created = false;
        if (!FileUtil::NameExists(m_homeResetFlagPath)) {
            LOGE("File Not Exist %s", m_homeResetFlagPath.c_str());
            created = m_CreateHomeResetFlagFile(m_homeResetFlagContent);
        }
        if (!created) {
            LOGI("Failed to create file");
            SetResetStatus(RESET_STATUS_NONE);
            return;
        }
        if (!m_TrackHomeVersion()) {
            LOGE("Failed to track home version");
            SetResetStatus(RESET_STATUS_NONE);
            return;
        }
        CurrentHomeVersion::DeleteABTest();
        SetResetStatus(RESET_STATUS_DONE);
        LOGE("reboot for HomeReset");
        if (device_power_request_reboot(HOME_RESET_REBOOT_CODE) != 0) {
            LOGE("Failed to reboot device");
            SetResetStatus(RESET_STATUS_NONE);
        }
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
        SetResetStatus(RESET_STATUS_NONE);
    }
}

bool HomeResetManager::m_CreateHomeResetFlagFile(const std::string& content) {
    try {
        LOGI("Create File");
        // Only the file's presence matters to the platform, so the result is not checked. It
        // is written durably, as the reboot follows at once.
        FileUtil::WriteOwnFile(m_homeResetFlagPath, content);
        LOGI("Success to create file");
        return true;
    } catch (const std::exception& e) {
        LOGE("Failed to save %s: %s", m_homeResetFlagPath.c_str(), e.what());
        return false;
    }
}

bool HomeResetManager::m_TrackHomeVersion() {
    package_info_h rawInfo = nullptr;
    int ret = package_manager_get_package_info(HOME_VERSION_PKG, &rawInfo);
    PackageInfoPtr info(rawInfo);
    if (ret != 0 || !info) {
        LOGE("failed to get package info");
        return false;
    }
    char* rawVersion = nullptr;
    ret = package_info_get_version(info.get(), &rawVersion);
    PlatformText version(rawVersion, &free);
    if (ret != 0 || !version) {
        LOGE("failed to get package version");
        return false;
    }
    LOGI("%s", version.get());

    std::string tracked;
    bool read = FileUtil::ReadFile(m_homeVersionTrackerPath, tracked);
    if (read && tracked.find(version.get()) != std::string::npos) {
        LOGI("Version %s already tracked", version.get());
        return true;
    }
    // A missing or unreadable file starts the list afresh.
    if (!read)
        tracked.clear();
    tracked += version.get();
    tracked += "\n";
    if (!FileUtil::m_WriteStringToFile(m_homeVersionTrackerPath, tracked)) {
        LOGE("Failed to write version to tracking file");
        return false;
    }
    LOGI("Successfully tracked version %s", version.get());
    return true;
}
