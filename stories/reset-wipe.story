# A factory reset wipes the service's data, once: the retry counts and the test mode go, the
# reset counts and the Home version tracking stay.
title A factory reset wipes the service's data
include prelude.story

set memory/pax/priority_biu_status priority0_start
set memory/pax/priority_biu_status priority0_downloadfailed
expect file $DATA/request_retry.txt = "1\n6\n2.0.0|normal\n"
launch $SERVICE LaunchReason=Hidden_Key
expect toast "Home Update Test Mode On"
expect file $DATA/hidden_mode present
expect file $TRUSTED/.resetflag = "0\n0\n0\n"

# The portal's reset state asks the service to look: the factory count has moved.
set -t int db/factory/factory_reset_count 1
set -t int memory/kesh/lumaport_reset_state 1
expect log "Skip remove root directory $ROOT/$DATA/"
expect file $DATA/request_retry.txt absent
expect file $DATA/user_retry.txt absent
expect file $DATA/hidden_mode absent
# The mode stays on in memory until the service starts again.
expect file $TRUSTED/.resetflag = "1\n0\n0\n"

# Looked at again, nothing has moved: nothing is wiped.
set memory/pax/priority_biu_status priority0_downloadfailed
expect notification "Home Update Test Mode" text "Update failed.\n(priority0_downloadfailed)"
expect log "Fail to remove"
set -t int memory/kesh/lumaport_reset_state 2
expect file $DATA/request_retry.txt present

# A service reset while the service is down is found when it starts.
stop $SERVICE
set -t int db/factory/service_reset_count 1
start
expect file $DATA/request_retry.txt absent
expect file $TRUSTED/.resetflag = "1\n1\n0\n"
expect nothing more
