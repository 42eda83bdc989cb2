// One HTTP GET through the platform's HTTP client wrapper, body collected into a string.
#pragma once

#include <qxcurl.h>

#include <cstddef>
#include <list>
#include <map>
#include <string>

class HttpClient {
  public:
    // The largest body taken; past it the transfer is stopped and fails. Release notes are a few
    // kilobytes, and an endless or huge answer must not grow a service that runs for years
    // beyond its memory, so the body is bounded although the body is otherwise taken whole.
    static constexpr size_t MAX_RESPONSE_SIZE = size_t{1024} * 1024;

    HttpClient();
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // Header lines "name: value"; sent only on https.
    void SetHeader(const std::map<std::string, std::string>& headers);
    bool SetUrl(const std::string& apiPath, const std::map<std::string, std::string>& params);
    // True when the transfer completed, whatever its HTTP status; the body is appended.
    bool SendHttpRequest(std::string& response);

  private:
    bool m_SetCurlOption();
    static size_t m_WriteDataCallback(char* data, size_t size, size_t count, void* target);

    std::string m_url;
    std::list<std::string> m_headers;
    QXCurl::QXCurlWriteCallback m_writeCallback = nullptr;
    void* m_writeData = nullptr;
    QXCurl::QXCurlEasy m_curl;
};
