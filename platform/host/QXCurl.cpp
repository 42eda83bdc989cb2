// The HTTP client wrapper over libcurl. Behaviour that callers rely on is described in qxcurl.h.
#include "qxcurl.h"

#include <curl/curl.h>

#include <sys/stat.h>
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "HostCore.h"
#include "vconf.h"

namespace QXCurl {

namespace {

constexpr long CONNECT_TIMEOUT_MS = 5000;
constexpr long TOTAL_TIMEOUT_MS = 15000;

static_assert(CURL_ERROR_SIZE <= 256, "error buffer of QXCurlEasy is too small");

CURL* Handle(void* handle) {
    return static_cast<CURL*>(handle);
}

void GlobalInitOnce() {
    // libcurl's global set-up is not safe to run from two threads at once.
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

}  // namespace
}  // namespace QXCurl

namespace tvhost {

void PrepareHttp() {
    QXCurl::GlobalInitOnce();
    // A handle's creation and disposal page in most of the library's code a transfer runs.
    curl_easy_cleanup(curl_easy_init());
}

}  // namespace tvhost

namespace QXCurl {
namespace {

long TotalTimeoutMs() {
    const char* text = getenv("TV_HTTP_TIMEOUT_MS");
    if (!text || !*text)
        return TOTAL_TIMEOUT_MS;
    char* end = nullptr;
    long value = strtol(text, &end, 10);
    if (*end != '\0' || value <= 0)
        return TOTAL_TIMEOUT_MS;
    return value;
}

QXCURL_EASY_ERROR FromCurlCode(CURLcode code) {
    switch (code) {
        case CURLE_OK:
            return QXCURL_EASY_OK;
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
        case CURLE_COULDNT_CONNECT:
            return QXCURL_EASY_CONNECT_FAILED;
        case CURLE_OPERATION_TIMEDOUT:
            return QXCURL_EASY_TIMEOUT;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_ISSUER_ERROR:
            return QXCURL_EASY_TLS_FAILED;
        case CURLE_WRITE_ERROR:
            return QXCURL_EASY_WRITE_FAILED;
        default:
            return QXCURL_EASY_TRANSFER_FAILED;
    }
}

const char* ErrorName(QXCURL_EASY_ERROR code) {
    switch (code) {
        case QXCURL_EASY_OK:
            return "no error";
        case QXCURL_EASY_NOT_INITIALIZED:
            return "handle not initialized";
        case QXCURL_EASY_BAD_OPTION:
            return "option refused";
        case QXCURL_EASY_CONNECT_FAILED:
            return "could not connect";
        case QXCURL_EASY_TIMEOUT:
            return "timed out";
        case QXCURL_EASY_TLS_FAILED:
            return "TLS failure";
        case QXCURL_EASY_WRITE_FAILED:
            return "body not taken";
        case QXCURL_EASY_TRANSFER_FAILED:
            return "transfer failed";
        case QXCURL_EASY_FAULT:
            return "failed by fault rule";
    }
    return "unknown error";
}

// Sink for transfers whose caller set no write function: libcurl's own default would write
// to the target as a FILE*.
size_t DiscardBody(char*, size_t size, size_t count, void*) {
    return size * count;
}

std::string WithoutLineBreaks(std::string text) {
    text.erase(
        std::remove_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }),
        text.end());
    return text;
}

std::string Trim(const std::string& text) {
    size_t begin = 0;
    while (begin < text.size() && isspace(static_cast<unsigned char>(text[begin])))
        ++begin;
    size_t end = text.size();
    while (end > begin && isspace(static_cast<unsigned char>(text[end - 1])))
        --end;
    return text.substr(begin, end - begin);
}

std::string PercentEncode(const std::string& text) {
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (char byte : text) {
        auto c = static_cast<unsigned char>(byte);
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0x0F];
        }
    }
    return encoded;
}

}  // namespace

QXCurlEasy::QXCurlEasy() = default;

QXCurlEasy::~QXCurlEasy() {
    if (m_handle)
        curl_easy_cleanup(Handle(m_handle));
    curl_slist_free_all(static_cast<curl_slist*>(m_sentHeaders));
}

bool QXCurlEasy::m_Fail(QXCURL_EASY_ERROR code, const std::string& detail) {
    m_errorCode = code;
    m_errorDetail = detail;
    return false;
}

bool QXCurlEasy::m_OptionAllowed(QXCURL_OPTION_TYPE option) {
    std::string optionCall = "QXCurlEasy::setOption:" + std::to_string(static_cast<int>(option));
    if (tvhost::FaultHit("QXCurlEasy::setOption") || tvhost::FaultHit(optionCall.c_str()))
        return m_Fail(QXCURL_EASY_FAULT, "setOption");
    if (!m_initialized)
        return m_Fail(QXCURL_EASY_NOT_INITIALIZED, "setOption");
    return true;
}

bool QXCurlEasy::Initialize() {
    if (tvhost::FaultHit("QXCurlEasy::Initialize"))
        return m_Fail(QXCURL_EASY_FAULT, "Initialize");
    GlobalInitOnce();
    if (!m_handle)
        m_handle = curl_easy_init();
    if (!m_handle)
        return m_Fail(QXCURL_EASY_NOT_INITIALIZED, "no transfer handle");

    CURL* curl = Handle(m_handle);
    long totalMs = TotalTimeoutMs();
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, totalMs);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, std::min(CONNECT_TIMEOUT_MS, totalMs));
    // Time-outs by signal would hit whichever thread the signal lands on.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DiscardBody);
    m_initialized = true;
    m_errorCode = QXCURL_EASY_OK;
    m_errorDetail.clear();
    return true;
}

bool QXCurlEasy::setOption(QXCURL_OPTION_TYPE option, const long& value) {
    if (!m_OptionAllowed(option))
        return false;
    if (option != QXCURL_OPT_HTTPGET)
        return m_Fail(QXCURL_EASY_BAD_OPTION, "not a number option");
    if (curl_easy_setopt(Handle(m_handle), CURLOPT_HTTPGET, value) != CURLE_OK) {
        return m_Fail(QXCURL_EASY_BAD_OPTION, "HTTPGET");
    }
    return true;
}

bool QXCurlEasy::setOption(QXCURL_OPTION_TYPE option, const std::string& value) {
    if (!m_OptionAllowed(option))
        return false;
    if (option != QXCURL_OPT_URL)
        return m_Fail(QXCURL_EASY_BAD_OPTION, "not a text option");
    if (curl_easy_setopt(Handle(m_handle), CURLOPT_URL, value.c_str()) != CURLE_OK) {
        return m_Fail(QXCURL_EASY_BAD_OPTION, "URL");
    }
    return true;
}

bool QXCurlEasy::setOption(QXCURL_OPTION_TYPE option, const std::list<std::string>& value) {
    if (!m_OptionAllowed(option))
        return false;
    if (option != QXCURL_OPT_HTTPHEADER)
        return m_Fail(QXCURL_EASY_BAD_OPTION, "not a list option");
    m_headerLines.clear();
    for (const std::string& line : value)
        m_headerLines.push_back(WithoutLineBreaks(line));
    return true;
}

bool QXCurlEasy::setOption(QXCURL_OPTION_TYPE option, QXCurlWriteCallback value) {
    if (!m_OptionAllowed(option))
        return false;
    if (option != QXCURL_OPT_WRITEFUNCTION || !value) {
        return m_Fail(QXCURL_EASY_BAD_OPTION, "not a write function");
    }
    if (curl_easy_setopt(Handle(m_handle), CURLOPT_WRITEFUNCTION, value) != CURLE_OK) {
        return m_Fail(QXCURL_EASY_BAD_OPTION, "WRITEFUNCTION");
    }
    return true;
}

bool QXCurlEasy::setOption(QXCURL_OPTION_TYPE option, void* value) {
    if (!m_OptionAllowed(option))
        return false;
    if (option != QXCURL_OPT_WRITEDATA)
        return m_Fail(QXCURL_EASY_BAD_OPTION, "not a pointer option");
    if (curl_easy_setopt(Handle(m_handle), CURLOPT_WRITEDATA, value) != CURLE_OK) {
        return m_Fail(QXCURL_EASY_BAD_OPTION, "WRITEDATA");
    }
    return true;
}

bool QXCurlEasy::setTalvoroPellorinSSLContext() {
    if (tvhost::FaultHit("QXCurlEasy::setTalvoroPellorinSSLContext")) {
        return m_Fail(QXCURL_EASY_FAULT, "setTalvoroPellorinSSLContext");
    }
    if (!m_initialized)
        return m_Fail(QXCURL_EASY_NOT_INITIALIZED, "setTalvoroPellorinSSLContext");
    CURL* curl = Handle(m_handle);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    std::string anchors = tvhost::RootPath("config/ca.pem");
    struct stat info;
    if (stat(anchors.c_str(), &info) == 0 &&
        curl_easy_setopt(curl, CURLOPT_CAINFO, anchors.c_str()) != CURLE_OK) {
        return m_Fail(QXCURL_EASY_TLS_FAILED, "trust anchors not accepted");
    }
    return true;
}

bool QXCurlEasy::setOmbrixHeader(t_HdrOption option) {
    if (tvhost::FaultHit("QXCurlEasy::setOmbrixHeader"))
        return m_Fail(QXCURL_EASY_FAULT, "setOmbrixHeader");
    if (!m_initialized)
        return m_Fail(QXCURL_EASY_NOT_INITIALIZED, "setOmbrixHeader");
    if (option != HDR_TV)
        return m_Fail(QXCURL_EASY_BAD_OPTION, "unknown header set");
    static const std::pair<const char*, const char*> lines[] = {
        {"X-TV-Model", "db/dravo/modelid"},
        {"X-TV-Country", "db/dravo/countrycode"},
        {"X-TV-Firmware", "db/dravo/tesselanversion"},
    };
    m_tvHeaderLines.clear();
    for (const auto& line : lines) {
        char* value = vconf_get_str(line.second);
        if (!value)
            continue;
        m_tvHeaderLines.push_back(std::string(line.first) + ": " + WithoutLineBreaks(value));
        free(value);
    }
    return true;
}

bool QXCurlEasy::send() {
    if (tvhost::FaultHit("QXCurlEasy::send"))
        return m_Fail(QXCURL_EASY_FAULT, "send");
    if (!m_initialized)
        return m_Fail(QXCURL_EASY_NOT_INITIALIZED, "send");
    CURL* curl = Handle(m_handle);

    curl_slist* headers = nullptr;
    for (const auto* lines : {&m_headerLines, &m_tvHeaderLines}) {
        for (const std::string& line : *lines) {
            curl_slist* grown = curl_slist_append(headers, line.c_str());
            if (!grown) {
                curl_slist_free_all(headers);
                return m_Fail(QXCURL_EASY_TRANSFER_FAILED, "out of memory for header lines");
            }
            headers = grown;
        }
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_slist_free_all(static_cast<curl_slist*>(m_sentHeaders));
    m_sentHeaders = headers;

    m_errorBuffer[0] = '\0';
    CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        std::string detail = m_errorBuffer[0] ? m_errorBuffer : curl_easy_strerror(result);
        return m_Fail(FromCurlCode(result), detail);
    }
    m_errorCode = QXCURL_EASY_OK;
    m_errorDetail.clear();
    return true;
}

QXCURL_EASY_ERROR QXCurlEasy::getErrorCode() const {
    return m_errorCode;
}

std::string QXCurlEasy::getError(QXCURL_EASY_ERROR code) const {
    std::string text = ErrorName(code);
    if (code == m_errorCode && !m_errorDetail.empty())
        text += ": " + m_errorDetail;
    return text;
}

bool QXCurlEasy::getInfo(QXCURL_INFO_TYPE info, long* value) {
    if (tvhost::FaultHit("QXCurlEasy::getInfo"))
        return false;
    if (!m_handle || !value || info != QXCURL_INFO_RESPONSE_CODE)
        return false;
    long code = 0;
    if (curl_easy_getinfo(Handle(m_handle), CURLINFO_RESPONSE_CODE, &code) != CURLE_OK)
        return false;
    *value = code;
    return true;
}

void QXCurlEasy::reset() {
    if (m_handle)
        curl_easy_reset(Handle(m_handle));
    curl_slist_free_all(static_cast<curl_slist*>(m_sentHeaders));
    m_sentHeaders = nullptr;
    m_initialized = false;
    m_headerLines.clear();
    m_tvHeaderLines.clear();
    m_errorCode = QXCURL_EASY_OK;
    m_errorDetail.clear();
    m_errorBuffer[0] = '\0';
}

void QXCurlUtility::makeQueryString(std::string& query, const std::string& key,
                                    const std::string& value) {
    if (!query.empty())
        query += '&';
    query += PercentEncode(key) + '=' + PercentEncode(value);
}

std::string QXCurlUtility::makeUri(const std::string& path, const std::string& query) {
    if (tvhost::FaultHit("QXCurlUtility::makeUri"))
        throw std::runtime_error("makeUri failed by fault rule");
    std::string file = tvhost::RootPath("config/server_url");
    std::string text;
    if (!tvhost::ReadWholeFile(file, &text))
        throw std::runtime_error("no server address: " + file);
    std::string base = Trim(text.substr(0, text.find('\n')));
    if (base.empty())
        throw std::runtime_error("empty server address: " + file);
    if (base.back() == '/' && !path.empty() && path.front() == '/')
        base.pop_back();
    std::string uri = base + path;
    if (!query.empty())
        uri += "?" + query;
    return uri;
}

bool QXCurlUtility::checkIsHttps(std::string url) {
    static const std::string scheme = "https://";
    if (url.size() < scheme.size())
        return false;
    for (size_t i = 0; i < scheme.size(); ++i) {
        if (tolower(static_cast<unsigned char>(url[i])) != scheme[i])
            return false;
    }
    return true;
}

}  // namespace QXCurl
