# The set is turned off while an update is under way: the home status goes back to "none", unless
# the store holds an answer it has yet to carry out.
title The set is turned off during an update
include prelude.story

set memory/home/priority_update_status done
set memory/pax/priority_biu_status priority0_start
power 1 3
expect log "power off [3]"
expect log "need to reset home priority update status"
expect key memory/home/priority_update_status = none

# The user answered "later": the answer waits for the store, and the home status stays.
set memory/home/priority_update_status done
set memory/pax/priority_biu_status install_later
power 3 1
power 1 4
expect log "power off [4]"
expect key memory/home/priority_update_status = done
expect nothing more
