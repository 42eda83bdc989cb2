#include "HttpClient.h"

#include <exception>

#include "Log.h"

using QXCurl::QXCurlEasy;
using QXCurl::QXCurlUtility;

HttpClient::HttpClient() = default;

HttpClient::~HttpClient() = default;

void HttpClient::SetHeader(const std::map<std::string, std::string>& headers) {
    LOGE("");
    if (!m_headers.empty())
        m_headers.clear();
    for (const auto& header : headers) {
        if (header.first.empty()) {
            LOGE("Invalid key");
            continue;
        }
        m_headers.push_back(header.first + ": " + header.second);
    }
}

bool HttpClient::SetUrl(const std::string& apiPath,
                        const std::map<std::string, std::string>& params) {
    if (apiPath.empty()) {
        LOGE("Invalid API path");
        return false;
    }
    if (params.empty()) {
        LOGE("empty params");
        return false;
    }
    try {
        std::string query;
        for (const auto& param : params) {
            if (param.first.empty()) {
                LOGE("Invalid key");
                continue;
            }
            QXCurlUtility::makeQueryString(query, param.first, param.second);
        }
        m_url = QXCurlUtility::makeUri(apiPath, query);
        LOGI("%s", m_url.c_str());
        return true;
    } catch (const std::exception& e) {
        LOGE("Failed to make URL: %s", e.what());
        return false;
    }
}

bool HttpClient::SendHttpRequest(std::string& response) {
    m_writeCallback = &HttpClient::m_WriteDataCallback;
    m_writeData = &response;
    if (!m_curl.Initialize()) {
        LOGE("INIT QXCurl::Initialize failed");
        return false;
    }
    if (!m_SetCurlOption()) {
        LOGE("SET QXCurl::SetOption failed");
        return false;
    }
    if (!m_curl.send()) {
        QXCurl::QXCURL_EASY_ERROR code = m_curl.getErrorCode();
        LOGE("SEND QXCurl::Send [%s]", m_curl.getError(code).c_str());
        return false;
    }
    long responseCode = 0;
    if (m_curl.getInfo(QXCurl::QXCURL_INFO_RESPONSE_CODE, &responseCode)) {
        LOGE("GET QXCurl::RESPONSE_CODE [%ld]", responseCode);
    } else {
        LOGE("GET QXCurl::RESPONSE_CODE failed");
    }
    m_curl.reset();
    return true;
}

bool HttpClient::m_SetCurlOption() {
    const long httpGet = 1;
    if (!m_curl.setOption(QXCurl::QXCURL_OPT_HTTPGET, httpGet)) {
        LOGE("SET QXCurl::HTTPGET failed");
        return false;
    }
    if (!m_curl.setOption(QXCurl::QXCURL_OPT_URL, m_url)) {
        LOGE("SET QXCurl::URL failed");
        return false;
    }
    // The caller and TV headers identify this set to the store site only, never in clear text.
    if (QXCurlUtility::checkIsHttps(m_url)) {
        m_curl.setTalvoroPellorinSSLContext();
        if (!m_curl.setOption(QXCurl::QXCURL_OPT_HTTPHEADER, m_headers)) {
            LOGE("SET QXCurl::Header failed");
            return false;
        }
        if (!m_curl.setOmbrixHeader(QXCurlEasy::HDR_TV)) {
            LOGE("SET QXCurl::TVHeader failed");
            return false;
        }
    }
    if (!m_curl.setOption(QXCurl::QXCURL_OPT_WRITEFUNCTION, m_writeCallback)) {
        LOGE("SET QXCurl::WRITEFUNCTION failed");
        return false;
    }
    if (!m_curl.setOption(QXCurl::QXCURL_OPT_WRITEDATA, m_writeData)) {
        LOGE("SET QXCurl::WRITEDATA failed");
        return false;
    }
    return true;
}

size_t HttpClient::m_WriteDataCallback(char* data, size_t size, size_t count, void* target) {
    LOGE("");
    if (data == nullptr || target == nullptr)
        return 0;
    auto* body = static_cast<std::string*>(target);
    // Taking nothing stops the transfer, which then fails.
    bool fits = body->size() <= MAX_RESPONSE_SIZE &&
                (count == 0 || size <= (MAX_RESPONSE_SIZE - body->size()) / count);
    if (!fits) {
        LOGE("Response larger than %zu bytes: transfer stopped", MAX_RESPONSE_SIZE);
        return 0;
    }
    size_t length = size * count;
    try {
        body->append(data, length);
    } catch (const std::exception& e) {
        LOGE("%s", e.what());
    }
    return length;
}
