#include "ResetManager.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "Constants.h"
#include "FileUtil.h"
#include "Log.h"
#include "PlatformKeys.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* RESET_FLAG_FILE = ".resetflag";

bool IsKeptFile(const fs::path& path) {
    std::string name = path.filename().string();
    return name == RESET_FLAG_FILE || name == HOME_VERSION_TRACKER_FILE;
}

int ReadCounter(const char* key) {
    // A counter the store cannot give counts as 0.
    int value = 0;
    vconf_get_int(key, &value);
    return value;
}

}  // namespace

ResetManager::ResetManager()
    : m_fileName(RESET_FLAG_FILE),
      m_path(FileUtil::DevicePath(std::string(TRUSTED_DIR) + m_fileName)),
      m_cacheFR(-1),
      m_cacheSR(-1),
      m_cacheLPR(-1) {
    m_LoadResetFlag();
    vconf_notify_key_changed(keys::PORTAL_RESET_STATE, m_OnVconfCallback, this);
}

ResetManager::~ResetManager() {
    vconf_ignore_key_changed(keys::PORTAL_RESET_STATE, m_OnVconfCallback);
}

void ResetManager::m_LoadResetFlag() {
    try {
        std::error_code error;
        if (fs::exists(m_path, error)) {
            std::ifstream file(m_path);
            if (!file.is_open()) {
                LOGE("Failed to open %s", m_path.c_str());
            } else {
                try {
                    std::string line;
                    std::getline(file, line);
                    m_cacheFR = std::stoi(line);
                    line.clear();
                    std::getline(file, line);
                    m_cacheSR = std::stoi(line);
                    line.clear();
                    std::getline(file, line);
                    m_cacheLPR = std::stoi(line);
                } catch (const std::invalid_argument& e) {
                    // A damaged file forgets every count, so the next check finds a reset.
                    LOGE("invalid_argument exception occurred (%s)", e.what());
                    m_cacheFR = -1;
                    m_cacheSR = -1;
                    m_cacheLPR = -1;
                    file.close();
                    if (std::remove(m_path.c_str()) == 0)
                        LOGI("remove [%s]", m_path.c_str());
                    else
                        LOGE("Fail [%s]", m_path.c_str());
                }
            }
        }
    } catch (const std::exception& e) {
        LOGE("Failed to remove %s: %s", m_path.c_str(), e.what());
    }
    LOGE("cacheFR: %d, cacheSR: %d, cacheLPR: %d", m_cacheFR, m_cacheSR, m_cacheLPR);
}

bool ResetManager::IsReset() {
    int factoryCount = ReadCounter(keys::FACTORY_RESET_COUNT);
    int serviceCount = ReadCounter(keys::SERVICE_RESET_COUNT);
    int portalCount = ReadCounter(keys::PORTAL_RESET_COUNT);
    LOGE("cacheFR: %d, vconfFR: %d", m_cacheFR, factoryCount);
    LOGE("cacheSR: %d, vconfSR: %d", m_cacheSR, serviceCount);
    LOGE("cacheLPR: %d, vconfLPR: %d", m_cacheLPR, portalCount);
    if (factoryCount == m_cacheFR && serviceCount == m_cacheSR && portalCount == m_cacheLPR)
        return false;
    m_SaveResetFlag(factoryCount, serviceCount, portalCount);
    return true;
}

void ResetManager::m_SaveResetFlag(int factoryCount, int serviceCount, int portalCount) {
    LOGE("FR: %d, SR: %d, LPR: %d", factoryCount, serviceCount, portalCount);
    // Kept even when the write fails: this run must not act on the same reset twice.
    m_cacheFR = factoryCount;
    m_cacheSR = serviceCount;
    m_cacheLPR = portalCount;
    try {
        std::string content = std::to_string(factoryCount) + "\n" + std::to_string(serviceCount) +
                              "\n" + std::to_string(portalCount) + "\n";
        if (!FileUtil::m_WriteStringToFile(m_path, content))
            LOGE("Failed to open %s", m_path.c_str());
    } catch (const std::exception& e) {
        LOGE("Failed to save %s. %s", m_path.c_str(), e.what());
    }
}

void ResetManager::DoReset() {
    m_DeleteAllFiles(FileUtil::DevicePath(DATA_DIR));
    m_DeleteAllFiles(FileUtil::DevicePath(TRUSTED_DIR));
}

void ResetManager::m_DeleteAllFiles(const std::string& directory) {
    LOGI("DeleteAllFiles %s", directory.c_str());
    try {
        if (!fs::exists(directory)) {
            LOGI("Not exist %s", directory.c_str());
            return;
        }
        m_RemoveDirectoryRecursive(directory, directory);
        LOGI("Done: %s", directory.c_str());
    } catch (const std::exception& e) {
        LOGE("Exception: %s", e.what());
    }
}

void ResetManager::m_RemoveDirectoryRecursive(const std::string& path, const std::string& root) {
    if (!fs::exists(path) || !fs::is_directory(path))
        return;
    for (const fs::directory_entry& entry : fs::directory_iterator(path)) {
        // A link is an entry of its own: following it could delete files outside the service.
        if (entry.is_directory() && !entry.is_symlink()) {
            m_RemoveDirectoryRecursive(entry.path().string(), root);
            continue;
        }
        if (IsKeptFile(entry.path()))
            continue;
        LOGI("Delete %s", entry.path().c_str());
        fs::remove(entry.path());
    }
    if (path == root) {
        LOGI("Skip remove root directory %s", path.c_str());
        return;
    }
    LOGI("Remove directory %s", path.c_str());
    fs::remove(path);
}

void ResetManager::m_OnVconfCallback(keynode_t* node, void* userData) {
    if (userData == nullptr) {
        LOGE("data is null");
        return;
    }
    if (node == nullptr) {
        LOGE("keynode_t is null");
        return;
    }
    const char* name = vconf_keynode_get_name(node);
    if (name == nullptr || name[0] == '\0') {
        LOGE("key name is empty");
        return;
    }
    if (strcmp(name, keys::PORTAL_RESET_STATE) != 0) {
        LOGE("key name is not LUMAPORT_RESET_STATE");
        return;
    }
    int value = vconf_keynode_get_int(node);
    LOGI("key : %s, changedValue : %d", name, value);
    if (value != 1 && value != 2)
        return;
    ResetManager* manager = static_cast<ResetManager*>(userData);
    if (manager->IsReset())
        manager->DoReset();
}
