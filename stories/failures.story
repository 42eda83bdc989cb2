# Downloads fail until the limit: with a retry count of 1 the store may try twice; the second
# failure asks it not to offer the version again, a third counts no more.
title Download failures up to the limit
let MAJOR '{"id":"com.talvoro.tv.zefo.homeversion","version":"2.0.0","targetGroupType":"normal","maxRetryCount":1}'

store major-info - <<< $MAJOR
set memory/pax/priority_biu_status priority0_start
expect log "[Updated] request_retry.txt, max: 2"
set memory/pax/priority_biu_status priority0_downloadfailed
expect log "[Increase] request_retry.txt, try: 1"
set memory/pax/priority_biu_status priority0_downloadfailed
expect log "[Increase] request_retry.txt, try: 2"
expect store pax_add_recovery_action action=prevent_update version=2.0.0
expect file $DATA/request_retry.txt = "2\n2\n2.0.0|normal\n"
set memory/pax/priority_biu_status priority0_downloadfailed
expect log "[Not Updated] request_retry.txt. max rety count 2"
set memory/pax/priority_biu_status needed_space:1024
expect log "needed space: 1024"
set memory/pax/priority_biu_status priority0_end
expect file $DATA/request_retry.txt = "0\n2\n2.0.0|normal\n"
expect nothing more
