# The Home asks for a Home reset: the service leaves the flag for the platform, records the
# installed Home version, and reboots the set. A second request finds the flag and is refused.
title A Home reset records the Home version and reboots
include prelude.story

set db/home/reset_status start
expect file fs/opt/usr/home/owner/share/.preload_home_pkg = ""
expect file $TRUSTED/.home_version_tracker = "1.0.0\n"
expect key db/home/reset_status = done
expect reboot 14

# The set restarts.
boot
start
set db/home/reset_status start
expect log "Failed to create file"
expect key db/home/reset_status = none

# Home 1.0.0 is recorded: an offer of it counts as reached.
store major-info - <<< '{"id":"com.talvoro.tv.zefo.homeversion","version":"1.0.0","targetGroupType":"normal","maxRetryCount":3}'
pkg set com.talvoro.tv.zefo.homeversion 0.9.0
set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_end
expect log "Version 1.0.0 is invalid for update"
expect nothing more
