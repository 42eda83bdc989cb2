// AppDetail: fetches from a real server on loopback, its worker and its cache file.
#include "AppDetail.h"

#include <ctime>
#include <sstream>

#include "Constants.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace {

const std::string HOME_ID = "com.talvoro.tv.zefo.homeversion";

std::string Body(const std::string& version, const std::string& description,
                 const std::string& stat = "ok") {
    return "{\"rsp\":{\"stat\":\"" + stat + "\",\"app\":{\"version\":\"" + version +
           "\",\"description\":\"" + description + "\",\"size\":12}},\"extra\":1}";
}

class AppDetailTest : public ::testing::Test {
  protected:
    void SetUp() override { device.Write("config/server_url", server.BaseUrl()); }
    void TearDown() override { Singleton<AppDetail>::DestoryInstance(); }

    AppDetail* Detail() { return Singleton<AppDetail>::GetInstance(); }
    std::string Setting(const std::string& key) { return device.Key(key).substr(2); }
    // Waits until the worker has ended `count` times; it reports by logging.
    bool WorkerEnded(int count = 1) {
        return RunLoopUntil([&] { return device.LogCount("> Clear thread data") >= count; }, 5000);
    }

    const std::string cache = "fs" + std::string(TRUSTED_DIR) + "appDetail";
    TestDevice device;
    LocalHttpServer server;  // plain http
};

TEST_F(AppDetailTest, RequestCarriesPathOrderedQueryAndHeadersOnlyOverHttps) {
    LocalHttpServer tlsServer("IP:127.0.0.1");
    device.Write("config/ca.pem", tlsServer.CertificatePem());
    for (LocalHttpServer* used : {&server, &tlsServer}) {
        bool https = used == &tlsServer;
        SCOPED_TRACE(used->BaseUrl());
        device.Write("config/server_url", used->BaseUrl());

        Detail()->Update(HOME_ID, "2.0.0");
        ASSERT_TRUE(WorkerEnded(https ? 2 : 1));

        ASSERT_EQ(1u, used->Requests().size());
        Json::Value request = used->Requests()[0];
        std::string line = request["line"].asString();
        std::string expected = "GET /apps/sync/v1/update/" + HOME_ID + "/2.0.0?AppId=" + HOME_ID +
                               "&AppVersion=2.0.0&countrycode=" + Setting("db/dravo/countrycode") +
                               "&firmcode=" + Setting("db/dravo/tesselanversion") +
                               "&modelid=" + Setting("db/dravo/modelid") + "&timestamp=";
        ASSERT_EQ(expected, line.substr(0, expected.size()));
        // Milliseconds since 1970, taken when the request was made.
        EXPECT_NEAR(static_cast<double>(std::time(nullptr)) * 1000.0,
                    std::stod(line.substr(expected.size())), 2000);

        EXPECT_EQ(https ? "com.talvoro.tv.vemb" : "", request["headers"]["X-QX-Caller"].asString());
        EXPECT_EQ(https ? Setting("db/dravo/modelid") : "",
                  request["headers"]["X-TV-Model"].asString());
        Singleton<AppDetail>::DestoryInstance();
    }
}

// During a transfer the same request is not sent again; a new version waits for the transfer to
// end, and only its worker saves. The transfer lasts long enough for the test's next steps to come
// first on a loaded machine.
TEST_F(AppDetailTest, RequestDuringATransfer) {
    server.SetReply({200, Body("1.0.0", "Old"), 2000});
    Detail()->Update(HOME_ID, "1.0.0");
    ASSERT_TRUE(RunLoopUntil([&] { return !server.Requests().empty(); }));
    Detail()->Update(HOME_ID, "1.0.0");
    EXPECT_TRUE(device.LogHas("Same request is already in progress for appId: " + HOME_ID +
                              ", appVersion: 1.0.0"));
    std::string newBody = Body("2.0.0", "New");
    server.SetReply({200, newBody, 0});

    Detail()->Update(HOME_ID, "2.0.0");
    EXPECT_TRUE(device.LogHas("> request thread join"));
    EXPECT_TRUE(device.LogHas("> Stop request thread")) << "the transfer before had ended";

    ASSERT_TRUE(WorkerEnded());
    EXPECT_EQ(2u, server.Requests().size());
    EXPECT_EQ(1, device.LogCount("> SaveCache"));
    EXPECT_EQ(newBody, device.Read(cache));
    EXPECT_EQ("New", Detail()->GetDescription("2.0.0"));
}

// A transfer that times out after a new request (another version, or another application) was
// made leaves the new request's record: only the new worker ends it, and its detail is kept.
TEST_F(AppDetailTest, TimedOutTransferOvertakenByANewRequestLeavesTheNewRecord) {
    const struct {
        std::string appId;
        const char* version;
    } newer[] = {{HOME_ID, "2.0.0"}, {"com.talvoro.tv.other", "1.0.0"}};
    int row = 0;
    for (const auto& next : newer) {
        SCOPED_TRACE(next.appId + " " + next.version);
        ++row;
        LocalHttpServer slow;  // its own, so that no earlier answer is still on its way
        device.Write("config/server_url", slow.BaseUrl());
        setenv("TV_HTTP_TIMEOUT_MS", "1500", 1);
        slow.SetReply({200, Body("1.0.0", "Old"), 4000});
        Detail()->Update(HOME_ID, "1.0.0");
        bool sent = RunLoopUntil([&] { return !slow.Requests().empty(); });
        unsetenv("TV_HTTP_TIMEOUT_MS");  // the transfer under way has taken it
        ASSERT_TRUE(sent);
        std::string newBody = Body(next.version, "New");
        slow.SetReply({200, newBody, 0});

        Detail()->Update(next.appId, next.version);

        ASSERT_TRUE(WorkerEnded(row));
        EXPECT_EQ(row, device.LogCount("> Clear thread data"));
        EXPECT_EQ(row, device.LogCount("> different data was set during thread running."));
        EXPECT_EQ(newBody, device.Read(cache));
        EXPECT_EQ("New", Detail()->GetDescription(next.version));
        Singleton<AppDetail>::DestoryInstance();
    }
}

TEST_F(AppDetailTest, CacheIsReloadedAtStartUnlessItFailsTheResponseRules) {
    const struct {
        std::string content;
        const char* description;  // "": the file is deleted
    } cases[] = {
        {Body("3.1", "Cached"), "Cached"},
        {Body("3.1", "Cached", "OK"), ""},  // stat in other letter case
        {"{\"rsp\":{\"app\":{\"version\":\"3.1\"}}}", ""},
        {"{\"rsp\":{\"stat\":\"ok\"}}", ""},
        {"{\"rsp\":{\"stat\":\"ok\",\"app\":{\"version\":\"3.1\"}}}", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content);
        device.Write(cache, c.content);
        EXPECT_EQ(c.description, Detail()->GetDescription("3.1"));
        EXPECT_EQ(*c.description != 0, device.Exists(cache));
        EXPECT_EQ(*c.description == 0, device.LogHas("> File deleted successfully"));
        Singleton<AppDetail>::DestoryInstance();
    }
}

// Far more than any release notes: the transfer is stopped with a line of its own, nothing is
// cached, and the body reaches the log only in part, from its first byte.
TEST_F(AppDetailTest, HugeAnswerIsStoppedAndNeverLoggedWhole) {
    std::string body = Body("2.0.0", std::string(3 * 1024 * 1024, 'x'));
    server.SetReply({200, body, 0});

    Detail()->Update(HOME_ID, "2.0.0");

    ASSERT_TRUE(WorkerEnded());
    EXPECT_TRUE(device.LogHas("> Response larger than 1048576 bytes: transfer stopped"));
    EXPECT_TRUE(device.LogHas("> Failed to update app detail in thread"));
    EXPECT_TRUE(device.LogHas("> " + body.substr(0, 4096) + "... ("));
    EXPECT_EQ("", Detail()->GetDescription("2.0.0"));
    EXPECT_FALSE(device.Exists(cache));
    std::stringstream log(device.Log());
    for (std::string line; std::getline(log, line);)
        ASSERT_LT(line.size(), 8192u);
}

TEST_F(AppDetailTest, ResponseWithoutVersionIsCachedButNeverMatches) {
    std::string body = "{\"rsp\":{\"stat\":\"ok\",\"app\":{\"description\":\"No version\"}}}";
    server.SetReply({200, body, 0});
    Detail()->Update(HOME_ID, "5.0");
    ASSERT_TRUE(WorkerEnded());
    EXPECT_EQ(body, device.Read(cache));
    EXPECT_EQ("", Detail()->GetDescription("5.0"));
    EXPECT_EQ("", Detail()->GetDescription(""));
}

TEST_F(AppDetailTest, FailedFetchEmptiesTheDetailButKeepsTheFile) {
    const struct {
        std::string url;
        const char* removedSetting;
        const char* cause;
    } cases[] = {
        {CLOSED_URL, "", "> SEND QXCurl::Send [could not connect"},
        {server.BaseUrl(), "kdb/db/dravo/modelid", "> failed to request Http : "},
    };
    server.SetReply({200, Body("2.0", "New"), 0});
    std::string cached = Body("1.0", "Cached");
    int ended = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cause);
        device.Write(cache, cached);
        device.Write("config/server_url", c.url);
        if (*c.removedSetting)
            device.Remove(c.removedSetting);
        ASSERT_EQ("Cached", Detail()->GetDescription("1.0"));

        Detail()->Update(HOME_ID, "2.0");
        ASSERT_TRUE(WorkerEnded(++ended));
        EXPECT_TRUE(device.LogHas(c.cause));
        EXPECT_EQ(ended, device.LogCount("> Failed to update app detail in thread"));
        EXPECT_EQ("", Detail()->GetDescription("1.0"));
        EXPECT_EQ(cached, device.Read(cache));
        Singleton<AppDetail>::DestoryInstance();
    }
    EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
