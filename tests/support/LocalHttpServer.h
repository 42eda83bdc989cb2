// A small HTTP or HTTPS server on 127.0.0.1 with an ephemeral port, for tests of the HTTP client:
// it answers every request with the current reply and records what it received.
#pragma once

#include <openssl/ssl.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct HttpReply {
    int status = 200;
    // The body, sent as one HTTP chunk per piece with a pause between pieces.
    std::vector<std::string> pieces;
    int delayMs = 0;  // pause after the request arrived, before the status line
    int pieceGapMs = 30;
};

struct HttpRequestRecord {
    std::string requestLine;                                   // e.g. "GET /a?b=c HTTP/1.1"
    std::string target;                                        // path and query
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received

    std::string Path() const { return target.substr(0, target.find('?')); }
    std::string Query() const;
    bool HasHeader(const std::string& name) const;
    // Value of the first header of that name (any letter case), "" when absent.
    std::string Header(const std::string& name) const;
};

class LocalHttpServer {
  public:
    // Plain HTTP.
    LocalHttpServer();
    // HTTPS with a self-signed certificate made now for `subjectAltNames`
    // (e.g. "DNS:localhost,IP:127.0.0.1").
    explicit LocalHttpServer(const std::string& subjectAltNames);
    ~LocalHttpServer();
    LocalHttpServer(const LocalHttpServer&) = delete;
    LocalHttpServer& operator=(const LocalHttpServer&) = delete;

    int Port() const { return m_port; }
    // "http://127.0.0.1:PORT" or "https://127.0.0.1:PORT".
    std::string BaseUrl() const;
    // The certificate in PEM, "" for plain HTTP: trust it by writing it to config/ca.pem.
    const std::string& CertificatePem() const { return m_certificatePem; }

    void SetReply(const HttpReply& reply);
    std::vector<HttpRequestRecord> Requests() const;
    // True once `count` requests have arrived (before their replies are sent).
    bool WaitForRequests(size_t count, int timeoutMs) const;

    // A loopback port where nothing listens.
    static int ClosedPort();

  private:
    void m_Start();
    void m_AcceptLoop();
    void m_Serve(int fd);
    bool m_ReadRequest(int fd, SSL* ssl, HttpRequestRecord* request);
    bool m_Write(int fd, SSL* ssl, const std::string& bytes);
    // Sleeps up to `ms`; false when the server is stopping.
    bool m_Pause(int ms);

    int m_listenFd = -1;
    int m_wakeFds[2] = {-1, -1};
    int m_port = 0;
    SSL_CTX* m_tls = nullptr;
    std::string m_certificatePem;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    bool m_stopping = false;
    HttpReply m_reply;
    std::vector<HttpRequestRecord> m_requests;
    std::vector<int> m_openFds;
    std::vector<std::thread> m_connections;
    std::thread m_acceptThread;
};
