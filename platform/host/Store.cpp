// The store service's client calls on the host, over store/ under the device root. Every call
// is journaled in log/store.jsonl with its result, a faulted one included.
// pax_add_recovery_action lives with app control, which owns the handle's data.
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "HostCore.h"
#include "dlog.h"
#include "pax_manager_api.h"

namespace {

void Journal(const char* call, int result) {
    tvhost::JournalAppend("store.jsonl", {{"call", call}, {"result", result}});
}

// A whole-file decimal integer, surrounding white space allowed.
bool ParseStatus(const std::string& text, int* status) {
    const char* begin = text.c_str();
    char* end = nullptr;
    errno = 0;
    long value = strtol(begin, &end, 10);
    if (end == begin || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\n' || *end == '\r')
        ++end;
    if (*end != '\0')
        return false;
    *status = static_cast<int>(value);
    return true;
}

int SyncStatus(int* status) {
    std::string text;
    if (!status || !tvhost::ReadWholeFile(tvhost::RootPath("store/sync_status"), &text))
        return -1;
    return ParseStatus(text, status) ? 0 : -1;
}

int MajorFileInfo(char** json) {
    std::string text;
    if (!json || !tvhost::ReadWholeFile(tvhost::RootPath("store/major_file_info.json"), &text))
        return -1;
    // The text goes out as a C string: cut at a NUL byte it would reach the caller as other,
    // shorter text, so such a file is refused as the store service refuses what it cannot read.
    if (text.find('\0') != std::string::npos) {
        tvhost::HostLog(DLOG_WARN, "TVHOST",
                        "store/major_file_info.json holds a NUL byte; pax_get_major_file_info "
                        "fails");
        return -1;
    }
    *json = strdup(text.c_str());
    return *json ? 0 : -1;
}

}  // namespace

extern "C" {

int pax_get_apps_sync_status(int* status) {
    int result = 0;
    if (!tvhost::FaultHit("pax_get_apps_sync_status", &result))
        result = SyncStatus(status);
    Journal("pax_get_apps_sync_status", result);
    return result;
}

// The store service answers through the status key, not through this result, so the request
// is accepted whether or not a store (`tvctl store serve`) is listening: without one it is only
// journaled, as a request the store never acted on.
int pax_request_priority_update(void) {
    int result = 0;
    bool faulted = tvhost::FaultHit("pax_request_priority_update", &result);
    // Journaled first: the store's answers in the status key come after the request.
    Journal("pax_request_priority_update", result);
    if (faulted)
        return result;
    Json::Value message(Json::objectValue);
    message["kind"] = "priority_update_request";
    message["caller"] = tvhost::SelfAppId();
    tvhost::SendToApp(tvhost::STORE_APP_ID, message);
    return 0;
}

int pax_get_major_file_info(char** json) {
    if (json)
        *json = nullptr;
    int result = 0;
    if (!tvhost::FaultHit("pax_get_major_file_info", &result))
        result = MajorFileInfo(json);
    Journal("pax_get_major_file_info", result);
    return result;
}

}  // extern "C"
