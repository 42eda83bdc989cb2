# The user puts the update off twice: each time the store is told "later", the user's count goes
# up, and the end of the store's walk sets it back.
title The user presses "Update later" twice
include prelude.story

set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen" as first
press $first 1
expect key memory/pax/priority_biu_status = install_later
expect file $DATA/user_retry.txt = "1\n3\n2.0.0|normal\n"
set memory/pax/priority_biu_status priority0_end
expect log "[ERROR] Major and installed version are different"
expect file $DATA/user_retry.txt = "0\n3\n2.0.0|normal\n"

# The next day the store offers the same version again.
set memory/pax/priority_biu_status priority0_start
expect log "[Not Updated] user_retry.txt"
set memory/pax/priority_biu_status priority0_downloaded
expect notification "Update your Home Screen" as second
press $second 1
expect key memory/pax/priority_biu_status = install_later
set memory/pax/priority_biu_status priority0_end
expect file $DATA/user_retry.txt = "0\n3\n2.0.0|normal\n"
expect nothing more
