// The package manager on the host: packages/PKGID, whose first line is the package version.
#include <cstring>
#include <string>

#include "HostCore.h"
#include "package_manager.h"

struct package_info_s {
    std::string id;
    std::string version;
};

namespace {

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
    if (tvhost::FaultHit("package_manager_get_package_info", &result))
        return result;
    if (!package_id || !info)
        return PKGMGR_ERR_INVALID_PARAMETER;
    std::string text;
    if (!tvhost::PlainName(package_id) ||
        !tvhost::ReadWholeFile(tvhost::RootPath(std::string("packages/") + package_id), &text))
        return PKGMGR_ERR_NO_SUCH_PACKAGE;
    *info = new package_info_s{package_id, FirstLine(text)};
    return PKGMGR_OK;
}

int package_info_get_version(package_info_h info, char** version) {
    if (version)
        *version = nullptr;
    int result = 0;
    if (tvhost::FaultHit("package_info_get_version", &result))
        return result;
    if (!info || !version)
        return PKGMGR_ERR_INVALID_PARAMETER;
    *version = strdup(info->version.c_str());
    return *version ? PKGMGR_OK : PKGMGR_ERR_IO;
}

int package_info_destroy(package_info_h info) {
    return tvhost::DestroyHandle("package_info_destroy", info, PKGMGR_ERR_INVALID_PARAMETER);
}

}  // extern "C"
