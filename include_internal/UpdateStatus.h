// The states of a priority home update, as the store service, the Home application and the
// user report them, with the words that stand for them in the settings keys.
#pragma once

#include <map>
#include <string>

// The store service's state, from "memory/pax/priority_biu_status".
enum PRIORITY_BIU_STATUS : int {
    BIU_STATUS_NOT_DEFINED = -2,  // the value matched no word of statusValuesMap
    BIU_STATUS_EMPTY = -1,        // the value was empty or could not be read
    PRIORITY0_FAILED = 0,
    PRIORITY0_START = 1,
    NEEDED_SPACE = 2,
    PRIORITY0_DOWNLOADFAILED = 3,
    PRIORITY0_DOWNLOADED = 4,
    PRIORITY0_INSTALLPROGRESS = 5,
    PRIORITY0_INSTALLED = 6,
    PRIORITY0_INSTALLFAILED = 7,
    PRIORITY0_END = 8,
    CANCEL_BY_TIMER = 9,
    ALLOW_INSTALL = 10,
    DENY_INSTALL = 11,
    INSTALL_LATER = 12,
    PRIORITY1_START = 13,
    PRIORITY1_PROGRESS = 14,
    PRIORITY1_END = 15,
};

// The Home application's side, from "memory/home/priority_update_status".
enum HOME_PRIORITY_UPDATE_STATUS : int {
    PRIORITY_UPDATE_NONE = -1,
    PRIORITY_UPDATE_READY = 0,
    PRIORITY_UPDATE_START = 1,
    PRIORITY_UPDATE_DONE = 2,
};

// The user's answer to the update question.
enum REQUEST_STATUS : int {
    NONE = -1,
    UPDATE_NOW = 0,
    UPDATE_LATER = 1,
    CHECK_NEXT_TIME = 2,
    DO_NOT_UPDATE = 3,
};

// Inline variables of one header are initialised in the order they appear, so
// requestValuesMap can look its words up in statusValuesMap.
inline const std::map<PRIORITY_BIU_STATUS, std::string> statusValuesMap = {
    {PRIORITY0_FAILED, "priority0_failed"},
    {PRIORITY0_START, "priority0_start"},
    {NEEDED_SPACE, "needed_space"},
    {PRIORITY0_DOWNLOADFAILED, "priority0_downloadfailed"},
    {PRIORITY0_DOWNLOADED, "priority0_downloaded"},
    {PRIORITY0_INSTALLPROGRESS, "priority0_installprogress"},
    {PRIORITY0_INSTALLED, "priority0_installed"},
    {PRIORITY0_INSTALLFAILED, "priority0_installfailed"},
    {PRIORITY0_END, "priority0_end"},
    {CANCEL_BY_TIMER, "cancel_by_timer"},
    {ALLOW_INSTALL, "allow_install"},
    {DENY_INSTALL, "deny_install"},
    {INSTALL_LATER, "install_later"},
    {PRIORITY1_START, "priority1_start"},
    {PRIORITY1_PROGRESS, "priority1_progress"},
    {PRIORITY1_END, "priority1_end"},
};

inline const std::map<HOME_PRIORITY_UPDATE_STATUS, std::string> updatePriorityValuesMap = {
    {PRIORITY_UPDATE_NONE, "none"},
    {PRIORITY_UPDATE_READY, "ready"},
    {PRIORITY_UPDATE_START, "start"},
    {PRIORITY_UPDATE_DONE, "done"},
};

// The store service hears "deny_install" for both CHECK_NEXT_TIME and DO_NOT_UPDATE; only the
// request callback tells them apart.
inline const std::map<REQUEST_STATUS, std::string> requestValuesMap = {
    {UPDATE_NOW, statusValuesMap.at(ALLOW_INSTALL)},
    {UPDATE_LATER, statusValuesMap.at(INSTALL_LATER)},
    {CHECK_NEXT_TIME, statusValuesMap.at(DENY_INSTALL)},
    {DO_NOT_UPDATE, statusValuesMap.at(DENY_INSTALL)},
};
