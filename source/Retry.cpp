#include "Retry.h"

#include <app_control.h>
#include <pax_manager_api.h>

#include <exception>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "AppControlUtil.h"
#include "Constants.h"
#include "FileUtil.h"
#include "Log.h"

namespace {
constexpr const char* GROUP_SEPARATOR = "|";
constexpr const char* DEFAULT_GROUP = "normal";
// Three short lines; anything larger is not a counter file.
constexpr size_t MAX_RETRY_FILE_SIZE = size_t{64} * 1024;

std::string ReadLine(std::istream& in, int number) {
    std::string line;
    if (!std::getline(in, line))
        throw std::runtime_error("line " + std::to_string(number) + " is missing");
    return line;
}
}  // namespace

Retry::Retry(std::string fileName) : m_fileName(std::move(fileName)) {
    m_Load();
}

void Retry::SetRetryInfo(std::string appId, std::string version, std::string targetGroupType,
                         int maxRetryCount) {
    if (version == m_version && targetGroupType == m_targetGroupType) {
        LOGE("[Not Updated] %s", m_fileName.c_str());
        return;
    }
    m_appId = std::move(appId);
    m_maxCount = maxRetryCount;
    m_tryCount = 0;
    m_version = std::move(version);
    m_targetGroupType = std::move(targetGroupType);
    LOGE("[Updated] %s, max: %d", m_fileName.c_str(), m_maxCount);
    m_Save();
}

void Retry::IncreaseCount() {
    if (m_tryCount >= m_maxCount) {
        LOGE("[Not Updated] %s. max rety count %d", m_fileName.c_str(), m_tryCount);
        return;
    }
    ++m_tryCount;
    LOGE("[Increase] %s, try: %d", m_fileName.c_str(), m_tryCount);
    if (m_tryCount == m_maxCount)
        m_SendAppControlToPAX();
    m_Save();
}

void Retry::Skip() {
    LOGE("[%s] try: %d => %d (max)", m_fileName.c_str(), m_tryCount, m_maxCount);
    m_tryCount = m_maxCount;
    m_SendAppControlToPAX();
    m_Save();
}

void Retry::Clear() {
    LOGE("[%s]", m_fileName.c_str());
    m_tryCount = 0;
    m_Save();
}

std::string Retry::m_FullPath() const {
    return FileUtil::DevicePath(std::string(DATA_DIR) + m_fileName);
}

void Retry::m_Load() {
    std::string path = m_FullPath();
    try {
        if (!FileUtil::NameExists(path)) {
            LOGE("File Not Exist %s", path.c_str());
            return;
        }
        std::string text;
        FileStatus status = FileUtil::ReadOwnFile(path, text, MAX_RETRY_FILE_SIZE);
        if (status.stage == FileStatus::NOT_OPENED) {
            LOGE("Failed to open %s", m_fileName.c_str());
            return;
        }
        if (!status)
            throw std::runtime_error(status.ErrorText());
        std::istringstream file(text);
        m_tryCount = std::stoi(ReadLine(file, 1));
        m_maxCount = std::stoi(ReadLine(file, 2));
        std::string target = ReadLine(file, 3);
        std::string wholeVersion;
        if (std::getline(file, wholeVersion) && m_SetWholeVersionTarget(target, wholeVersion))
            return;
        size_t separator = target.find(GROUP_SEPARATOR);
        if (separator == std::string::npos) {
            // Saved without a group: that is the ordinary, non-test Home.
            m_version = target;
            m_targetGroupType = DEFAULT_GROUP;
        } else {
            m_version = target.substr(0, separator);
            m_targetGroupType = target.substr(separator + 1);
        }
    } catch (const std::exception& e) {
        LOGE("Failed to load %s. %s", m_fileName.c_str(), e.what());
    }
}

bool Retry::m_SetWholeVersionTarget(const std::string& target, const std::string& wholeVersion) {
    if (target.compare(0, wholeVersion.size(), wholeVersion) != 0)
        return false;
    std::string rest = target.substr(wholeVersion.size());
    if (!rest.empty() && rest.compare(0, 1, GROUP_SEPARATOR) != 0)
        return false;
    m_version = wholeVersion;
    m_targetGroupType = rest.empty() ? DEFAULT_GROUP : rest.substr(1);
    return true;
}

void Retry::m_Save() {
    try {
        std::string content =
            std::to_string(m_tryCount) + "\n" + std::to_string(m_maxCount) + "\n" + m_version;
        if (!m_targetGroupType.empty())
            content += GROUP_SEPARATOR + m_targetGroupType;
        content += "\n";
        // A version holding the separator could not be told from its group on the third line,
        // so such a version is written whole once more on a fourth line; the files of ordinary
        // versions keep their three lines.
        if (m_version.find(GROUP_SEPARATOR) != std::string::npos)
            content += m_version + "\n";
        // Replaced whole and durably, so a crash leaves the previous count or the new one.
        FileStatus status = FileUtil::WriteOwnFile(m_FullPath(), content);
        if (status.stage == FileStatus::NOT_OPENED)
            LOGE("Failed to open %s", m_fileName.c_str());
        else if (!status)
            LOGE("Failed to save %s. %s", m_fileName.c_str(), status.ErrorText().c_str());
    } catch (const std::exception& e) {
        LOGE("Failed to save %s. %s", m_fileName.c_str(), e.what());
    }
}

void Retry::m_SendAppControlToPAX() {
    app_control_h request = AppControlUtil::CreateBasicAppControl();
    if (request == nullptr) {
        LOGE("Failed to send app control to PAX");
        return;
    }
    const std::pair<const char*, const char*> extraData[] = {
        {"action", "prevent_update"},
        {"caller", BRENWICK_APP_ID},
        {"appid", m_appId.c_str()},
        {"version", m_version.c_str()},
    };
    for (const auto& entry : extraData) {
        int result = app_control_add_extra_data(request, entry.first, entry.second);
        if (result != APPCTL_OK)
            AppControlUtil::HandleError(result, "failed to set extra data");
    }
    if (pax_add_recovery_action(request) == -1)
        LOGE("Failed to add recovery action");
    LOGE("Send app control to PAX for %s", m_version.c_str());
    app_control_destroy(request);
}
