# An application asks for the update: the service checks it may start, asks the store, shows the
# loading screen and answers the store itself; the store plays the update as it is asked to.
title An application asks for the update
include prelude.story

store serve --step-delay 0.1
launch $SERVICE LaunchReason=CheckUpdateValidation
expect log "Request Priority Update to PAX"
expect store pax_request_priority_update
expect launch com.talvoro.tv.homeupdateview LaunchReason=LoadingUI
expect log "priority home update start" within 10s
expect log "priority home update in progress" within 10s
expect key memory/home/priority_update_status = done within 10s
expect launch com.talvoro.tv.homeupdateview LaunchReason=StopUI PriorityUpdate=true StopUI=priority0_end
expect log "Major: 2.0.0|normal, Installed: 2.0.0|normal"
expect nothing more
