// What the console knows of the service it plays with: its application, the store's status key
// it watches, the Home status key it writes, and the Home package it updates.
#pragma once

namespace tvctl {

constexpr const char* SERVICE_APP_ID = "com.talvoro.tv.brenwick";
constexpr const char* STATUS_KEY = "memory/pax/priority_biu_status";
constexpr const char* HOME_STATUS_KEY = "memory/home/priority_update_status";
constexpr const char* HOME_PACKAGE = "com.talvoro.tv.zefo.homeversion";

}  // namespace tvctl
