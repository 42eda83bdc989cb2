// HTTP client wrapper: one easy handle per transfer, plus helpers that build request URLs.
//
// Host behaviour (the device root is TV_DEVICE_ROOT):
// - makeUri prefixes the path with the store server's base URL, the trimmed first line of
//   ROOT/config/server_url (scheme, host and port), and appends "?" and the query when the
//   query is not empty. It throws std::runtime_error when that file is missing or empty.
// - makeQueryString percent-encodes the key and the value (everything except A-Z a-z 0-9
//   "-._~") and joins pairs with "&".
// - setTalvoroPellorinSSLContext verifies the peer and its host name against ROOT/config/ca.pem
//   when that file exists, against the system's trust anchors otherwise.
// - setOmbrixHeader(HDR_TV) adds these lines from the settings store, each only when its key
//   holds a string: "X-TV-Model: <db/dravo/modelid>", "X-TV-Country: <db/dravo/countrycode>",
//   "X-TV-Firmware: <db/dravo/tesselanversion>".
// - Every transfer has a connect time-out of 5 s and a total time-out of 15 s, so that a dead
//   or stalled server cannot hold the calling thread for ever. TV_HTTP_TIMEOUT_MS, read by
//   Initialize, replaces the total time-out (the connect time-out never exceeds it).
// - Each call that can fail consults the device's fault rules under its own name:
//   "QXCurlEasy::Initialize", "QXCurlEasy::setOption" (any option) or "QXCurlEasy::setOption:N"
//   (option N only), "QXCurlEasy::setTalvoroPellorinSSLContext", "QXCurlEasy::setOmbrixHeader",
//   "QXCurlEasy::send", "QXCurlEasy::getInfo" and "QXCurlUtility::makeUri" (which then throws).
#pragma once

#include <cstddef>
#include <list>
#include <string>

namespace QXCurl {

enum QXCURL_OPTION_TYPE {
    QXCURL_OPT_HTTPGET = 17,        // const long&: 1 selects GET
    QXCURL_OPT_URL = 50,            // const std::string&
    QXCURL_OPT_HTTPHEADER = 75,     // const std::list<std::string>&: "Name: value" lines
    QXCURL_OPT_WRITEFUNCTION = 78,  // QXCurlWriteCallback: receives the body piece by piece
    QXCURL_OPT_WRITEDATA = 86,      // void*: the target handed to the write callback
};

enum QXCURL_EASY_ERROR : int {
    QXCURL_EASY_OK = 0,
    QXCURL_EASY_NOT_INITIALIZED = 1,
    QXCURL_EASY_BAD_OPTION = 2,
    QXCURL_EASY_CONNECT_FAILED = 3,  // name not resolved, connection refused or unreachable
    QXCURL_EASY_TIMEOUT = 4,
    QXCURL_EASY_TLS_FAILED = 5,    // handshake failed, peer or host name not trusted
    QXCURL_EASY_WRITE_FAILED = 6,  // the write callback took fewer bytes than offered
    QXCURL_EASY_TRANSFER_FAILED = 7,
    QXCURL_EASY_FAULT = 8,  // failed by a fault rule of the device
};

enum QXCURL_INFO_TYPE {
    QXCURL_INFO_RESPONSE_CODE = 8,  // long*: HTTP status of the last transfer
};

using QXCurlWriteCallback = size_t (*)(char* data, size_t size, size_t count, void* target);

class QXCurlEasy {
  public:
    enum t_HdrOption {
        HDR_TV = 1,  // the TV identification lines listed above
    };

    QXCurlEasy();
    ~QXCurlEasy();
    QXCurlEasy(const QXCurlEasy&) = delete;
    QXCurlEasy& operator=(const QXCurlEasy&) = delete;

    // Makes the handle ready for options, with the default time-outs.
    bool Initialize();

    bool setOption(QXCURL_OPTION_TYPE option, const long& value);
    bool setOption(QXCURL_OPTION_TYPE option, const std::string& value);
    bool setOption(QXCURL_OPTION_TYPE option, const std::list<std::string>& value);
    bool setOption(QXCURL_OPTION_TYPE option, QXCurlWriteCallback value);
    bool setOption(QXCURL_OPTION_TYPE option, void* value);

    bool setTalvoroPellorinSSLContext();
    bool setOmbrixHeader(t_HdrOption option);

    // Performs the transfer on the calling thread; true when it completed, whatever the HTTP
    // status.
    bool send();
    QXCURL_EASY_ERROR getErrorCode() const;
    std::string getError(QXCURL_EASY_ERROR code) const;
    bool getInfo(QXCURL_INFO_TYPE info, long* value);

    // Back to the state of a new handle: options, header lines and error forgotten.
    void reset();

  private:
    bool m_Fail(QXCURL_EASY_ERROR code, const std::string& detail);
    // The fault rules and the initialization every setOption checks first.
    bool m_OptionAllowed(QXCURL_OPTION_TYPE option);

    void* m_handle = nullptr;       // CURL*, kept out of this header
    void* m_sentHeaders = nullptr;  // curl_slist* of the last transfer
    bool m_initialized = false;
    std::list<std::string> m_headerLines;
    std::list<std::string> m_tvHeaderLines;
    QXCURL_EASY_ERROR m_errorCode = QXCURL_EASY_OK;
    std::string m_errorDetail;
    char m_errorBuffer[256] = {};  // the transfer library's message of the last failure
};

class QXCurlUtility {
  public:
    static void makeQueryString(std::string& query, const std::string& key,
                                const std::string& value);
    static std::string makeUri(const std::string& path, const std::string& query);
    static bool checkIsHttps(std::string url);
};

}  // namespace QXCurl
