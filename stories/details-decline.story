# The user opens the details, reads them and declines this version: the store is asked never to
# offer it again.
title Details, then "do not update"
include prelude.story

set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen" buttons "Update Later" "Update Now" "Details"
press $N 3
expect launch com.talvoro.tv.homeupdateview LaunchReason=DetailPopup appId=com.talvoro.tv.zefo.homeversion appVersion=2.0.0 appDescription=
# The details page answers for the user: 3 is "do not update".
launch $SERVICE LaunchReason=DetailPopup RequestStatus=3
expect key memory/pax/priority_biu_status = deny_install
expect store pax_add_recovery_action action=prevent_update caller=com.talvoro.tv.brenwick appid=com.talvoro.tv.zefo.homeversion version=2.0.0
expect file $DATA/user_retry.txt = "3\n3\n2.0.0|normal\n"
expect file $DATA/request_retry.txt = "0\n6\n2.0.0|normal\n"
set memory/pax/priority_biu_status priority0_end
expect nothing more
