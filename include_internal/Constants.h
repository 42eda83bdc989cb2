// Identities, directories and file names shared by several units.
#pragma once

constexpr const char* BRENWICK_APP_ID = "com.talvoro.tv.brenwick";
constexpr const char* HOME_UPDATE_VIEW_APP_ID = "com.talvoro.tv.homeupdateview";
constexpr const char* SYSPOPUP_APP_ID = "com.talvoro.tv.syspopup";

// Paths as the television sees them; FileUtil::DevicePath maps them onto this device.
constexpr const char* DATA_DIR = "/home/owner/apps_rw/com.talvoro.tv.brenwick/data/";
constexpr const char* TRUSTED_DIR = "/home/owner/apps_rw/com.talvoro.tv.brenwick/shared/trusted/";
constexpr const char* LANGUAGE_DIR = "/usr/apps/com.talvoro.tv.brenwick/shared/lang/language/";

constexpr const char* FILE_NAME_REQUEST_RETRY = "request_retry.txt";
constexpr const char* FILE_NAME_USER_RETRY = "user_retry.txt";
constexpr const char* ABTEST_FILE = "abtest";
constexpr const char* HOME_VERSION_PKG = "com.talvoro.tv.zefo.homeversion";
// Home versions once installed: written by a Home reset, read by the update check, kept by a wipe.
constexpr const char* HOME_VERSION_TRACKER_FILE = ".home_version_tracker";
