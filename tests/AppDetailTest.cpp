// AppDetail: fetches from a real server on loopback, its worker and its cache file.
#include "AppDetail.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>

#include "Constants.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace {

constexpr const char* HOME_ID = "com.talvoro.tv.zefo.homeversion";

long long NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Body(const std::string& version, const std::string& description,
                 const std::string& stat = "ok") {
    return "{\"rsp\":{\"stat\":\"" + stat + "\",\"app\":{\"version\":\"" + version +
           "\",\"description\":\"" + description + "\",\"size\":12}},\"extra\":1}";
}

class AppDetailTest : public ::testing::Test {
  protected:
    void TearDown() override { Singleton<AppDetail>::DestoryInstance(); }

    AppDetail* Detail() { return Singleton<AppDetail>::GetInstance(); }
    void PointAt(const std::string& baseUrl) { device.Write("config/server_url", baseUrl); }
    std::string CacheRelative() const { return "fs" + std::string(TRUSTED_DIR) + "appDetail"; }
    std::string Setting(const std::string& key) { return device.Key(key).substr(2); }

    // Waits until the log holds `count` lines with `text`; the worker reports by logging.
    bool WaitForLog(const std::string& text, int count = 1, int timeoutMs = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (device.LogCount(text) < count) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }

    TestDevice device;
};

TEST_F(AppDetailTest, RequestCarriesPathOrderedQueryAndHeadersOnlyOverHttps) {
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        std::unique_ptr<LocalHttpServer> server =
            https ? std::make_unique<LocalHttpServer>("IP:127.0.0.1")
                  : std::make_unique<LocalHttpServer>();
        std::string body = Body("2.0.0", "New Home");
        server->SetReply({200, {body}, 0, 0});
        if (https)
            device.Write("config/ca.pem", server->CertificatePem());
        PointAt(server->BaseUrl());
        device.Remove(CacheRelative());

        long long before = NowMs();
        Detail()->Update(HOME_ID, "2.0.0");
        ASSERT_TRUE(WaitForLog("> Clear thread data", https ? 2 : 1));
        long long after = NowMs();

        ASSERT_EQ(1u, server->Requests().size());
        HttpRequestRecord request = server->Requests()[0];
        EXPECT_EQ("/apps/sync/v1/update/" + std::string(HOME_ID) + "/2.0.0", request.Path());
        std::vector<std::pair<std::string, std::string>> params;
        std::stringstream query(request.Query());
        for (std::string pair; std::getline(query, pair, '&');) {
            params.emplace_back(pair.substr(0, pair.find('=')), pair.substr(pair.find('=') + 1));
        }
        ASSERT_EQ(6u, params.size()) << request.Query();
        std::vector<std::pair<std::string, std::string>> expected = {
            {"AppId", HOME_ID},
            {"AppVersion", "2.0.0"},
            {"countrycode", Setting("db/dravo/countrycode")},
            {"firmcode", Setting("db/dravo/tesselanversion")},
            {"modelid", Setting("db/dravo/modelid")},
        };
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(expected[i], params[i]);
        EXPECT_EQ("timestamp", params[5].first);
        long long timestamp = std::stoll(params[5].second);
        EXPECT_LE(before, timestamp);
        EXPECT_GE(after, timestamp);

        EXPECT_EQ(https, request.Header("X-QX-Caller") == "com.talvoro.tv.vemb");
        EXPECT_EQ(https, request.Header("X-TV-Model") == Setting("db/dravo/modelid"));
        EXPECT_EQ(body, device.Read(CacheRelative()));
        EXPECT_EQ("New Home", Detail()->GetDescription("2.0.0"));
        EXPECT_EQ("", Detail()->GetDescription("2.0.1"));
        EXPECT_EQ("", Detail()->GetDescription(""));
        Singleton<AppDetail>::DestoryInstance();
    }
}

TEST_F(AppDetailTest, SameRequestDuringTransferIsSentOnce) {
    LocalHttpServer server;
    server.SetReply({200, {Body("2.0.0", "New Home")}, 800, 0});
    PointAt(server.BaseUrl());
    Detail()->Update(HOME_ID, "2.0.0");
    ASSERT_TRUE(server.WaitForRequests(1, 3000));
    Detail()->Update(HOME_ID, "2.0.0");
    EXPECT_TRUE(device.LogHas("Same request is already in progress for appId: " +
                              std::string(HOME_ID) + ", appVersion: 2.0.0"));
    ASSERT_TRUE(WaitForLog("> Clear thread data"));
    EXPECT_EQ(1u, server.Requests().size());
    EXPECT_EQ(1, device.LogCount("> SaveCache"));
    EXPECT_EQ("New Home", Detail()->GetDescription("2.0.0"));
}

TEST_F(AppDetailTest, NewVersionDuringTransferWaitsAndOnlyTheNewWorkerSaves) {
    LocalHttpServer server;
    server.SetReply({200, {Body("1.0.0", "Old")}, 800, 0});
    PointAt(server.BaseUrl());
    Detail()->Update(HOME_ID, "1.0.0");
    ASSERT_TRUE(server.WaitForRequests(1, 3000));
    std::string newBody = Body("2.0.0", "New");
    server.SetReply({200, {newBody}, 0, 0});

    auto start = std::chrono::steady_clock::now();
    Detail()->Update(HOME_ID, "2.0.0");
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_TRUE(
        device.LogHas("> Joining previous thread for different appVersion (1.0.0 vs 2.0.0)"));
    EXPECT_EQ(1, device.LogCount("> Stop request thread"));

    ASSERT_TRUE(WaitForLog("> Clear thread data"));
    EXPECT_EQ(2u, server.Requests().size());
    EXPECT_EQ(1, device.LogCount("> SaveCache"));
    EXPECT_FALSE(device.LogHas("different data was set during thread running"));
    EXPECT_EQ(newBody, device.Read(CacheRelative()));
    EXPECT_EQ("New", Detail()->GetDescription("2.0.0"));
    EXPECT_EQ("", Detail()->GetDescription("1.0.0"));
}

TEST_F(AppDetailTest, CacheIsReloadedAndItsVersionNotFetchedAgain) {
    LocalHttpServer server;
    PointAt(server.BaseUrl());
    device.Write(CacheRelative(), Body("3.1", "Cached"));
    EXPECT_EQ("Cached", Detail()->GetDescription("3.1"));
    Detail()->Update(HOME_ID, "3.1");
    ASSERT_TRUE(WaitForLog("> already updated (3.1)"));
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_EQ("Cached", Detail()->GetDescription("3.1"));
}

TEST_F(AppDetailTest, CacheThatFailsTheResponseRulesIsDeletedAtStart) {
    struct Case {
        const char* name;
        std::string content;
    };
    const Case cases[] = {
        {"stat in other letter case", Body("3.1", "Cached", "OK")},
        {"stat missing", "{\"rsp\":{\"app\":{\"version\":\"3.1\",\"description\":\"Cached\"}}}"},
        {"rsp not an object", "{\"rsp\":\"ok\"}"},
        {"not JSON", "{\"rsp\":"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device.Write(CacheRelative(), c.content);
        EXPECT_EQ("", Detail()->GetDescription("3.1"));
        EXPECT_FALSE(device.Exists(CacheRelative()));
        EXPECT_TRUE(
            device.LogHas("File deleted successfully: [" + device.Path(CacheRelative()) + "]:"));
        Singleton<AppDetail>::DestoryInstance();
    }
}

TEST_F(AppDetailTest, ResponseWithoutVersionIsCachedButNeverMatches) {
    LocalHttpServer server;
    std::string body = "{\"rsp\":{\"stat\":\"ok\",\"app\":{\"description\":\"No version\"}}}";
    server.SetReply({200, {body}, 0, 0});
    PointAt(server.BaseUrl());
    Detail()->Update(HOME_ID, "5.0");
    ASSERT_TRUE(WaitForLog("> Clear thread data"));
    EXPECT_EQ(body, device.Read(CacheRelative()));
    EXPECT_EQ("", Detail()->GetDescription("5.0"));
    EXPECT_EQ("", Detail()->GetDescription(""));

    Detail()->Update(HOME_ID, "5.0");
    ASSERT_TRUE(WaitForLog("> Clear thread data", 2));
    EXPECT_EQ(2u, server.Requests().size());
}

TEST_F(AppDetailTest, FailedFetchEmptiesTheDetailButKeepsTheFile) {
    std::string cached = Body("1.0", "Cached");
    device.Write(CacheRelative(), cached);
    PointAt("http://127.0.0.1:" + std::to_string(LocalHttpServer::ClosedPort()));
    ASSERT_EQ("Cached", Detail()->GetDescription("1.0"));

    Detail()->Update(HOME_ID, "2.0");
    ASSERT_TRUE(WaitForLog("> Clear thread data"));
    EXPECT_TRUE(device.LogHas("> SEND QXCurl::Send [could not connect"));
    EXPECT_TRUE(device.LogHas("> Failed to update app detail in thread"));
    EXPECT_EQ("", Detail()->GetDescription("1.0"));
    EXPECT_EQ("", Detail()->GetDescription("2.0"));
    EXPECT_EQ(cached, device.Read(CacheRelative()));
}

TEST_F(AppDetailTest, AbsentQuerySettingSendsNothing) {
    LocalHttpServer server;
    server.SetReply({200, {Body("2.0", "New")}, 0, 0});
    PointAt(server.BaseUrl());
    device.Remove("kdb/db/dravo/modelid");
    Detail()->Update(HOME_ID, "2.0");
    ASSERT_TRUE(WaitForLog("> Clear thread data"));
    EXPECT_TRUE(device.LogHas("> failed to request Http : "));
    EXPECT_TRUE(device.LogHas("> Failed to update app detail in thread"));
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_FALSE(device.Exists(CacheRelative()));
}

}  // namespace
