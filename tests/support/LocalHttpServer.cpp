#include "LocalHttpServer.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "TestDevice.h"

LocalHttpServer::LocalHttpServer(const std::string& certificateNames) {
    m_folder = (std::filesystem::temp_directory_path() / "localhttp-XXXXXX").string();
    if (!mkdtemp(&m_folder[0]))
        throw std::runtime_error("cannot make the HTTP server's folder");
    SetReply({});
    std::vector<std::string> argv{
        "/usr/bin/python3", PROJECT_SOURCE_DIR "/tests/support/local_http_server.py", m_folder};
    if (!certificateNames.empty())
        argv.push_back(certificateNames);
    Spawn("", argv);
    if (!WaitUntil([&] { return !TestDevice::ReadFile(m_folder + "/port").empty(); }, 10000))
        throw std::runtime_error("the HTTP server did not start");
    m_baseUrl = std::string(certificateNames.empty() ? "http" : "https") +
                "://127.0.0.1:" + TestDevice::ReadFile(m_folder + "/port");
    m_certificatePem = TestDevice::ReadFile(m_folder + "/cert.pem");
}

LocalHttpServer::~LocalHttpServer() {
    Kill();
    std::filesystem::remove_all(m_folder);
}

void LocalHttpServer::SetReply(const HttpReply& reply) {
    Json::Value value;
    value["status"] = reply.status;
    value["body"] = reply.body;
    value["delayMs"] = reply.delayMs;
    value["lastByteDelayMs"] = reply.lastByteDelayMs;
    std::ofstream(m_folder + "/reply.json.tmp")
        << Json::writeString(Json::StreamWriterBuilder(), value);
    std::rename((m_folder + "/reply.json.tmp").c_str(), (m_folder + "/reply.json").c_str());
}

std::vector<Json::Value> LocalHttpServer::Requests() const {
    std::vector<Json::Value> requests;
    std::stringstream lines(TestDevice::ReadFile(m_folder + "/requests.jsonl"));
    for (std::string line; std::getline(lines, line);) {
        requests.emplace_back();
        ParseJson(line, &requests.back());
    }
    return requests;
}
