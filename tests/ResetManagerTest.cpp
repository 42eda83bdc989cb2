// Factory and portal resets: found once from the counts, and the wipe of the service's data that
// follows, also when a kill cut it short.
#include "ResetManager.h"

#include <dlog.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vconf.h>

#include <filesystem>

#include "ChildProcess.h"
#include "Constants.h"
#include "PlatformKeys.h"
#include "TestDevice.h"

namespace fs = std::filesystem;

namespace {

const std::string DATA = std::string("fs") + DATA_DIR;
const std::string TRUSTED = std::string("fs") + TRUSTED_DIR;
const std::string RESET_FLAG = TRUSTED + ".resetflag";
const std::string RETRY_FILE = DATA + "request_retry.txt";

ResetManager* Manager() {
    return Singleton<ResetManager>::GetInstance();
}

TEST(ResetManagerTest, ChecksOnceAndRecordsCounts) {
    const struct {
        const char* flagBefore;  // null: no flag file
        int factory;
        const char* flagAfter;
    } cases[] = {
        {nullptr, 0, "0\n0\n0\n"}, {"2\n0\n0\n", 3, "3\n0\n0\n"}, {"0\nx\n0\n", 0, "0\n0\n0\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flagAfter);
        TestDevice device;
        if (c.flagBefore)
            device.Write(RESET_FLAG, c.flagBefore);
        vconf_set_int(keys::FACTORY_RESET_COUNT, c.factory);
        EXPECT_TRUE(Manager()->IsReset());
        EXPECT_EQ(c.flagAfter, device.Read(RESET_FLAG));
        EXPECT_FALSE(Manager()->IsReset()) << "found only once";
        Singleton<ResetManager>::DestoryInstance();
    }
}

TEST(ResetManagerTest, OnlyPortalStatesOneAndTwoStartACheck) {
    for (int state : {0, 1, 2, 3}) {
        SCOPED_TRACE(state);
        TestDevice device;
        device.Write(RESET_FLAG, "0\n0\n0\n");
        device.Write(RETRY_FILE, "1\n");
        Manager();
        vconf_set_int(keys::FACTORY_RESET_COUNT, 1);
        vconf_set_int(keys::PORTAL_RESET_STATE, state);
        ASSERT_TRUE(device.Settle());
        ASSERT_TRUE(device.LogHas("lumaport_reset_state, changedValue : " + std::to_string(state)));
        bool checks = state == 1 || state == 2;
        EXPECT_EQ(checks ? "1\n0\n0\n" : "0\n0\n0\n", device.Read(RESET_FLAG));
        EXPECT_EQ(!checks, device.Exists(RETRY_FILE)) << "a found reset wipes";
        Singleton<ResetManager>::DestoryInstance();
    }
}

// Killed after the new counts were saved but before the wipe: the next start still wipes, once,
// emptying both directories but for the bookkeeping, and never following a link out of them. A
// file named like the pending mark is kept only where the service puts its own.
TEST(ResetManagerTest, WipeCutShortByAKillCompletesAtTheNextStart) {
    TestDevice device;
    device.Write(RESET_FLAG, "0\n0\n0\n");
    device.Write(RETRY_FILE, "1\n3\n2.0.0\n");
    device.Write(DATA + "nested/deeper/file", "x");
    for (const char* dir : {"", "nested/deeper/"})
        device.Write(DATA + dir + ".reset_wipe_pending", "");
    device.Write(TRUSTED + "cache/.reset_wipe_pending", "");
    device.Write(TRUSTED + "abtest", "{}");
    device.Write(TRUSTED + ".home_version_tracker", "1.0.0\n");
    device.Write("outside/dir/inner.txt", "precious");
    fs::create_symlink(device.Path("outside/dir/inner.txt"), device.Path(DATA + "link_to_file"));
    fs::create_symlink(device.Path("outside/dir"), device.Path(DATA + "nested/link_to_dir"));
    vconf_set_int(keys::FACTORY_RESET_COUNT, 1);
    pid_t child = fork();
    if (child == 0) {
        Manager()->IsReset();
        raise(SIGKILL);
    }
    ASSERT_EQ(child, waitpid(child, nullptr, 0));
    ASSERT_EQ("1\n0\n0\n", device.Read(RESET_FLAG)) << "the counts were saved before the kill";
    ASSERT_TRUE(device.Exists(RETRY_FILE));

    EXPECT_TRUE(Manager()->IsReset());
    Manager()->DoReset();
    EXPECT_EQ(std::set<std::string>{}, device.Names(DATA));
    EXPECT_EQ((std::set<std::string>{".home_version_tracker", ".resetflag"}),
              device.Names(TRUSTED));
    EXPECT_EQ("1\n0\n0\n", device.Read(RESET_FLAG));
    EXPECT_EQ("precious", device.Read("outside/dir/inner.txt"));
    EXPECT_TRUE(device.LogHas("Skip remove root directory " + device.Path(DATA)));
    EXPECT_TRUE(device.LogHas("DeleteAllFiles " + device.Path(TRUSTED)));
    EXPECT_FALSE(device.LogHas("Failed to clear the pending wipe"));
    Singleton<ResetManager>::DestoryInstance();
    EXPECT_FALSE(Manager()->IsReset()) << "wiped once";
    Singleton<ResetManager>::DestoryInstance();
}

// Sets or clears the immutable flag of `path`; false where the file system or the user's rights
// do not allow it.
bool SetImmutable(const std::string& path, bool on) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        close(fd);
    return done;
}

// A data folder that is missing, is a plain file, holds a folder that a kept name keeps from
// going, or a file that cannot be deleted: that folder's wipe ends with its line, and the trusted
// folder is wiped all the same.
TEST(ResetManagerTest, AFolderThatCannotBeWipedLeavesTheNextOneToBeWiped) {
    const std::string data = DATA.substr(0, DATA.size() - 1);
    const struct {
        const char* name;
        const char* plant;  // at the data folder's path: "" none, "file", or a kept file's path
        const char* line;   // logged, after the folder's path
        bool immutable = false;  // the planted file cannot be deleted; needs the rights to be so
    } rows[] = {
        {"missing", "", "Not exist "},
        {"a plain file", "file", "Done: "},
        {"a kept name in a subfolder", "sub/.home_version_tracker", "Exception: cannot remove "},
        {"an immutable file", "stuck", "Exception: cannot remove ", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestDevice device;
        fs::remove_all(device.Path(data));
        std::string plant = row.plant;
        if (plant == "file")
            device.Write(data, "x");
        else if (!plant.empty())
            device.Write(DATA + plant, "1.0.0\n");
        if (row.immutable && !SetImmutable(device.Path(DATA + plant), true))
            GTEST_SKIP() << "files cannot be made immutable here";
        device.Write(TRUSTED + "abtest", "{}");

        Manager()->DoReset();
        if (row.immutable)
            SetImmutable(device.Path(DATA + plant), false);

        std::string line = row.line + device.Path(DATA);
        std::string at = plant.substr(0, plant.find('/'));
        EXPECT_TRUE(device.LogHas(plant.empty() || plant == "file" ? line : line + at));
        if (plant == "file") {
            EXPECT_EQ("x", device.Read(data));
        } else if (!plant.empty()) {
            EXPECT_EQ("1.0.0\n", device.Read(DATA + plant));
        }
        EXPECT_FALSE(device.Exists(TRUSTED + "abtest"));
        Singleton<ResetManager>::DestoryInstance();
    }
}

// With no descriptor left to list a folder by, its files stay and the failure is told; the wipe
// goes on to the next folder and ends.
TEST(ResetManagerTest, FolderThatCannotBeListedIsLeftAndTold) {
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers open descriptors of their own to check a caught exception's type, and this
    // test leaves none: they would report the exception as an object of no type.
    GTEST_SKIP() << "needs descriptors the sanitizers' checks take";
#endif
    TestDevice device;
    device.Write(DATA + "left", "x");
    device.Write(TRUSTED + "abtest", "{}");
    ResetManager* manager = Manager();
    int status = StatusOfChild([manager] {
        // Every descriptor but one is taken: each folder still opens, but not the copy that its
        // listing needs. A first line opens the child's log file, which then stays open.
        __dlog_print(LOG_ID_MAIN, DLOG_INFO, "TEST", "descriptors run out");
        int highest = 0;
        for (const auto& entry : fs::directory_iterator("/proc/self/fd"))
            highest = std::max(highest, std::stoi(entry.path().filename().string()));
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        rlim_t previous = limit.rlim_cur;
        limit.rlim_cur = static_cast<rlim_t>(highest) + 2;
        setrlimit(RLIMIT_NOFILE, &limit);
        int last = -1;
        for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;)
            last = fd;
        close(last);
        manager->DoReset();
        limit.rlim_cur = previous;
        setrlimit(RLIMIT_NOFILE, &limit);
        return 0;
    });
    ASSERT_EQ(0, status);
    for (const std::string& folder : {DATA, TRUSTED})
        EXPECT_TRUE(device.LogHas("Exception: cannot list " + device.Path(folder) +
                                  ": Too many open files"));
    EXPECT_EQ("x", device.Read(DATA + "left"));
    EXPECT_EQ("{}", device.Read(TRUSTED + "abtest"));
    Singleton<ResetManager>::DestoryInstance();
}

// A service that runs for years sees many resets: each wipe gives back every folder it opened.
TEST(ResetManagerTest, WipesLeaveNoDescriptorOpen) {
    TestDevice device;
    auto openDescriptors = [] {
        return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator{});
    };
    auto wipe = [&] {
        device.Write(DATA + "sub/deeper/file", "x");
        device.Write(TRUSTED + "sub/file", "x");
        Manager()->DoReset();
        Singleton<ResetManager>::DestoryInstance();
    };
    wipe();  // the first may open what stays for the process's life, such as its log
    auto before = openDescriptors();
    for (int i = 0; i < 3; ++i)
        wipe();
    EXPECT_FALSE(device.Exists(DATA + "sub"));
    EXPECT_EQ(before, openDescriptors());
}

// The whole service: the wipe comes before anything reads the service's files.
TEST(ResetManagerTest, StartAfterResetWipesBeforeOtherManagersReadFiles) {
    TestDevice device;
    device.Write(DATA + "hidden_mode", "");
    device.Write(RETRY_FILE, "2\n3\n2.0.0\n");
    ServiceProcess service(device);
    ASSERT_TRUE(service.Start());
    EXPECT_EQ(0, service.Stop());

    int wipeDone = device.LogLineOf("Done: " + device.Path(TRUSTED));
    ASSERT_GE(wipeDone, 0);
    EXPECT_LT(wipeDone, device.LogLineOf("m_isHiddenMode: 0")) << "hidden mode read after, off";
    EXPECT_LT(wipeDone, device.LogLineOf("File Not Exist " + device.Path(RETRY_FILE)));
}

}  // namespace
