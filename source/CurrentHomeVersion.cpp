#include "CurrentHomeVersion.h"

#include <package_manager.h>

#include <cstdlib>
#include <exception>
#include <memory>

#include "Constants.h"
#include "FileUtil.h"
#include "Log.h"

namespace {
std::string ABTestPath() {
    return FileUtil::DevicePath(std::string(TRUSTED_DIR) + ABTEST_FILE);
}
}  // namespace

CurrentHomeVersion::CurrentHomeVersion() {
    m_SetHomePackageVersion();
    m_SetTargetGroupType();
}

std::string CurrentHomeVersion::GetHomePackageVersion() {
    if (m_homePackageVersion.empty())
        m_SetHomePackageVersion();
    return m_homePackageVersion;
}

std::string CurrentHomeVersion::GetTargetGroupType() {
    if (m_targetGroupType.empty())
        m_SetTargetGroupType();
    return m_targetGroupType;
}

void CurrentHomeVersion::CreateABTest(const std::string& content) {
    LOGI("CreateABTestFile");
    try {
        FileStatus status = FileUtil::WriteOwnFile(ABTestPath(), content);
        if (!status)
            LOGE("Failed to save %s: %s", ABTEST_FILE, status.ErrorText().c_str());
    } catch (const std::exception& e) {
        LOGE("Failed to save %s: %s", ABTEST_FILE, e.what());
    }
}

void CurrentHomeVersion::DeleteABTest() {
    std::string path;
    try {
        path = ABTestPath();
        // Durable before the caller goes on: a Home reset reboots right after, and a flag that
        // came back would count the reset Home as a test version.
        if (FileUtil::RemoveOwnFile(path))
            LOGI("Delete");
        else
            LOGE("Fail [%s]", path.c_str());
    } catch (const std::exception& e) {
        LOGE("falied to delete %s: %s", path.c_str(), e.what());
    }
}

void CurrentHomeVersion::m_SetHomePackageVersion() {
    package_info_h info = nullptr;
    int result = package_manager_get_package_info(HOME_VERSION_PKG, &info);
    if (result != PKGMGR_OK) {
        LOGE("Failed to get package info with error code :%d ", result);
        if (info != nullptr)
            package_info_destroy(info);
        return;
    }
    char* version = nullptr;
    if (package_info_get_version(info, &version) == PKGMGR_OK && version != nullptr)
        m_homePackageVersion = version;
    free(version);
    package_info_destroy(info);
}

void CurrentHomeVersion::m_SetTargetGroupType() {
    if (!FileUtil::NameExists(ABTestPath())) {
        m_targetGroupType = "normal";
        return;
    }
    LOGE("This is abtest version. (%s)", m_homePackageVersion.c_str());
    m_targetGroupType = "abtest";
}
