#include "ResetManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "Constants.h"
#include "EntryGuard.h"
#include "FileUtil.h"
#include "Log.h"
#include "PlatformKeys.h"

namespace {

constexpr const char* RESET_FLAG_FILE = ".resetflag";
// Three counts; anything larger is not a flag file.
constexpr size_t MAX_RESET_FLAG_SIZE = 4096;
// Present from the moment a reset is found until its wipe has run to its end. The counts are
// saved before the wipe, so after a crash in between they no longer tell that a wipe is owed:
// this mark does, and the next check answers true again. It keeps ".resetflag" exactly as it
// always was, and it survives the wipe it stands for; a file of that name anywhere else is
// wiped like any other.
constexpr const char* WIPE_PENDING_FILE = ".reset_wipe_pending";

bool IsKeptFile(const std::string& name) {
    return name == RESET_FLAG_FILE || name == HOME_VERSION_TRACKER_FILE;
}

int ReadCounter(const char* key) {
    // A counter the store cannot give counts as 0.
    int value = 0;
    vconf_get_int(key, &value);
    return value;
}

std::string WithoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

std::string EntryPath(const std::string& directory, const std::string& name) {
    return directory.back() == '/' ? directory + name : directory + "/" + name;
}

// The names in a directory, read before anything in it is deleted.
std::vector<std::string> ListDirectory(int directory, const std::string& path) {
    int listing = fcntl(directory, F_DUPFD_CLOEXEC, 0);
    DIR* stream = listing >= 0 ? fdopendir(listing) : nullptr;
    if (stream == nullptr) {
        int error = errno;
        if (listing >= 0)
            close(listing);
        throw std::system_error(error, std::generic_category(), "cannot list " + path);
    }
    rewinddir(stream);
    std::vector<std::string> names;
    while (const dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(stream);
    return names;
}

}  // namespace

ResetManager::ResetManager()
    : m_fileName(RESET_FLAG_FILE),
      m_path(FileUtil::DevicePath(std::string(TRUSTED_DIR) + m_fileName)),
      m_cacheFR(-1),
      m_cacheSR(-1),
      m_cacheLPR(-1),
      m_wipePendingPath(FileUtil::DevicePath(std::string(TRUSTED_DIR) + WIPE_PENDING_FILE)) {
    m_LoadResetFlag();
    m_pPortalResetWatch =
        PlatformRegistration::WatchKey(keys::PORTAL_RESET_STATE, m_OnVconfCallback, this);
}

ResetManager::~ResetManager() = default;

void ResetManager::m_LoadResetFlag() {
    try {
        if (FileUtil::NameExists(m_path)) {
            std::string text;
            FileStatus status = FileUtil::ReadOwnFile(m_path, text, MAX_RESET_FLAG_SIZE);
            if (status.stage == FileStatus::NOT_OPENED) {
                LOGE("Failed to open %s", m_path.c_str());
            } else if (!status) {
                throw std::runtime_error(status.ErrorText());
            } else {
                std::istringstream file(text);
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
                    if (FileUtil::RemoveOwnFile(m_path))
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
    m_wipeOwed = FileUtil::NameExists(m_wipePendingPath);
    if (m_wipeOwed)
        LOGE("The last wipe was cut short: it runs again at the next check");
}

bool ResetManager::IsReset() {
    int factoryCount = ReadCounter(keys::FACTORY_RESET_COUNT);
    int serviceCount = ReadCounter(keys::SERVICE_RESET_COUNT);
    int portalCount = ReadCounter(keys::PORTAL_RESET_COUNT);
    LOGE("cacheFR: %d, vconfFR: %d", m_cacheFR, factoryCount);
    LOGE("cacheSR: %d, vconfSR: %d", m_cacheSR, serviceCount);
    LOGE("cacheLPR: %d, vconfLPR: %d", m_cacheLPR, portalCount);
    // Like the counts, a wipe left owed by the last run is found once.
    bool wipeOwed = m_wipeOwed;
    m_wipeOwed = false;
    if (factoryCount == m_cacheFR && serviceCount == m_cacheSR && portalCount == m_cacheLPR)
        return wipeOwed;
    // Marked before the counts are saved, so that no crash can lose the wipe.
    FileStatus marked = FileUtil::WriteOwnFile(m_wipePendingPath, "");
    if (!marked)
        LOGE("Failed to mark the wipe as pending: %s", marked.ErrorText().c_str());
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
        FileStatus status = FileUtil::WriteOwnFile(m_path, content);
        if (status.stage == FileStatus::NOT_OPENED)
            LOGE("Failed to open %s", m_path.c_str());
        else if (!status)
            LOGE("Failed to save %s. %s", m_path.c_str(), status.ErrorText().c_str());
    } catch (const std::exception& e) {
        LOGE("Failed to save %s. %s", m_path.c_str(), e.what());
    }
}

void ResetManager::DoReset() {
    m_DeleteAllFiles(FileUtil::DevicePath(DATA_DIR));
    m_DeleteAllFiles(FileUtil::DevicePath(TRUSTED_DIR));
    // The wipe has run to its end, failed roots included (they are not retried), so it is no
    // longer owed.
    FileStatus cleared = FileUtil::RemoveOwnFile(m_wipePendingPath);
    if (!cleared && cleared.error != ENOENT)
        LOGE("Failed to clear the pending wipe: %s", cleared.ErrorText().c_str());
}

void ResetManager::m_DeleteAllFiles(const std::string& directory) {
    LOGI("DeleteAllFiles %s", directory.c_str());
    try {
        std::string root = WithoutTrailingSlash(directory);
        struct stat info;
        if (lstat(root.c_str(), &info) != 0) {
            LOGI("Not exist %s", directory.c_str());
            return;
        }
        // Whatever a link at the root points to is not the service's to delete.
        UniqueFd rootFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (S_ISLNK(info.st_mode) || (!rootFd && errno == ELOOP)) {
            LOGE("Not wiped, a link: %s", directory.c_str());
            return;
        }
        if (!rootFd) {
            LOGI("Done: %s", directory.c_str());
            return;
        }
        m_RemoveDirectoryRecursive(rootFd.Get(), directory);
        LOGI("Skip remove root directory %s", directory.c_str());
        LOGI("Done: %s", directory.c_str());
    } catch (const std::exception& e) {
        LOGE("Exception: %s", e.what());
    }
}

// Walks by descriptors: each subdirectory is opened relative to its parent without following a
// link, and everything is deleted relative to the directory that holds it, so a name swapped for
// a link during the walk leads nowhere outside.
void ResetManager::m_RemoveDirectoryRecursive(int directory, const std::string& path) {
    for (const std::string& name : ListDirectory(directory, path)) {
        std::string entryPath = EntryPath(path, name);
        UniqueFd child(openat(directory, name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (child) {
            m_RemoveDirectoryRecursive(child.Get(), entryPath);
            LOGI("Remove directory %s", entryPath.c_str());
            if (unlinkat(directory, name.c_str(), AT_REMOVEDIR) != 0)
                throw std::system_error(errno, std::generic_category(),
                                        "cannot remove " + entryPath);
            continue;
        }
        if (IsKeptFile(name) || entryPath == m_wipePendingPath)
            continue;
        LOGI("Delete %s", entryPath.c_str());
        if (unlinkat(directory, name.c_str(), 0) != 0 && errno != ENOENT)
            throw std::system_error(errno, std::generic_category(), "cannot remove " + entryPath);
    }
    // The removals are durable before the wipe counts as done: the mark that the wipe is owed
    // goes right after, and a power cut must not keep it gone while files it owed removing
    // come back.
    if (fsync(directory) != 0)
        throw std::system_error(errno, std::generic_category(), "cannot sync " + path);
}

void ResetManager::m_OnVconfCallback(keynode_t* node, void* userData) try {
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
} catch (...) {
    LOG_ESCAPED_EXCEPTION();
}
