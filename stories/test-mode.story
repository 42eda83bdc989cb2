# The hidden key turns the test mode on: the update's progress and result show as notifications,
# and the end of the update turns the mode off again.
title The hidden test mode follows an update
include prelude.story

# The key's request is carried out even when who sent it cannot be read.
fault add app_control_get_caller -1 1
launch $SERVICE LaunchReason=Hidden_Key
expect log "failed to get Caller App"
expect toast "Home Update Test Mode On"
expect file $DATA/hidden_mode present

set memory/pax/priority_biu_status priority0_start
expect notification "Home Update Test Mode" text "Home is updating. Please wait until the update is complete.\npriority0_start" buttons Close
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Home Update Test Mode" text "Home is updating. Please wait until the update is complete.\npriority0_downloaded"
expect notification "Update your Home Screen" as update
press $update 2
set memory/pax/priority_biu_status priority0_installprogress
expect notification "Home Update Test Mode" text "Home is updating. Please wait until the update is complete.\npriority0_installprogress"
expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI
pkg set com.talvoro.tv.zefo.homeversion 2.0.0
set memory/pax/priority_biu_status priority0_installed
set memory/pax/priority_biu_status priority0_end
expect notification "Home Update Test Mode" text "The software has been updated to version 2.0.0."
expect toast "Home Update Test Mode Off"
expect file $DATA/hidden_mode absent
expect nothing more
