// HttpClient and the host HTTP client wrapper against a real server on loopback.
#include "HttpClient.h"

#include <cstdlib>
#include <map>

#include "HostCore.h"
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

    // SetUrl and SendHttpRequest, as the app detail worker calls them.
    bool Fetch(std::string& body, const std::map<std::string, std::string>& query = {{"k", "v"}}) {
        HttpClient client;
        return client.SetUrl("/apps/x", query) && client.SendHttpRequest(body);
    }

    TestDevice device;
};

// The query is percent-encoded, its empty keys left out; a completed transfer appends its whole
// body to what the caller holds, whatever the status.
TEST_F(HttpClientTest, CompletedTransferAppendsItsWholeBodyWhateverTheStatus) {
    LocalHttpServer server;
    Use(server);
    for (int status : {200, 404, 500}) {
        SCOPED_TRACE(status);
        server.SetReply({status, "{\"rsp\":{\"stat\":\"ok\",\"n\":1}}", 0});
        std::string body = "kept|";
        ASSERT_TRUE(Fetch(body, {{"", "skip"}, {"k", "a b&c=d/é"}, {"e", ""}}));
        EXPECT_EQ("kept|{\"rsp\":{\"stat\":\"ok\",\"n\":1}}", body);
        EXPECT_TRUE(device.LogHas("GET QXCurl::RESPONSE_CODE [" + std::to_string(status) + "]"));
        EXPECT_EQ("GET /apps/x?e=&k=a%20b%26c%3Dd%2F%C3%A9 HTTP/1.1",
                  server.Requests().back()["line"].asString());
    }
}

// The cap holds to the byte, also for the last piece of a body when it comes alone (the rows
// run in this order: the log line is the second's).
TEST_F(HttpClientTest, BodyUpToItsCapIsTakenAndOneByteMoreStopsTheTransfer) {
    LocalHttpServer server;
    Use(server);
    for (size_t size : {HttpClient::MAX_RESPONSE_SIZE, HttpClient::MAX_RESPONSE_SIZE + 1}) {
        SCOPED_TRACE(size);
        server.SetReply({200, std::string(size, 'x'), 0, 50});
        std::string body;
        bool taken = size <= HttpClient::MAX_RESPONSE_SIZE;
        EXPECT_EQ(taken, Fetch(body));
        EXPECT_EQ(!taken, device.LogHas("> Response larger than 1048576 bytes: transfer stopped"));
        EXPECT_GE(HttpClient::MAX_RESPONSE_SIZE, body.size());
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
        server.SetReply({200, "never", c.delayMs});
        Use(server, c.trusted);
        if (!c.listening)
            device.Write("config/server_url", CLOSED_URL);

        std::string body;
        EXPECT_FALSE(Fetch(body));
        EXPECT_TRUE(device.LogHas(std::string("SEND QXCurl::Send ") + c.expected)) << device.Log();
    }
}

// A second header map replaces the first, an entry without a name left out; a request without a
// path or without parameters is refused before anything is sent.
TEST_F(HttpClientTest, HeadersAreReplacedWholeAndARequestNeedsAPathAndParameters) {
    LocalHttpServer server(TRUSTED_NAMES);
    Use(server);
    HttpClient client;
    EXPECT_FALSE(client.SetUrl("", {{"k", "v"}}));
    EXPECT_TRUE(device.LogHas("> Invalid API path"));
    EXPECT_FALSE(client.SetUrl("/apps/x", {}));
    EXPECT_TRUE(device.LogHas("> empty params"));
    client.SetHeader({{"X-First", "1"}});
    client.SetHeader({{"", "nameless"}, {"X-Second", "2"}});
    EXPECT_TRUE(device.LogHas("> Invalid key"));

    std::string body;
    ASSERT_TRUE(client.SetUrl("/apps/x", {{"k", "v"}}) && client.SendHttpRequest(body));
    ASSERT_EQ(1u, server.Requests().size());
    Json::Value headers = server.Requests()[0]["headers"];
    EXPECT_EQ("2", headers["X-Second"].asString());
    EXPECT_FALSE(headers.isMember("X-First"));
}

// Each step that prepares a transfer can fail: the request is given up with that step's line.
TEST_F(HttpClientTest, FailingPreparationIsLoggedAndNothingIsSent) {
    LocalHttpServer server(TRUSTED_NAMES);
    Use(server);
    const char* const steps[][2] = {{"QXCurlEasy::setOption:17", "HTTPGET"},
                                    {"QXCurlEasy::setOption:75", "Header"},
                                    {"QXCurlEasy::setOmbrixHeader", "TVHeader"},
                                    {"QXCurlEasy::setOption:78", "WRITEFUNCTION"}};
    for (const auto& step : steps) {
        ASSERT_TRUE(tvhost::FaultAdd(step[0], "0", "1")) << step[0];
        std::string body;
        EXPECT_FALSE(Fetch(body)) << step[0];
        EXPECT_TRUE(device.LogHas(std::string("SET QXCurl::") + step[1] + " failed")) << step[0];
    }
    EXPECT_TRUE(server.Requests().empty());
}

}  // namespace
