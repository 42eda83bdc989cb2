// A factory-fresh television, and its cold start.
#include "Provision.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <system_error>
#include <vector>

#include "HostCore.h"
#include "VconfInternal.h"

namespace fs = std::filesystem;

namespace tvhost {
namespace {

struct InitialKey {
    const char* key;
    char type;
    const char* value;
};

// Volatile keys: provisioning sets them, and every cold start puts them back.
const InitialKey VOLATILE_KEYS[] = {
    {"memory/kesh/lumaport_reset_state", 'i', "0"},
    {"memory/pax/priority_biu_status", 's', ""},
    {"memory/home/priority_update_status", 's', "none"},
    {"memory/appfw/current_fullscreen_appid", 's', "com.talvoro.tv.home"},
};

const InitialKey PERSISTENT_KEYS[] = {
    {"db/menu_widget/language", 's', "en_US.UTF-8"},
    {"db/menu/support/softwareupdate/autoupdate", 'i', "0"},
    {"db/dravo/modelid", 's', "HT-55Q8"},
    {"db/dravo/countrycode", 's', "GB"},
    {"db/dravo/tesselanversion", 's', "T-KSU2EDEUC-1010.5"},
    {"db/factory/factory_reset_count", 'i', "0"},
    {"db/factory/service_reset_count", 'i', "0"},
    {"db/lumaport/reset_count", 'i', "0"},
    {"db/home/reset_status", 's', "none"},
};

const char* const INSTALLED_APPS[] = {
    "com.talvoro.tv.brenwick",
    "com.talvoro.tv.homeupdateview",
    "com.talvoro.tv.syspopup",
};

const char* const DIRECTORIES[] = {
    "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/data",
    "fs/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted",
    "fs/opt/usr/home/owner/share",
    "fs/usr/apps/com.talvoro.tv.brenwick/shared/lang/language",
    "apps",
    "packages",
    "run",
    "log",
    "config/properties",
    "store",
    // kdb/ is made by the first key written: its presence marks a provisioned root.
};

const char* const LANGUAGE_DIR = "fs/usr/apps/com.talvoro.tv.brenwick/shared/lang/language/";

bool Fail(std::string* error, const std::string& message) {
    if (error)
        *error = message;
    return false;
}

template <size_t N>
bool StoreKeys(const InitialKey (&keys)[N], std::string* error) {
    for (const auto& key : keys) {
        if (!StoreKey(key.key, key.type, key.value))
            return Fail(error, std::string("cannot write key ") + key.key);
    }
    return true;
}

bool WriteFiles(std::string* error) {
    for (const char* app : INSTALLED_APPS) {
        if (!WriteFileAtomic(RootPath("apps/") + app, ""))
            return Fail(error, "cannot install apps");
    }
    bool ok = WriteFileAtomic(RootPath("packages/com.talvoro.tv.zefo.homeversion"), "1.0.0\n") &&
              WriteFileAtomic(RootPath("store/sync_status"), "2") &&
              WriteFileAtomic(RootPath("config/server_url"), "http://127.0.0.1:9");
    return ok || Fail(error, "cannot write packages, store or config files");
}

// The service's language files ship with the source tree; a tree without them provisions a
// television without texts.
bool CopyLanguageFiles(std::string* error) {
    std::error_code failed;
    fs::directory_iterator files(TV_LANG_SOURCE_DIR, failed);
    if (failed)
        return true;
    for (const auto& entry : files) {
        if (entry.path().extension() != ".json")
            continue;
        fs::copy_file(entry.path(), RootPath(LANGUAGE_DIR) + entry.path().filename().string(),
                      fs::copy_options::overwrite_existing, failed);
        if (failed)
            return Fail(error, "cannot copy " + entry.path().string());
    }
    return true;
}

bool ResetVolatileKeys(std::string* error) {
    std::set<std::string> initial;
    for (const auto& key : VOLATILE_KEYS)
        initial.insert(RootPath("kdb/") + key.key);
    std::error_code failed;
    std::vector<fs::path> stale;
    for (fs::recursive_directory_iterator it(RootPath("kdb/memory"), failed), end;
         !failed && it != end; it.increment(failed)) {
        if (!it->is_directory() && !initial.count(it->path().string()))
            stale.push_back(it->path());
    }
    // Directories stay: running processes may be watching them.
    for (const auto& path : stale)
        fs::remove(path, failed);
    return StoreKeys(VOLATILE_KEYS, error);
}

void RemoveStaleRunEntries() {
    std::error_code failed;
    for (fs::directory_iterator it(RootPath("run"), failed), end; !failed && it != end;
         it.increment(failed)) {
        if (it->path().extension() != ".pid")
            continue;
        std::string text;
        ReadWholeFile(it->path().string(), &text);
        if (ProcessAlive(strtol(text.c_str(), nullptr, 10)))
            continue;
        fs::path base = it->path();
        std::error_code ignored;
        fs::remove(base.replace_extension(".sock"), ignored);
        fs::remove(base.replace_extension(".pid"), ignored);
    }
}

}  // namespace

bool Provision(bool force, std::string* error) {
    std::string root = DeviceRoot();
    if (DeviceRootExists()) {
        if (!force)
            return Fail(error, "a device root is already provisioned at " + root);
        std::error_code failed;
        fs::remove_all(root, failed);
        if (failed)
            return Fail(error, "cannot wipe " + root + ": " + failed.message());
    }
    for (const char* dir : DIRECTORIES) {
        if (!MakeDirs(RootPath(dir)))
            return Fail(error, "cannot create " + RootPath(dir));
    }
    return WriteFiles(error) && CopyLanguageFiles(error) && StoreKeys(PERSISTENT_KEYS, error) &&
           StoreKeys(VOLATILE_KEYS, error);
}

bool ColdBoot(std::string* error) {
    if (!DeviceRootExists())
        return Fail(error, "no provisioned device root at " + DeviceRoot());
    RemoveStaleRunEntries();
    return ResetVolatileKeys(error);
}

}  // namespace tvhost
