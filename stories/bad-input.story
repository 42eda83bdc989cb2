# Values no one should send reach the service: it says what it could not read and goes on; an
# update played afterwards goes through.
title Bad input leaves the service working

set memory/pax/priority_biu_status needed_space:abc
expect log "needed space is not readable"
set memory/pax/priority_biu_status needed_space:99999999999999
set memory/pax/priority_biu_status "priority0_end\nx"
set memory/home/priority_update_status Start
launch $SERVICE LaunchReason=DetailPopup RequestStatus=abc
expect log "invalid RequestStatus abc"
launch $SERVICE LaunchReason=DetailPopup RequestStatus=99999999999999
expect log "invalid RequestStatus 99999999999999"
launch $SERVICE LaunchReason=DetailPopup RequestStatus=-1
expect log "Not defined request status -1"
launch $SERVICE Other=1
expect log "failed to get LaunchReason"
store major-info - <<< ''
set memory/pax/priority_biu_status priority0_start
store major-info - <<< '[1, 2, 3]'
set memory/pax/priority_biu_status priority0_start
expect log "No valid response"
expect key memory/pax/priority_biu_status = priority0_start
expect nothing more

# Still answering: a real update goes through.
include prelude.story
set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen"
press $N 2
expect key memory/pax/priority_biu_status = allow_install
# Nothing says what fills the screen: the loading screen is shown all the same.
unset memory/appfw/current_fullscreen_appid
set memory/pax/priority_biu_status priority0_installprogress
expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI
