# Shared by the stories: the store offers Home 2.0.0 to everyone, up to 3 tries. By itself, a
# story too: the offer alone makes the service do nothing.
title Prelude: the store offers Home 2.0.0

store major-info - <<< '{"id":"com.talvoro.tv.zefo.homeversion","version":"2.0.0","targetGroupType":"normal","maxRetryCount":3}'
expect nothing more
