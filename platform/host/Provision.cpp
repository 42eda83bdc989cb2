// A factory-fresh television, and its cold start.
#include "Provision.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <map>
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

// Where the service's language files come from: the installed layout next to this program
// (BIN/../share/brenwick/lang/language), else the source tree it was built from.
std::vector<fs::path> LanguageSourceDirs() {
    std::vector<fs::path> dirs;
    std::error_code failed;
    fs::path self = fs::read_symlink("/proc/self/exe", failed);
    if (!failed)
        dirs.push_back((self.parent_path() / "../share/brenwick/lang/language").lexically_normal());
    dirs.push_back(TV_LANG_SOURCE_DIR);
    return dirs;
}

// The *.json files of the first directory that has any. Looked up before the root is touched:
// a television without the service's texts is not factory-fresh.
bool FindLanguageFiles(std::vector<fs::path>* files, std::string* error) {
    std::string tried;
    for (const auto& dir : LanguageSourceDirs()) {
        std::error_code failed;
        for (fs::directory_iterator it(dir, failed), end; !failed && it != end;
             it.increment(failed)) {
            if (it->path().extension() == ".json" && it->is_regular_file(failed))
                files->push_back(it->path());
        }
        if (!files->empty())
            return true;
        tried += (tried.empty() ? "" : " or ") + dir.string();
    }
    return Fail(error, "no language files (*.json) in " + tried);
}

bool CopyLanguageFiles(const std::vector<fs::path>& files, std::string* error) {
    for (const auto& file : files) {
        std::error_code failed;
        fs::copy_file(file, RootPath(LANGUAGE_DIR) + file.filename().string(),
                      fs::copy_options::overwrite_existing, failed);
        if (failed)
            return Fail(error, "cannot copy " + file.string() + ": " + failed.message());
    }
    return true;
}

// A root provisioned before roots were marked: it has every directory such an init made.
bool UnmarkedRoot() {
    std::error_code failed;
    for (const char* dir : {"kdb", "fs", "apps", "packages", "run", "log", "config", "store"}) {
        if (!fs::is_directory(RootPath(dir), failed))
            return false;
    }
    return true;
}

// Makes `root` ready to provision: a new or empty directory, or a marked root that `force`
// wipes. Anything else is refused untouched, so that a mistyped root never loses a file.
bool PrepareRoot(const std::string& root, bool force, std::string* error) {
    std::error_code failed;
    fs::file_status status = fs::status(root, failed);
    if (!fs::exists(status))
        return MakeDirs(root) || Fail(error, "cannot create " + root + ": " + strerror(errno));
    if (!fs::is_directory(status))
        return Fail(error, root + " is not a directory");
    bool marked = fs::exists(fs::symlink_status(RootPath(ROOT_MARK), failed)) || UnmarkedRoot();
    if (!marked) {
        if (fs::is_empty(root, failed) && !failed)
            return true;
        return Fail(error, root + " is not empty and not a device root (it has no " + ROOT_MARK +
                               "); nothing was changed");
    }
    if (!force) {
        return Fail(error,
                    std::string(DeviceRootExists() ? "a device root is already provisioned"
                                                   : "an unfinished or unmarked device root is") +
                        " at " + root + " (init --force wipes it)");
    }
    // The mark stays, so that a wipe cut short leaves a root that --force may wipe again.
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(root, failed), end; !failed && it != end; it.increment(failed)) {
        if (it->path().filename() != ROOT_MARK)
            entries.push_back(it->path());
    }
    for (const auto& entry : entries) {
        fs::remove_all(entry, failed);
        if (failed)
            return Fail(error, "cannot wipe " + entry.string() + ": " + failed.message());
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

// A run/ entry's application and kind: APPID.pid, .sock, .lock or .power, or the temporary file
// of an interrupted write of one (".tmp.APPID.pid.XXXXXX"). False for anything else.
bool SplitRunEntry(std::string name, std::string* appId, std::string* kind) {
    const std::string temporary = ".tmp.";
    if (name.compare(0, temporary.size(), temporary) == 0 && name.size() > temporary.size() + 7)
        name = name.substr(temporary.size(), name.size() - temporary.size() - 7);
    for (const char* suffix : {".pid", ".sock", ".lock", ".power"}) {
        size_t length = strlen(suffix);
        if (name.size() > length && name.compare(name.size() - length, length, suffix) == 0) {
            *appId = name.substr(0, name.size() - length);
            *kind = suffix;
            return PlainName(*appId);
        }
    }
    return false;
}

long PidInFile(const std::string& path) {
    std::string text;
    long long pid = 0;
    ReadWholeFile(path, &text);
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return ParseDecimal(text, 1, INT32_MAX, &pid) ? static_cast<long>(pid) : 0;
}

// A running application holds its run/APPID.lock for as long as it lives.
bool LockHeld(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);
    return held;
}

bool AppAlive(const std::string& appId) {
    return ProcessAlive(PidInFile(RootPath("run/" + appId + ".pid"))) ||
           LockHeld(RootPath("run/" + appId + ".lock"));
}

// Removes the entries of applications that no longer run, and power files of ended processes.
void RemoveStaleRunEntries() {
    std::error_code failed;
    std::map<std::string, bool> alive;
    std::vector<fs::path> stale;
    for (fs::directory_iterator it(RootPath("run"), failed), end; !failed && it != end;
         it.increment(failed)) {
        std::string appId, kind;
        if (!SplitRunEntry(it->path().filename().string(), &appId, &kind))
            continue;
        if (!alive.count(appId))
            alive[appId] = AppAlive(appId);
        bool ended =
            kind == ".power" ? !ProcessAlive(PidInFile(it->path().string())) : !alive[appId];
        if (ended)
            stale.push_back(it->path());
    }
    for (const auto& path : stale)
        fs::remove(path, failed);
}

}  // namespace

bool Provision(bool force, std::string* error) {
    std::string problem = DeviceRootProblem();
    if (!problem.empty())
        return Fail(error, problem);
    std::vector<fs::path> languageFiles;
    if (!FindLanguageFiles(&languageFiles, error) || !PrepareRoot(DeviceRoot(), force, error))
        return false;
    if (!WriteFileAtomic(RootPath(ROOT_MARK), "provisioning\n"))
        return Fail(error, "cannot write " + RootPath(ROOT_MARK));
    for (const char* dir : DIRECTORIES) {
        if (!MakeDirs(RootPath(dir)))
            return Fail(error, "cannot create " + RootPath(dir));
    }
    bool done = WriteFiles(error) && CopyLanguageFiles(languageFiles, error) &&
                StoreKeys(PERSISTENT_KEYS, error) && StoreKeys(VOLATILE_KEYS, error);
    if (done && !WriteFileAtomic(RootPath(ROOT_MARK), "provisioned\n"))
        return Fail(error, "cannot write " + RootPath(ROOT_MARK));
    return done;
}

bool ColdBoot(std::string* error) {
    if (!DeviceRootExists())
        return Fail(error, "no provisioned device root at " + DeviceRoot());
    RemoveStaleRunEntries();
    return ResetVolatileKeys(error);
}

}  // namespace tvhost
