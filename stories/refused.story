# Requests for the update that may not start now are refused with a toast, and nothing is written.
title A request for the update is refused when it cannot start
include prelude.story

# The home status says an update runs already (written from outside, it starts one of its own).
set memory/home/priority_update_status start
expect store pax_request_priority_update
expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "priority home update status already start"
expect key memory/home/priority_update_status = start
set memory/home/priority_update_status none

# The store's application list is still being synchronised.
store sync-status 1
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "sync status is init or start"
store sync-status 2

# The store cannot say.
fault add pax_get_apps_sync_status -1 1
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "fail to get apps sync status"

# The store installs right now.
set memory/pax/priority_biu_status priority0_installed
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "priority biu status is on install"
set memory/pax/priority_biu_status priority0_end

# The store's status cannot be read.
unset memory/pax/priority_biu_status
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "return vconf fail"
expect key memory/home/priority_update_status = none

# The home status cannot be read.
unset memory/home/priority_update_status
launch $SERVICE LaunchReason=CheckUpdateValidation
expect toast "return vconf fail"
expect key memory/home/priority_update_status unset
expect nothing more
