// A small HTTP or HTTPS server on 127.0.0.1 with an ephemeral port, for tests of the HTTP client:
// it answers every request with the current reply and records what it received. It runs in a
// process of its own, `local_http_server.py FOLDER [NAMES]`, which answers with FOLDER/reply.json,
// appends each request to FOLDER/requests.jsonl, and writes its port to FOLDER/port once it
// listens; with subject NAMES it serves HTTPS with a certificate it makes, FOLDER/cert.pem.
#pragma once

#include <json/json.h>

#include <string>
#include <vector>

#include "ChildProcess.h"

// Where nothing listens, as on a fresh device. A port freed by a server that is gone is not: a
// test running in parallel may be given it for its own server.
constexpr const char* CLOSED_URL = "http://127.0.0.1:9";

struct HttpReply {
    int status = 200;
    std::string body;
    int delayMs = 0;          // pause after the request arrived, before the status line
    int lastByteDelayMs = 0;  // when set, the body's last byte goes alone, this long after the rest
};

class LocalHttpServer : ChildProcess {
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
    // Each request received: its "line" (e.g. "GET /a?b=c HTTP/1.1") and its "headers" by name.
    std::vector<Json::Value> Requests() const;

  private:
    std::string m_folder;
    std::string m_baseUrl;
    std::string m_certificatePem;
};
