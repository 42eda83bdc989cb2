#include "LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <utility>

namespace {

// A fresh key and a self-signed certificate for `names`, installed in `tls`; returns its PEM.
std::string InstallSelfSignedCertificate(SSL_CTX* tls, const std::string& names) {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_set_pubkey(cert, key);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("brenwick test"), -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    for (const auto& [nid, value] : {std::pair<int, std::string>{NID_basic_constraints, "CA:TRUE"},
                                     {NID_subject_alt_name, names}}) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    }
    if (X509_sign(cert, key, EVP_sha256()) == 0 || SSL_CTX_use_certificate(tls, cert) != 1 ||
        SSL_CTX_use_PrivateKey(tls, key) != 1) {
        throw std::runtime_error("cannot make a test certificate");
    }
    BIO* pem = BIO_new(BIO_s_mem());
    PEM_write_bio_X509(pem, cert);
    char* data = nullptr;
    long length = BIO_get_mem_data(pem, &data);
    std::string text(data, static_cast<size_t>(length));
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
    size_t lineEnd = received.find("\r\n");
    request->requestLine = received.substr(0, lineEnd);
    for (size_t begin = lineEnd + 2; (lineEnd = received.find("\r\n", begin)) != begin;
         begin = lineEnd + 2) {
        std::string line = received.substr(begin, lineEnd - begin);
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string value = line.substr(colon + 1);
        request->headers[line.substr(0, colon)] = value.erase(0, value.find_first_not_of(' '));
    }
    return true;
}

// Binds `fd` to an ephemeral loopback port and returns the port.
int BindLoopback(int fd) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
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
    m_baseUrl = (m_tls ? "https://127.0.0.1:" : "http://127.0.0.1:") +
                std::to_string(BindLoopback(m_listenFd));
    if (listen(m_listenFd, 16) != 0)
        throw std::runtime_error("cannot bind and listen on loopback");
    m_acceptThread = std::thread(&LocalHttpServer::m_AcceptLoop, this);
}

LocalHttpServer::~LocalHttpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        // Wakes the accept loop, and connections blocked reading a client that stays silent.
        shutdown(m_listenFd, SHUT_RDWR);
        for (int fd : m_openFds)
            shutdown(fd, SHUT_RDWR);
    }
    m_changed.notify_all();
    m_acceptThread.join();
    for (std::thread& connection : m_connections)
        connection.join();
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

bool LocalHttpServer::WaitForRequests(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_requests.size() >= count; });
}

std::string LocalHttpServer::ClosedUrl() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int port = BindLoopback(fd);
    close(fd);
    return "http://127.0.0.1:" + std::to_string(port);
}

void LocalHttpServer::m_AcceptLoop() {
    for (;;) {
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) {
            if (fd >= 0)
                close(fd);
            return;
        }
        if (fd < 0)
            continue;
        m_openFds.insert(fd);
        m_connections.emplace_back(&LocalHttpServer::m_Serve, this, fd);
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
        m_changed.notify_all();
        go = m_Pause(reply.delayMs) &&
             Send(fd, ssl,
                  "HTTP/1.1 " + std::to_string(reply.status) +
                      " Reply\r\nContent-Type: application/json\r\n"
                      "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n");
        for (size_t i = 0; go && i < reply.pieces.size(); ++i) {
            char size[32];
            snprintf(size, sizeof size, "%zx\r\n", reply.pieces[i].size());
            // An empty chunk would end the body.
            go = (i == 0 || m_Pause(reply.pieceGapMs)) &&
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
    m_openFds.erase(fd);
}
