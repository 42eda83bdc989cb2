# The user is asked and presses "Update now": the Home is updated to the target version.
title The user accepts the update
include prelude.story                        # the store offers Home 2.0.0, up to 3 tries

set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen" buttons "Update Later" "Update Now" "Details"
press $N 2                                   # $N: the notification just seen
expect key memory/pax/priority_biu_status = allow_install
set memory/pax/priority_biu_status priority0_installprogress
expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI
pkg set com.talvoro.tv.zefo.homeversion 2.0.0
set memory/pax/priority_biu_status priority0_installed
set memory/pax/priority_biu_status priority0_end
expect log "Major: 2.0.0|normal, Installed: 2.0.0|normal"
expect file $DATA/user_retry.txt = "0\n3\n2.0.0|normal\n"
expect file $TRUSTED/abtest absent
expect nothing more
