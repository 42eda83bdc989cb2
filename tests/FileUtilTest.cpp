// The service's own files against a hostile or unlucky file system: links planted where its
// files and temporaries go, directories, FIFOs and oversized files where its state belongs, and
// leftovers of an earlier write.
#include "FileUtil.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vconf.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <map>

#include "AppDetail.h"
#include "Constants.h"
#include "CurrentHomeVersion.h"
#include "HiddenMode.h"
#include "HomeResetManager.h"
#include "HostCore.h"
#include "LocalHttpServer.h"
#include "LocaleTextUtil.h"
#include "PlatformKeys.h"
#include "ResetManager.h"
#include "Retry.h"
#include "TestDevice.h"

namespace fs = std::filesystem;

namespace {

const std::string DATA = std::string("fs") + DATA_DIR;
const std::string TRUSTED = std::string("fs") + TRUSTED_DIR;
const std::string HOME_RESET_FLAG = "fs/opt/usr/home/owner/share/.preload_home_pkg";

// The service's own file calls are no platform calls, so no fault rule reaches them: this
// binary's fsync stands in for the C library's and, when asked, fails for every directory or
// every file.
bool g_directorySyncFails = false;
bool g_fileSyncFails = false;

}  // namespace

extern "C" int fsync(int fd) {
    struct stat info;
    bool fails =
        fstat(fd, &info) == 0 && (S_ISDIR(info.st_mode) ? g_directorySyncFails : g_fileSyncFails);
    if (fails) {
        errno = EIO;
        return -1;
    }
    return static_cast<int>(syscall(SYS_fsync, fd));
}

namespace {

std::string AppDetailBody(const std::string& description) {
    return R"({"rsp":{"stat":"ok","app":{"version":"2.0.0","description":")" + description +
           R"("}}})";
}

// Every file the service writes, each by the unit that owns it: the retry counters, the hidden
// mode flag, a Home reset up to its reboot with its flag and version tracker, the A/B test flag,
// the app detail cache, and last the reset flag with a found reset and its wipe. `written`, when
// given, runs before the wipe and at the end.
void WriteEveryFile(
    const TestDevice& device, const std::function<void()>& written = [] {}) {
    Retry(FILE_NAME_REQUEST_RETRY).SetRetryInfo("home", "2.0.0", "normal", 6);
    Retry(FILE_NAME_USER_RETRY).SetRetryInfo("home", "2.0.0", "normal", 3);
    Singleton<HiddenMode>::GetInstance()->m_EnableHiddenMode();
    Singleton<HiddenMode>::DestoryInstance();

    Singleton<HomeResetManager>::GetInstance();
    vconf_set_str(keys::HOME_RESET_STATUS, "start");
    // The whole request runs in the callback that logs this first.
    RunLoopUntil([&] { return device.LogHas("> changedValue : start"); });
    Singleton<HomeResetManager>::DestoryInstance();
    CurrentHomeVersion::CreateABTest("{}");

    LocalHttpServer server;
    server.SetReply({200, AppDetailBody("New"), 0});
    device.Write("config/server_url", server.BaseUrl());
    Singleton<AppDetail>::GetInstance()->Update("home", "2.0.0");
    RunLoopUntil([&] { return device.LogHas("> Clear thread data"); }, 5000);
    Singleton<AppDetail>::DestoryInstance();

    written();
    vconf_set_int(keys::FACTORY_RESET_COUNT, 7);
    ResetManager* manager = Singleton<ResetManager>::GetInstance();
    if (manager->IsReset())
        manager->DoReset();
    Singleton<ResetManager>::DestoryInstance();
    written();
}

// Every file below the sentinel directory: its bytes, or "<dir>" and "<link>".
std::map<std::string, std::string> Snapshot(const TestDevice& device, const std::string& sentinel) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(device.Path(sentinel))) {
        std::string name = fs::relative(entry.path(), device.Path(sentinel)).string();
        if (entry.is_symlink())
            files[name] = "<link>";
        else if (entry.is_directory())
            files[name] = "<dir>";
        else
            files[name] = device.Read(sentinel + "/" + name);
    }
    return files;
}

// Links planted where the service writes, each pointing into a sentinel directory outside the
// device root: not one file there is created, written, truncated or deleted.
TEST(FileUtilTest, NoPlantedLinkLetsTheServiceChangeAFileOutside) {
    const struct {
        const char* name;
        std::vector<std::string> links;  // relative to the device root
        const char* target;              // in the sentinel directory; "" is the directory itself
    } plantings[] = {
        {"at every temporary and the hidden mode flag",
         {DATA + "request_retry.txt.tmp", DATA + "user_retry.txt.tmp", DATA + "hidden_mode",
          TRUSTED + "appDetail.tmp", TRUSTED + "abtest.tmp", TRUSTED + ".home_version_tracker.tmp",
          TRUSTED + ".resetflag.tmp"},
         "victim"},
        // A flag that is there stops the Home reset, so this one is planted alone.
        {"dangling, at the Home reset flag", {HOME_RESET_FLAG}, "created"},
        {"as the data directory", {DATA.substr(0, DATA.size() - 1)}, ""},
        {"as the trusted directory", {TRUSTED.substr(0, TRUSTED.size() - 1)}, ""},
    };
    for (const auto& planting : plantings) {
        SCOPED_TRACE(planting.name);
        TestDevice device;
        const std::string sentinel = "../outside";
        device.Write(sentinel + "/victim", "precious");
        device.Write(sentinel + "/dir/inner", "kept");
        // Damaged state files, which the service removes where they are its own.
        device.Write(sentinel + "/appDetail", "{damaged");
        device.Write(sentinel + "/.resetflag", "x\n");
        std::map<std::string, std::string> before = Snapshot(device, sentinel);
        for (const std::string& link : planting.links) {
            fs::remove_all(device.Path(link));
            fs::create_symlink(fs::absolute(device.Path(sentinel)) / planting.target,
                               device.Path(link));
        }

        WriteEveryFile(device);

        EXPECT_EQ(before, Snapshot(device, sentinel));
    }
}

// Every state file gets one mode whatever the umask: the service's user reads and writes it, and
// others may read it (the trusted folder is shared with other applications, the Home reset flag
// is the platform's), but no one else changes it. A folder that cannot be synced after the rename
// costs only durability: every file is written, and the Home reset goes on to its reboot.
TEST(FileUtilTest, EveryStateFileHasMode0644AndIsWrittenWhenItsFolderCannotBeSynced) {
    for (mode_t mask : {0000u, 0077u}) {
        SCOPED_TRACE(mask);
        TestDevice device;
        g_directorySyncFails = mask != 0;
        std::map<std::string, unsigned> modes;
        auto takeModes = [&] {
            for (const auto& dir :
                 {DATA, TRUSTED, fs::path(HOME_RESET_FLAG).parent_path().string()}) {
                for (const auto& entry : fs::directory_iterator(device.Path(dir)))
                    modes[entry.path().filename()] =
                        static_cast<unsigned>(entry.status().permissions());
            }
        };
        mode_t previous = umask(mask);
        WriteEveryFile(device, takeModes);
        umask(previous);
        g_directorySyncFails = false;

        std::map<std::string, unsigned> expected;
        for (const char* name :
             {"request_retry.txt", "user_retry.txt", "hidden_mode", "abtest", "appDetail",
              ".home_version_tracker", ".preload_home_pkg", ".resetflag"})
            expected[name] = 0644;
        EXPECT_EQ(expected, modes);
        EXPECT_EQ("s:done", device.Key(keys::HOME_RESET_STATUS));
        EXPECT_EQ(1u, device.Entries("power.jsonl", "code", 14).size());
        EXPECT_EQ(mask != 0, device.LogHas("/.home_version_tracker changed, but not yet durably: "
                                           "Input/output error"));
    }
}

struct HostileFile {
    const char* name;
    std::string path;  // relative to the device root
    std::string oversized;
    // Reads the file the way the service does; true when it was taken as unusable (missing,
    // unreadable or refused) and the reader went on.
    std::function<bool(const TestDevice&)> readsAsUnusable;
};

const HostileFile HOSTILE_FILES[] = {
    {"request retry", DATA + FILE_NAME_REQUEST_RETRY, "3\n5\n1.2.3\n" + std::string(70000, '\n'),
     [](const TestDevice&) { return Retry(FILE_NAME_REQUEST_RETRY).GetVersion() == "0.0.0"; }},
    {"user retry", DATA + FILE_NAME_USER_RETRY, "3\n5\n1.2.3\n" + std::string(70000, '\n'),
     [](const TestDevice&) { return Retry(FILE_NAME_USER_RETRY).GetVersion() == "0.0.0"; }},
    {"reset flag", TRUSTED + ".resetflag", "0\n0\n0\n" + std::string(5000, '\n'),
     [](const TestDevice&) { return Singleton<ResetManager>::GetInstance()->IsReset(); }},
    {"app detail cache", TRUSTED + "appDetail", AppDetailBody(std::string(1100000, 'x')),
     [](const TestDevice&) {
         return Singleton<AppDetail>::GetInstance()->GetDescription("2.0.0").empty();
     }},
    {"version tracker", TRUSTED + HOME_VERSION_TRACKER_FILE, std::string(1100000, '1'),
     [](const TestDevice& device) {
         std::string text;
         return !FileUtil::ReadFile(device.Path(TRUSTED + HOME_VERSION_TRACKER_FILE), text);
     }},
    {"language file", std::string("fs") + LANGUAGE_DIR + "en_US.json",
     R"({"TV_SID_FAILED_UPDATE":"Failed","pad":")" + std::string(1100000, 'x') + "\"}",
     [](const TestDevice&) {
         return LocaleTextUtil::GetLocalizedText("TV_SID_FAILED_UPDATE").empty();
     }},
};

// A directory, a FIFO or an oversized file where a state file belongs: the reader neither dies,
// nor blocks (it reads in a child that an alarm ends after two seconds), nor takes it in; it
// fails the way a file that cannot be opened fails.
TEST(FileUtilTest, DirectoryFifoOrOversizedStateFileIsRefused) {
    for (const HostileFile& file : HOSTILE_FILES) {
        for (const std::string kind : {"directory", "FIFO", "oversized"}) {
            SCOPED_TRACE(std::string(file.name) + " as a " + kind);
            TestDevice device;
            std::string path = device.Path(file.path);
            fs::remove(path);
            if (kind == "directory")
                device.Write(file.path + "/inside", "1\n2\n3\n");
            else if (kind == "FIFO")
                ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
            else
                device.Write(file.path, file.oversized);

            int status = StatusOfChild([&] { return file.readsAsUnusable(device) ? 0 : 1; }, 2);
            EXPECT_EQ(0, status) << "taken in (exit 1), blocked (SIGALRM) or died";
        }
    }
}

// A counter file as large as its cap allows is still read; one byte more is not one of ours.
TEST(FileUtilTest, StateFileOfExactlyItsCapIsReadAndOneByteMoreIsNot) {
    const std::string counts = "3\n5\n1.2.3\n";
    for (size_t size : {size_t{64} * 1024, size_t{64} * 1024 + 1}) {
        SCOPED_TRACE(size);
        TestDevice device;
        device.Write(DATA + FILE_NAME_USER_RETRY, counts + std::string(size - counts.size(), '\n'));
        EXPECT_EQ(size == 64 * 1024 ? "1.2.3" : "0.0.0", Retry(FILE_NAME_USER_RETRY).GetVersion());
    }
}

// A disk that refuses the bytes (full, or a size limit) fails the write at once, and the file
// keeps what it held.
TEST(FileUtilTest, WriteTheDiskRefusesFailsAtOnceAndKeepsTheOldFile) {
    TestDevice device;
    const std::string file = DATA + FILE_NAME_USER_RETRY;
    device.Write(file, "1\n3\n1.0.0\n");
    int status = StatusOfChild(
        [&] {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit;
            getrlimit(RLIMIT_FSIZE, &limit);
            const struct rlimit small = {4, limit.rlim_max};
            setrlimit(RLIMIT_FSIZE, &small);
            FileStatus written = FileUtil::WriteOwnFile(device.Path(file), "2\n3\n1.0.0\n");
            setrlimit(RLIMIT_FSIZE, &limit);  // the child's own files on its way out are not capped
            return written.stage == FileStatus::FAILED && written.error == EFBIG ? 0 : 1;
        },
        2);
    EXPECT_EQ(0, status) << "taken as written (exit 1) or kept trying (SIGALRM)";
    EXPECT_EQ("1\n3\n1.0.0\n", device.Read(file));
    EXPECT_EQ(std::set<std::string>{FILE_NAME_USER_RETRY}, device.Names(DATA));
}

// A temporary left by an earlier run never blocks a write, and a write that fails takes its
// temporary with it; the unit logs its own line.
TEST(FileUtilTest, LeftoverTemporaryNeverBlocksAndAFailedWriteLeavesNone) {
    TestDevice device;
    device.Write(DATA + "request_retry.txt.tmp/stale", "");
    Retry(FILE_NAME_REQUEST_RETRY).SetRetryInfo("home", "2.0.0", "normal", 6);
    EXPECT_EQ("0\n6\n2.0.0|normal\n", device.Read(DATA + FILE_NAME_REQUEST_RETRY));

    device.Write(DATA + "user_retry.txt/inside", "");
    Retry(FILE_NAME_USER_RETRY).SetRetryInfo("home", "2.0.0", "normal", 3);
    EXPECT_TRUE(device.LogHas("> Failed to save user_retry.txt. Is a directory"));
    EXPECT_EQ(
        (std::set<std::string>{"request_retry.txt", "request_retry.txt.tmp", "user_retry.txt"}),
        device.Names(DATA));
}

TEST(FileUtilTest, ReadFileAndLoadJsonFailQuietlyOrWithTheirLine) {
    TestDevice device;
    std::string content = "stale";
    EXPECT_FALSE(FileUtil::ReadFile(device.Path(DATA + "missing"), content));
    EXPECT_EQ("", device.Log()) << "a missing file is not worth a log line";

    device.Write(DATA + "empty", "");
    EXPECT_TRUE(FileUtil::ReadFile(device.Path(DATA + "empty"), content));
    EXPECT_EQ("", content);

    Json::Value value;
    EXPECT_FALSE(FileUtil::LoadJson(device.Path(DATA + "missing.json"), value));
    EXPECT_TRUE(device.LogHas("> Failed to load file " + device.Path(DATA + "missing.json")));
    device.Write(DATA + "bad.json", "{\"k\": ");
    EXPECT_FALSE(FileUtil::LoadJson(device.Path(DATA + "bad.json"), value));
    EXPECT_TRUE(device.LogHas("Failed to parse json string: "));
}

// Paths and files outside the usual: a bare name is taken in the working directory, a name at the
// root in "/", a path ending in "/" names no file; a file whose size says nothing (the kernel's)
// is still held to its cap, a read the kernel refuses fails, and a file that cannot be flushed is
// not taken as written.
TEST(FileUtilTest, OddPathsAndFilesEndTheWayTheyShould) {
    TestDevice device;
    const std::string counter = device.Path(DATA + FILE_NAME_USER_RETRY);
    device.Write(DATA + FILE_NAME_USER_RETRY, "1\n3\n1.0.0\n");
    std::string content;
    const struct {
        const char* name;
        std::function<FileStatus()> run;
        FileStatus::Stage stage;
        int error;
    } cases[] = {
        {"bare name", [] { return FileUtil::RemoveOwnFile("brenwick-no-such-file"); },
         FileStatus::FAILED, ENOENT},
        {"name at the root", [] { return FileUtil::RemoveOwnFile("/brenwick-no-such-file"); },
         FileStatus::FAILED, ENOENT},
        {"ends in a slash", [&] { return FileUtil::WriteOwnFile(device.Path(DATA), "x"); },
         FileStatus::NOT_OPENED, EISDIR},
        {"no file can be made there",
         [] { return FileUtil::WriteOwnFile("/proc/brenwick-state", "x"); }, FileStatus::NOT_OPENED,
         ENOENT},
        {"kernel file over its cap",
         [&] { return FileUtil::ReadOwnFile("/proc/self/status", content, 64); },
         FileStatus::FAILED, EFBIG},
        {"read refused", [&] { return FileUtil::ReadOwnFile("/proc/self/mem", content); },
         FileStatus::FAILED, EIO},
        {"flush refused",
         [&] {
             g_fileSyncFails = true;
             FileStatus status = FileUtil::WriteOwnFile(counter, "2\n3\n1.0.0\n");
             g_fileSyncFails = false;
             return status;
         },
         FileStatus::FAILED, EIO},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FileStatus status = c.run();
        EXPECT_EQ(c.stage, status.stage);
        EXPECT_EQ(c.error, status.error) << status.ErrorText();
    }
    EXPECT_EQ("1\n3\n1.0.0\n", device.Read(DATA + FILE_NAME_USER_RETRY));
    EXPECT_EQ(std::set<std::string>{FILE_NAME_USER_RETRY}, device.Names(DATA));
}

}  // namespace
