# Nobody answers: the notification hides by its time-out while the store still waits, and the
# service tells the store to check next time. Then the store's own time-out: a late press changes
# nothing.
title Nobody answers in time
include prelude.story

set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen"
hide $N timeout
expect log "P0_Downloaded -> CheckNextTime"
expect key memory/pax/priority_biu_status = deny_install
set memory/pax/priority_biu_status priority0_end

# Offered again; this time the store gives up waiting before the user presses.
set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen" as late
set memory/pax/priority_biu_status cancel_by_timer
press $late 2
expect log "priority_biu_status is cancel_by_timer. Do not set allow_install"
expect key memory/pax/priority_biu_status = cancel_by_timer
set memory/pax/priority_biu_status priority0_end
expect nothing more
