// A small HTTP or HTTPS server on 127.0.0.1 with an ephemeral port, for tests of the HTTP client:
// it answers every request with the current reply and records what it received. It serves one
// connection at a time, which is all a single client needs.
#pragma once

#include <openssl/ssl.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Where nothing listens, as on a fresh device. A port freed by a server that is gone is not: a
// test running in parallel may be given it for its own server.
constexpr const char* CLOSED_URL = "http://127.0.0.1:9";

struct HttpReply {
    int status = 200;
    std::string body;
    int delayMs = 0;  // pause after the request arrived, before the status line
};

struct HttpRequestRecord {
    std::string requestLine;                     // e.g. "GET /a?b=c HTTP/1.1"
    std::map<std::string, std::string> headers;  // by name, as sent
};

class LocalHttpServer {
  public:
    // Plain HTTP when `certificateNames` is empty; otherwise HTTPS with a self-signed certificate
    // made now for those subject names (e.g. "DNS:localhost,IP:127.0.0.1").
    explicit LocalHttpServer(const std::string& certificateNames = "");
    ~LocalHttpServer();

    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
    const std::string& BaseUrl() const { return m_baseUrl; }
    // The certificate in PEM, "" for plain HTTP: trust it by writing it to config/ca.pem.
    const std::string& CertificatePem() const { return m_certificatePem; }

    void SetReply(const HttpReply& reply);
    std::vector<HttpRequestRecord> Requests() const;

  private:
    void m_AcceptLoop();
    void m_Serve(int fd);
    // Sleeps up to `ms`; false when the server is stopping.
    bool m_Pause(int ms);

    int m_listenFd = -1;
    std::string m_baseUrl;
    SSL_CTX* m_tls = nullptr;
    std::string m_certificatePem;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    int m_servingFd = -1;
    HttpReply m_reply;
    std::vector<HttpRequestRecord> m_requests;
    std::thread m_acceptThread;
};
