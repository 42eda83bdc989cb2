#include "LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <memory>
#include <stdexcept>

namespace {

constexpr size_t MAX_REQUEST_BYTES = 64 * 1024;

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos)
        return "";
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

const char* Reason(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 404:
            return "Not Found";
        case 500:
            return "Internal Server Error";
        default:
            return "Status";
    }
}

void AddExtension(X509* cert, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
    if (!extension)
        throw std::runtime_error("bad certificate extension " + value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// A fresh key and a self-signed certificate for the given names, installed in `tls`; returns
// the certificate's PEM.
std::string MakeSelfSignedCertificate(SSL_CTX* tls, const std::string& subjectAltNames) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert)
        throw std::runtime_error("cannot make a key and a certificate");

    unsigned int serial = 0;
    RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
    serial &= 0x7FFFFFFF;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(serial));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
    X509_set_pubkey(cert.get(), key.get());
    // A name of its own, so that another test certificate never passes for this one's issuer.
    std::string commonName = "brenwick test server " + std::to_string(serial);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1,
                               0);
    X509_set_issuer_name(cert.get(), name);
    AddExtension(cert.get(), NID_basic_constraints, "critical,CA:TRUE");
    AddExtension(cert.get(), NID_subject_key_identifier, "hash");
    AddExtension(cert.get(), NID_subject_alt_name, subjectAltNames);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        throw std::runtime_error("cannot sign");

    if (SSL_CTX_use_certificate(tls, cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(tls, key.get()) != 1) {
        throw std::runtime_error("certificate not accepted");
    }
    std::unique_ptr<BIO, decltype(&BIO_free)> pem(BIO_new(BIO_s_mem()), BIO_free);
    PEM_write_bio_X509(pem.get(), cert.get());
    char* data = nullptr;
    long length = BIO_get_mem_data(pem.get(), &data);
    return std::string(data, static_cast<size_t>(length));
}

}  // namespace

std::string HttpRequestRecord::Query() const {
    size_t mark = target.find('?');
    return mark == std::string::npos ? "" : target.substr(mark + 1);
}

bool HttpRequestRecord::HasHeader(const std::string& name) const {
    for (const auto& header : headers) {
        if (Lower(header.first) == Lower(name))
            return true;
    }
    return false;
}

std::string HttpRequestRecord::Header(const std::string& name) const {
    for (const auto& header : headers) {
        if (Lower(header.first) == Lower(name))
            return header.second;
    }
    return "";
}

LocalHttpServer::LocalHttpServer() {
    m_Start();
}

LocalHttpServer::LocalHttpServer(const std::string& subjectAltNames) {
    m_tls = SSL_CTX_new(TLS_server_method());
    if (!m_tls)
        throw std::runtime_error("no TLS context");
    m_certificatePem = MakeSelfSignedCertificate(m_tls, subjectAltNames);
    m_Start();
}

LocalHttpServer::~LocalHttpServer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
        // Wakes connections blocked in a read of a client that stays silent.
        for (int fd : m_openFds)
            shutdown(fd, SHUT_RDWR);
    }
    m_changed.notify_all();
    char wake = 1;
    if (write(m_wakeFds[1], &wake, 1) < 0) {
        // The accept loop also wakes on its own poll time-out.
    }
    if (m_acceptThread.joinable())
        m_acceptThread.join();
    for (std::thread& connection : m_connections)
        connection.join();
    close(m_listenFd);
    close(m_wakeFds[0]);
    close(m_wakeFds[1]);
    if (m_tls)
        SSL_CTX_free(m_tls);
}

void LocalHttpServer::m_Start() {
    // A client that hangs up early must not kill the test process.
    signal(SIGPIPE, SIG_IGN);
    if (pipe(m_wakeFds) != 0)
        throw std::runtime_error("pipe failed");
    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(m_listenFd, 16) != 0) {
        throw std::runtime_error("cannot listen on loopback");
    }
    socklen_t length = sizeof address;
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_acceptThread = std::thread(&LocalHttpServer::m_AcceptLoop, this);
}

std::string LocalHttpServer::BaseUrl() const {
    return std::string(m_tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
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

int LocalHttpServer::ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

void LocalHttpServer::m_AcceptLoop() {
    for (;;) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFds[0], POLLIN, 0}};
        poll(fds, 2, 200);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        m_openFds.push_back(fd);
        m_connections.emplace_back(&LocalHttpServer::m_Serve, this, fd);
    }
}

bool LocalHttpServer::m_Pause(int ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return !m_changed.wait_for(lock, std::chrono::milliseconds(ms), [&] { return m_stopping; });
}

bool LocalHttpServer::m_ReadRequest(int fd, SSL* ssl, HttpRequestRecord* request) {
    std::string received;
    while (received.find("\r\n\r\n") == std::string::npos) {
        if (received.size() > MAX_REQUEST_BYTES)
            return false;
        char buffer[4096];
        int n = ssl ? SSL_read(ssl, buffer, sizeof buffer)
                    : static_cast<int>(recv(fd, buffer, sizeof buffer, 0));
        if (n <= 0)
            return false;
        received.append(buffer, static_cast<size_t>(n));
    }
    received.resize(received.find("\r\n\r\n"));
    size_t lineEnd = received.find("\r\n");
    request->requestLine = received.substr(0, lineEnd);
    size_t targetBegin = request->requestLine.find(' ') + 1;
    size_t targetEnd = request->requestLine.find(' ', targetBegin);
    request->target = request->requestLine.substr(targetBegin, targetEnd - targetBegin);
    while (lineEnd != std::string::npos) {
        size_t begin = lineEnd + 2;
        lineEnd = received.find("\r\n", begin);
        std::string line = received.substr(
            begin, lineEnd == std::string::npos ? std::string::npos : lineEnd - begin);
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        request->headers.emplace_back(line.substr(0, colon), Trim(line.substr(colon + 1)));
    }
    return true;
}

bool LocalHttpServer::m_Write(int fd, SSL* ssl, const std::string& bytes) {
    if (ssl)
        return SSL_write(ssl, bytes.data(), static_cast<int>(bytes.size())) > 0;
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

void LocalHttpServer::m_Serve(int fd) {
    SSL* ssl = nullptr;
    if (m_tls) {
        ssl = SSL_new(m_tls);
        SSL_set_fd(ssl, fd);
    }
    HttpRequestRecord request;
    bool handshakeDone = !ssl || SSL_accept(ssl) == 1;
    if (handshakeDone && m_ReadRequest(fd, ssl, &request)) {
        HttpReply reply;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_requests.push_back(request);
            reply = m_reply;
        }
        m_changed.notify_all();
        bool go = m_Pause(reply.delayMs);
        std::string head = "HTTP/1.1 " + std::to_string(reply.status) + " " + Reason(reply.status) +
                           "\r\nContent-Type: application/json\r\nTransfer-Encoding: chunked\r\n"
                           "Connection: close\r\n\r\n";
        go = go && m_Write(fd, ssl, head);
        for (size_t i = 0; go && i < reply.pieces.size(); ++i) {
            if (i > 0)
                go = m_Pause(reply.pieceGapMs);
            if (reply.pieces[i].empty())
                continue;  // an empty chunk would end the body
            char size[32];
            snprintf(size, sizeof size, "%zx\r\n", reply.pieces[i].size());
            go = go && m_Write(fd, ssl, size + reply.pieces[i] + "\r\n");
        }
        if (go)
            m_Write(fd, ssl, "0\r\n\r\n");
    }
    if (ssl) {
        SSL_shutdown(ssl);
        SSL_free(ssl);
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    shutdown(fd, SHUT_RDWR);
    close(fd);
    for (size_t i = 0; i < m_openFds.size(); ++i) {
        if (m_openFds[i] == fd)
            m_openFds.erase(m_openFds.begin() + static_cast<long>(i));
    }
    ERR_clear_error();
}
