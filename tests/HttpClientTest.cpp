// HttpClient and the host HTTP client wrapper against a real server on loopback.
#include "HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>

#include "HostCore.h"
#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace {

constexpr const char* TRUSTED_NAMES = "DNS:localhost,IP:127.0.0.1";

class HttpClientTest : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("TV_HTTP_TIMEOUT_MS"); }

    void PointAt(const std::string& baseUrl) { device.Write("config/server_url", baseUrl + "\n"); }
    std::string Setting(const std::string& key) { return device.Key(key).substr(2); }

    // SetUrl with one parameter and SendHttpRequest, as the app detail worker does.
    bool Fetch(std::string& body, const std::string& path = "/apps/x") {
        HttpClient client;
        client.SetHeader({{"X-QX-Caller", "com.talvoro.tv.vemb"}});
        if (!client.SetUrl(path, {{"k", "v"}}))
            return false;
        return client.SendHttpRequest(body);
    }

    TestDevice device;
};

TEST_F(HttpClientTest, CompletedTransferReturnsItsBodyWhateverTheStatus) {
    struct Case {
        int status;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {200, {"{\"rsp\":", "{\"stat\":\"ok\",", "\"n\":1}}"}},
        {404, {"no such app"}},
        {500, {"server ", "broke"}},
    };
    LocalHttpServer server;
    PointAt(server.BaseUrl());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        server.SetReply({c.status, c.pieces, 0, 40});
        int sinkCallsBefore = device.LogCount("m_WriteDataCallback(");
        std::string body = "kept|";
        ASSERT_TRUE(Fetch(body));
        std::string whole = "kept|";
        for (const std::string& piece : c.pieces)
            whole += piece;
        EXPECT_EQ(whole, body);
        EXPECT_TRUE(device.LogHas("GET QXCurl::RESPONSE_CODE [" + std::to_string(c.status) + "]"));
        // Pieces sent apart reach the sink apart, and still arrive in order.
        EXPECT_GE(device.LogCount("m_WriteDataCallback(") - sinkCallsBefore,
                  static_cast<int>(c.pieces.size()));
    }
}

TEST_F(HttpClientTest, PlainHttpCarriesEncodedQueryButNoHeaderLines) {
    LocalHttpServer server;
    server.SetReply({200, {"{}"}, 0, 0});
    PointAt(server.BaseUrl());
    HttpClient client;
    client.SetHeader({{"", "dropped"}, {"X-QX-Caller", "com.talvoro.tv.vemb"}});
    ASSERT_TRUE(
        client.SetUrl("/apps/sync/v1/update/a/1", {{"", "skip"}, {"k", "a b&c=d/é"}, {"e", ""}}));
    std::string body;
    ASSERT_TRUE(client.SendHttpRequest(body));

    EXPECT_EQ(2, device.LogCount("> Invalid key"));
    EXPECT_TRUE(device.LogHas("> " + server.BaseUrl() +
                              "/apps/sync/v1/update/a/1?e=&k=a%20b%26c%3Dd%2F%C3%A9"));
    ASSERT_EQ(1u, server.Requests().size());
    HttpRequestRecord request = server.Requests()[0];
    EXPECT_EQ("GET /apps/sync/v1/update/a/1?e=&k=a%20b%26c%3Dd%2F%C3%A9 HTTP/1.1",
              request.requestLine);
    EXPECT_FALSE(request.HasHeader("X-QX-Caller"));
    EXPECT_FALSE(request.HasHeader("X-TV-Model"));
}

TEST_F(HttpClientTest, HttpsCarriesLastHeaderLinesAndTvHeader) {
    LocalHttpServer server(TRUSTED_NAMES);
    server.SetReply({200, {"secure"}, 0, 0});
    device.Write("config/ca.pem", server.CertificatePem());
    PointAt(server.BaseUrl());
    HttpClient client;
    client.SetHeader({{"X-Old", "1"}});
    client.SetHeader({{"", "dropped"}, {"X-QX-Caller", "com.talvoro.tv.vemb"}});
    ASSERT_TRUE(client.SetUrl("/apps/x", {{"k", "v"}}));
    std::string body;
    ASSERT_TRUE(client.SendHttpRequest(body));

    EXPECT_EQ("secure", body);
    ASSERT_EQ(1u, server.Requests().size());
    HttpRequestRecord request = server.Requests()[0];
    EXPECT_EQ("com.talvoro.tv.vemb", request.Header("X-QX-Caller"));
    EXPECT_FALSE(request.HasHeader("X-Old"));
    EXPECT_EQ(Setting("db/dravo/modelid"), request.Header("X-TV-Model"));
    EXPECT_EQ(Setting("db/dravo/countrycode"), request.Header("X-TV-Country"));
    EXPECT_EQ(Setting("db/dravo/tesselanversion"), request.Header("X-TV-Firmware"));
}

TEST_F(HttpClientTest, SetUrlRefusesMissingPathOrParameters) {
    struct Case {
        std::string path;
        std::map<std::string, std::string> params;
        std::string message;
    };
    const Case cases[] = {
        {"", {{"k", "v"}}, "> Invalid API path"},
        {"/apps/x", {}, "> empty params"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        HttpClient client;
        EXPECT_FALSE(client.SetUrl(c.path, c.params));
        EXPECT_TRUE(device.LogHas(c.message));
    }
    device.Remove("config/server_url");
    HttpClient client;
    EXPECT_FALSE(client.SetUrl("/apps/x", {{"k", "v"}}));
    EXPECT_TRUE(device.LogHas("> Failed to make URL: no server address"));
}

TEST_F(HttpClientTest, TransportFailuresAreReportedWithTheirCause) {
    struct Case {
        const char* name;
        const char* certificateNames;  // null: plain http
        bool trustOwnCertificate;
        bool trustOtherCertificate;
        bool nothingListens;
        int delayMs;
        const char* expected;
    };
    const Case cases[] = {
        {"host name mismatch", "DNS:other.invalid", true, false, false, 0,
         "SEND QXCurl::Send [TLS failure"},
        {"certificate not trusted", TRUSTED_NAMES, false, false, false, 0,
         "SEND QXCurl::Send [TLS failure"},
        {"another certificate trusted", TRUSTED_NAMES, false, true, false, 0,
         "SEND QXCurl::Send [TLS failure"},
        {"connection refused", nullptr, false, false, true, 0,
         "SEND QXCurl::Send [could not connect"},
        {"stalled server", nullptr, false, false, false, 10000, "SEND QXCurl::Send [timed out"},
    };
    setenv("TV_HTTP_TIMEOUT_MS", "600", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        device.Remove("config/ca.pem");
        std::unique_ptr<LocalHttpServer> server =
            c.certificateNames ? std::make_unique<LocalHttpServer>(c.certificateNames)
                               : std::make_unique<LocalHttpServer>();
        server->SetReply({200, {"never"}, c.delayMs, 0});
        if (c.trustOwnCertificate)
            device.Write("config/ca.pem", server->CertificatePem());
        if (c.trustOtherCertificate)
            device.Write("config/ca.pem", LocalHttpServer(TRUSTED_NAMES).CertificatePem());
        PointAt(c.nothingListens
                    ? "http://127.0.0.1:" + std::to_string(LocalHttpServer::ClosedPort())
                    : server->BaseUrl());

        auto start = std::chrono::steady_clock::now();
        std::string body;
        EXPECT_FALSE(Fetch(body));
        auto elapsed = std::chrono::steady_clock::now() - start;
        EXPECT_LT(elapsed, std::chrono::seconds(3));
        EXPECT_EQ("", body);
        EXPECT_TRUE(device.LogHas(c.expected)) << device.Log();
    }
}

TEST_F(HttpClientTest, FaultRulesFailTheWrapperCallTheyName) {
    struct Case {
        const char* call;
        bool sent;
        std::vector<std::string> lines;  // expected log texts, in order
    };
    const Case cases[] = {
        {"QXCurlEasy::Initialize", false, {"INIT QXCurl::Initialize failed"}},
        {"QXCurlEasy::setOption:17",
         false,
         {"SET QXCurl::HTTPGET failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::setOption:50",
         false,
         {"SET QXCurl::URL failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::setOption:75",
         false,
         {"SET QXCurl::Header failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::setOmbrixHeader",
         false,
         {"SET QXCurl::TVHeader failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::setOption:78",
         false,
         {"SET QXCurl::WRITEFUNCTION failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::setOption:86",
         false,
         {"SET QXCurl::WRITEDATA failed", "SET QXCurl::SetOption failed"}},
        {"QXCurlEasy::send", false, {"SEND QXCurl::Send [failed by fault rule"}},
        {"QXCurlEasy::getInfo", true, {"GET QXCurl::RESPONSE_CODE failed"}},
    };
    LocalHttpServer server(TRUSTED_NAMES);
    server.SetReply({200, {"body"}, 0, 0});
    device.Write("config/ca.pem", server.CertificatePem());
    PointAt(server.BaseUrl());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.call);
        ASSERT_TRUE(tvhost::FaultAdd(c.call, "-1", "1"));
        int from = static_cast<int>(device.LogCount(""));
        size_t requestsBefore = server.Requests().size();
        std::string body;
        EXPECT_EQ(c.sent, Fetch(body));
        EXPECT_EQ(c.sent ? "body" : "", body);
        EXPECT_EQ(requestsBefore + (c.sent ? 1 : 0), server.Requests().size());
        int line = from;
        for (const std::string& text : c.lines) {
            line = device.LogLineOf(text, line);
            EXPECT_GE(line, 0) << text;
        }
    }
}

}  // namespace
