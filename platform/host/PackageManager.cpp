// The package manager on the host: packages/PKGID, whose first line is the package version.
#include <cstring>
#include <memory>
#include <string>

#include "HostCore.h"
#include "package_manager.h"

struct package_info_s {
    std::string id;
    std::string version;
};

namespace {

bool Faulted(const char* call, int* result) {
    long faulted = 0;
    if (!tvhost::FaultHit(call, &faulted))
        return false;
    *result = static_cast<int>(faulted);
    return true;
}

bool PlainName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos;
}

std::string FirstLine(const std::string& text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

}  // namespace

extern "C" {

int package_manager_get_package_info(const char* package_id, package_info_h* info) {
    if (info)
        *info = nullptr;
    int result = 0;
    if (Faulted("package_manager_get_package_info", &result))
        return result;
    if (!package_id || !info)
        return PKGMGR_ERR_INVALID_PARAMETER;
    std::string text;
    if (!PlainName(package_id) ||
        !tvhost::ReadWholeFile(tvhost::RootPath(std::string("packages/") + package_id), &text))
        return PKGMGR_ERR_NO_SUCH_PACKAGE;
    *info = new package_info_s{package_id, FirstLine(text)};
    return PKGMGR_OK;
}

int package_info_get_version(package_info_h info, char** version) {
    if (version)
        *version = nullptr;
    int result = 0;
    if (Faulted("package_info_get_version", &result))
        return result;
    if (!info || !version)
        return PKGMGR_ERR_INVALID_PARAMETER;
    *version = strdup(info->version.c_str());
    return *version ? PKGMGR_OK : PKGMGR_ERR_IO;
}

// A faulted destroy still releases the handle: the caller sees the result, the host must not
// leak because of a rule.
int package_info_destroy(package_info_h info) {
    int result = PKGMGR_OK;
    bool faulted = Faulted("package_info_destroy", &result);
    if (!info)
        return faulted ? result : PKGMGR_ERR_INVALID_PARAMETER;
    delete info;
    return result;
}

}  // extern "C"
