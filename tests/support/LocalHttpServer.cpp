#include "LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <sstream>
#include <stdexcept>

namespace {

// A fresh key and a self-signed certificate for `names`, installed in `tls`; returns its PEM.
std::string InstallSelfSignedCertificate(SSL_CTX* tls, const std::string& names) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("brenwick test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx{};
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* altNames =
        X509V3_EXT_conf_nid(nullptr, &ctx, NID_subject_alt_name, names.c_str());
    X509_add_ext(cert, altNames, -1);
    X509_EXTENSION_free(altNames);
    BIO* pem = BIO_new(BIO_s_mem());
    if (X509_sign(cert, key, EVP_sha256()) == 0 || SSL_CTX_use_certificate(tls, cert) != 1 ||
        SSL_CTX_use_PrivateKey(tls, key) != 1 || PEM_write_bio_X509(pem, cert) != 1) {
        throw std::runtime_error("cannot make a test certificate");
    }
    char* data = nullptr;
    std::string text(data, static_cast<size_t>(BIO_get_mem_data(pem, &data)));
    BIO_free(pem);
    X509_free(cert);
    EVP_PKEY_free(key);
    return text;
}

bool Send(int fd, SSL* ssl, const std::string& bytes) {
    if (ssl)
        return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

bool ReadRequest(int fd, SSL* ssl, HttpRequestRecord* request) {
    std::string received;
    char buffer[4096];
    while (received.find("\r\n\r\n") == std::string::npos) {
        int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                    : static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
        if (n <= 0 || received.size() > 65536)
            return false;
        received.append(buffer, static_cast<size_t>(n));
    }
    // Every line of the head ends in "\r\n"; the request line comes first.
    std::istringstream head(received.substr(0, received.find("\r\n\r\n") + 2));
    std::string line;
    for (std::getline(head, request->requestLine); std::getline(head, line);) {
        size_t colon = line.find(": ");
        if (colon != std::string::npos)
            request->headers[line.substr(0, colon)] =
                line.substr(colon + 2, line.size() - colon - 3);
    }
    request->requestLine.pop_back();
    return true;
}

}  // namespace

LocalHttpServer::LocalHttpServer(const std::string& certificateNames) {
    if (!certificateNames.empty()) {
        m_tls = SSL_CTX_new(TLS_server_method());
        m_certificatePem = InstallSelfSignedCertificate(m_tls, certificateNames);
    }
    // A client that hangs up early must not kill the test process.
    signal(SIGPIPE, SIG_IGN);
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};  // port 0: the system picks a free one
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        listen(m_listenFd, 16) != 0 ||
        getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error("cannot bind and listen on loopback");
    }
    m_baseUrl = (m_tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                std::to_string(ntohs(address.sin_port));
    m_acceptThread = std::thread(&LocalHttpServer::m_AcceptLoop, this);
}

LocalHttpServer::~LocalHttpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        // Wakes the accept loop, or the connection it serves if that waits on a silent client.
        shutdown(m_listenFd, SHUT_RDWR);
        shutdown(m_servingFd, SHUT_RDWR);
    }
    m_changed.notify_all();
    m_acceptThread.join();
    close(m_listenFd);
    SSL_CTX_free(m_tls);
}

void LocalHttpServer::SetReply(const HttpReply& reply) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reply = reply;
}

std::vector<HttpRequestRecord> LocalHttpServer::Requests() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

void LocalHttpServer::m_AcceptLoop() {
    for (;;) {
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stopping) {
                close(fd);
                return;
            }
            m_servingFd = fd;
        }
        if (fd >= 0)
            m_Serve(fd);
    }
}

bool LocalHttpServer::m_Pause(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping; });
}

void LocalHttpServer::m_Serve(int fd) {
    SSL* ssl = m_tls ? SSL_new(m_tls) : nullptr;
    HttpRequestRecord request;
    bool go = !ssl || (SSL_set_fd(ssl, fd) == 1 && SSL_accept(ssl) == 1);
    if (go && ReadRequest(fd, ssl, &request)) {
        HttpReply reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
            reply = m_reply;
        }
        go = m_Pause(reply.delayMs) &&
             Send(fd, ssl,
                  "HTTP/1.1 " + std::to_string(reply.status) +
                      " Reply\r\nContent-Type: application/json\r\n"
                      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        for (size_t i = 0; go && i < reply.pieces.size(); ++i) {
            char size[32];
            snprintf(size, sizeof size, "%zx\r\n", reply.pieces[i].size());
            // An empty chunk would end the body.
            go = (i == 0 || m_Pause(30)) &&
                 (reply.pieces[i].empty() || Send(fd, ssl, size + reply.pieces[i] + "\r\n"));
        }
        if (go)
            Send(fd, ssl, "0\r\n\r\n");
    }
    if (ssl)
        SSL_shutdown(ssl);
    SSL_free(ssl);
    std::lock_guard<std::mutex> lock(m_mutex);
    close(fd);
    m_servingFd = -1;
}
