#!/usr/bin/python3
"""How soon the screen's page shows a change of the device root: a settings key written, and a
journal line appended, each timed from the write to the moment the page's DOM shows it.

    /usr/bin/python3 bench/screen_latency.py [COUNT]      (after scripts/build.sh build)

Prints the median and the 99th percentile over COUNT changes of each kind (default 200)."""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'tests', 'browser'))
from television import Page, Television, chromium, wait_for  # noqa: E402

KEY = 'memory/pax/priority_biu_status'

# Notes in window.seen each text the watched element shows, with the page's clock at that moment.
OBSERVE = '''
window.seen = {};
const watch = (node, text) => new MutationObserver(() => {
  const shown = text();
  if (shown && !(shown in window.seen)) window.seen[shown] = Date.now();
}).observe(node, {childList: true, subtree: true, characterData: true});
watch(document.querySelector('#keys tr[data-key="%s"] .value'),
      () => document.querySelector('#keys tr[data-key="%s"] .value').textContent);
watch(document.querySelector('#story'), () => {
  const last = document.querySelector('#story li:last-child');
  return last ? last.textContent.replace(/^.*\\(/, '(') : '';
});
''' % (KEY, KEY)


def write_key(tv, value):
    """As the settings store writes: a whole file renamed into place. Returns the time of it."""
    path = tv.path('kdb/' + KEY)
    temporary = os.path.join(os.path.dirname(path), '.bench.tmp')
    with open(temporary, 'w') as file:
        file.write('s:' + value)
    moment = time.time() * 1000
    os.rename(temporary, path)
    return moment


def append_launch(tv, reason):
    """A launch journal line, appended with one write as the platform does."""
    line = ('{"ts":%d,"caller":"bench","app_id":"com.talvoro.tv.bench","operation":"default",'
            '"extra":[["LaunchReason","%s"]],"result":0}\n' % (time.time() * 1000, reason))
    fd = os.open(tv.path('log/launch.jsonl'), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    moment = time.time() * 1000
    os.write(fd, line.encode())
    os.close(fd)
    return moment


def measure(driver, count, change, shown_as):
    delays = []
    for n in range(count):
        started = change(n)
        text = shown_as(n)
        seen = wait_for(lambda: driver.execute_script('return window.seen[arguments[0]]', text),
                        10, 'the page to show %r' % text)
        delays.append(seen - started)
    return delays


def report(what, delays):
    delays = sorted(delays)
    p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))]
    print('%-28s median %5.1f ms   p99 %5.1f ms   (over %d changes, max %.1f ms)' %
          (what, statistics.median(delays), p99, len(delays), delays[-1]))


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    tv = Television()
    driver = None
    try:
        driver = chromium()
        Page(driver, tv.start_screen())  # loaded and live
        driver.execute_script(OBSERVE)
        keys = measure(driver, count, lambda n: write_key(tv, 'bench-%d' % n),
                       lambda n: 'bench-%d' % n)
        lines = measure(driver, count, lambda n: append_launch(tv, 'Tick-%d' % n),
                        lambda n: '(Tick-%d)' % n)
        print('tvctl screen: from a change in the device root to the page showing it')
        report('settings key -> page', keys)
        report('journal line -> page', lines)
    finally:
        if driver:
            driver.quit()
        tv.close()


if __name__ == '__main__':
    main()
