#include "LocalHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

// A fresh key and a self-signed certificate for `names`, made by the openssl command and
// installed in `tls`; returns its PEM.
std::string InstallSelfSignedCertificate(SSL_CTX* tls, const std::string& names) {
    char dir[] = "/tmp/localhttps-XXXXXX";
    if (!mkdtemp(dir))
        throw std::runtime_error("cannot make a directory for a test certificate");
    std::string key = dir + std::string("/key.pem"), cert = dir + std::string("/cert.pem");
    std::string make =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
        "-days 1 -subj '/CN=brenwick test' -addext 'subjectAltName=" +
        names + "' -keyout " + key + " -out " + cert + " 2>/dev/null";
    bool made = system(make.c_str()) == 0 &&
                SSL_CTX_use_certificate_file(tls, cert.c_str(), SSL_FILETYPE_PEM) == 1 &&
                SSL_CTX_use_PrivateKey_file(tls, key.c_str(), SSL_FILETYPE_PEM) == 1;
    std::ifstream pem(cert);
    std::string text(std::istreambuf_iterator<char>(pem), {});
    std::filesystem::remove_all(dir);
    if (!made)
        throw std::runtime_error("cannot make a test certificate");
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
        if (m_Pause(reply.delayMs))
            Send(fd, ssl,
                 "HTTP/1.1 " + std::to_string(reply.status) +
                     " Reply\r\nContent-Type: application/json\r\nContent-Length: " +
                     std::to_string(reply.body.size()) + "\r\nConnection: close\r\n\r\n" +
                     reply.body);
    }
    if (ssl)
        SSL_shutdown(ssl);
    SSL_free(ssl);
    std::lock_guard<std::mutex> lock(m_mutex);
    close(fd);
    m_servingFd = -1;
}
