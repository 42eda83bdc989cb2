// HttpClient and the host HTTP client wrapper against a real server on loopback.
#include "HttpClient.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>

#include "LocalHttpServer.h"
#include "TestDevice.h"

namespace {

constexpr const char* TRUSTED_NAMES = "DNS:localhost,IP:127.0.0.1";

class HttpClientTest : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("TV_HTTP_TIMEOUT_MS"); }

    // Points the client at `server`, trusting its certificate (if any) when asked.
    void Use(const LocalHttpServer& server, bool trust = true) {
        device.Write("config/server_url", server.BaseUrl() + "\n");
        device.Remove("config/ca.pem");
        if (trust && !server.CertificatePem().empty())
            device.Write("config/ca.pem", server.CertificatePem());
    }

    // SetUrl with one parameter and SendHttpRequest, as the app detail worker does.
    bool Fetch(std::string& body) {
        HttpClient client;
        client.SetHeader({{"X-QX-Caller", "com.talvoro.tv.vemb"}});
        return client.SetUrl("/apps/x", {{"k", "v"}}) && client.SendHttpRequest(body);
    }

    TestDevice device;
};

TEST_F(HttpClientTest, CompletedTransferReturnsItsWholeBodyWhateverTheStatus) {
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
    Use(server);
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

TEST_F(HttpClientTest, HeaderLinesGoOnlyOverHttpsAndTheQueryIsEncoded) {
    const std::pair<const char*, const char*> tvHeader[] = {
        {"X-TV-Model", "db/dravo/modelid"},
        {"X-TV-Country", "db/dravo/countrycode"},
        {"X-TV-Firmware", "db/dravo/tesselanversion"},
    };
    for (bool https : {false, true}) {
        SCOPED_TRACE(https ? "https" : "http");
        LocalHttpServer server(https ? TRUSTED_NAMES : "");
        server.SetReply({200, {"{}"}, 0, 0});
        Use(server);
        HttpClient client;
        client.SetHeader({{"X-Old", "1"}});
        client.SetHeader({{"", "dropped"}, {"X-QX-Caller", "com.talvoro.tv.vemb"}});
        ASSERT_TRUE(client.SetUrl("/apps/a/1", {{"", "skip"}, {"k", "a b&c=d/é"}, {"e", ""}}));
        std::string body;
        ASSERT_TRUE(client.SendHttpRequest(body));

        EXPECT_EQ("{}", body);
        ASSERT_EQ(1u, server.Requests().size());
        HttpRequestRecord request = server.Requests()[0];
        EXPECT_EQ("GET /apps/a/1?e=&k=a%20b%26c%3Dd%2F%C3%A9 HTTP/1.1", request.requestLine);
        EXPECT_EQ(https ? "com.talvoro.tv.vemb" : "", request.headers["X-QX-Caller"]);
        EXPECT_EQ(0u, request.headers.count("X-Old"));
        for (const auto& [header, key] : tvHeader)
            EXPECT_EQ(https ? device.Key(key).substr(2) : "", request.headers[header]) << header;
    }
}

TEST_F(HttpClientTest, TransportFailuresAreGivenUpAndReportedWithTheirCause) {
    struct Case {
        const char* name;
        const char* certificateNames;  // "": plain http
        bool trusted;                  // config/ca.pem holds the server's certificate
        bool listening;
        int delayMs;
        const char* expected;
    };
    const Case cases[] = {
        {"host name mismatch", "DNS:other.invalid", true, true, 0, "[TLS failure"},
        {"certificate not trusted", TRUSTED_NAMES, false, true, 0, "[TLS failure"},
        {"connection refused", "", false, false, 0, "[could not connect"},
        {"stalled server", "", false, true, 10000, "[timed out"},
    };
    setenv("TV_HTTP_TIMEOUT_MS", "600", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LocalHttpServer server(c.certificateNames);
        server.SetReply({200, {"never"}, c.delayMs, 0});
        Use(server, c.trusted);
        if (!c.listening)
            device.Write("config/server_url", LocalHttpServer::ClosedUrl());

        auto start = std::chrono::steady_clock::now();
        std::string body;
        EXPECT_FALSE(Fetch(body));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ("", body);
        EXPECT_TRUE(device.LogHas(std::string("SEND QXCurl::Send ") + c.expected)) << device.Log();
    }
}

}  // namespace
