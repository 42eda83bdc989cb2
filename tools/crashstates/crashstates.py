#!/usr/bin/python3
"""The power-cut crash-state explorer (README.md: what it does and the rules of its disk).

  crashstates.py explore [options] [STORY[:VARIANT] | STORY_FILE | RECORD_DIR]...
  crashstates.py replay [--build DIR] CASE...

explore records each story with the real service under strace, builds the states a power cut
after each of its calls may leave, and checks each one; exit status 1 on any violation or on a
story or record it could not use. replay checks saved crash states (a violation's folder) and
the inputs that must be refused, each against what its folder says must happen.
"""

import argparse
import concurrent.futures
import itertools
import os
import queue
import random
import re
import shlex
import shutil
import signal
import subprocess
import sys
import time

import check
import model
import trace

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
STORIES = os.path.join(HERE, 'stories')
STATE_TOPS = ('fs', 'kdb', 'packages', 'store')
SAVED_PER_STORY = 10
SERVICE = 'com.talvoro.tv.brenwick'


class Unusable(Exception):
    """A story that does not play or a record that cannot be read: nothing of it is accepted."""


# ---- stories and records ----------------------------------------------------------------------

def story_variants(path):
    """(variant name, settings) of a story file, and whether it expects a wipe. A "# grid:"
    line gives every combination of its values; the first variant is the story's default."""
    with open(path) as f:
        text = f.read()
    variants = [(m.group(1), dict(kv.split('=', 1) for kv in m.group(2).split()))
                for m in re.finditer(r'^# variant ([\w-]+): (.*)$', text, re.M)]
    for m in re.finditer(r'^# grid: (.*)$', text, re.M):
        axes = [(k, v.split(',')) for k, v in (kv.split('=', 1) for kv in m.group(1).split())]
        for values in itertools.product(*(v for _, v in axes)):
            settings = dict(zip((k for k, _ in axes), values))
            variants.append((','.join(f'{k}={v}' for k, v in settings.items()), settings))
    return variants or [('default', {})], bool(re.search(r'^# expect: wipe$', text, re.M))


def tool_env(build, root):
    return dict(os.environ, TV_DEVICE_ROOT=root, TV_LOG_STDERR='0', ASAN_OPTIONS='detect_leaks=0',
                TVCTL=os.path.join(build, 'tools', 'tvctl', 'tvctl'), SOURCE=SOURCE)


def run_story(path, part, env, strace_to=None, timeout=300):
    script = f'source {shlex.quote(STORIES)}/lib.sh; source {shlex.quote(path)}; {part}'
    command = ['bash', '-c', script]
    if strace_to:
        command = ['strace', '-f', '-ttt', '-y', '-s', '65536', '-xx', '-o', strace_to,
                   '-e', 'trace=' + trace.SYSCALLS, '--'] + command
    story = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                             text=True, start_new_session=True)
    try:
        _, stderr = story.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        # The story's own processes, then the service, which runs in a session of its own.
        os.killpg(story.pid, signal.SIGKILL)
        story.communicate()
        subprocess.run([env['TVCTL'], 'stop', SERVICE], env=env, capture_output=True)
        raise Unusable(f'did not play: its {part}() took more than {timeout} s') from None
    if story.returncode != 0:
        last = (stderr.strip().splitlines() or ['(nothing on standard error)'])[-1]
        raise Unusable(f'did not play: its {part}() ended with status {story.returncode}: {last}')


def record(path, variant, settings, wipe, build, folder):
    """Plays the story on a fresh television with the service under strace; writes the record
    and the television as it was before (initial/) into `folder`."""
    root = os.path.join(folder, 'root')
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    env = dict(tool_env(build, root), **settings)
    if subprocess.run([env['TVCTL'], 'init'], env=env, capture_output=True).returncode != 0:
        raise Unusable(f'tvctl init failed in {root}')
    run_story(path, 'setup', env)
    initial = os.path.join(folder, 'initial')
    for top in STATE_TOPS:
        shutil.copytree(os.path.join(root, top), os.path.join(initial, top), symlinks=True)
    raw = os.path.join(folder, 'raw.strace')
    run_story(path, 'play', env, strace_to=raw)
    if SERVICE + ' ' in subprocess.run([env['TVCTL'], 'ps'], env=env, capture_output=True,
                                       text=True).stdout:
        subprocess.run([env['TVCTL'], 'stop', SERVICE], env=env, capture_output=True)
        raise Unusable('did not play: it left the service running')
    files, dirs = trace.read_tree(initial, STATE_TOPS)
    with open(raw, encoding='latin-1') as f:
        ops = trace.StraceReader(root, files, dirs).read(f)
    name = os.path.basename(path)[:-3]
    trace.write_record(os.path.join(folder, 'record.txt'), ops,
                       [f'story {name} variant {variant} {" ".join(f"{k}={v}" for k, v in settings.items())}']
                       + (['expect wipe'] if wipe else []))
    shutil.rmtree(root)
    return folder


def load(folder):
    """A record folder: record.txt and initial/."""
    path = os.path.join(folder, 'record.txt')
    if not os.path.isfile(path):
        raise Unusable(f'no record: {path} is missing')
    ops = trace.read_record(path)
    with open(path, encoding='ascii', errors='replace') as f:
        head = [line for line in f.read(4096).splitlines() if line.startswith('# ')]
    files, dirs = trace.read_tree(os.path.join(folder, 'initial'), STATE_TOPS)
    return ops, files, dirs, '# expect wipe' in head


# ---- exploring ---------------------------------------------------------------------------------

class Result:
    def __init__(self, name):
        self.name = name
        self.points = self.built = self.distinct = self.checked = self.sampled_points = 0
        self.violations = {}  # reason -> count
        self.saved = 0
        self.seconds = 0.0
        self.unusable = None

    def failed(self, reason):
        self.violations[reason] = self.violations.get(reason, 0) + 1


def platform_key(platform):
    # tvctl boot puts the volatile keys back, so they make no state of their own.
    return tuple(sorted((k, v) for k, v in platform.items() if not k.startswith('kdb/memory/')))


def explore(name, loaded, opts, result):
    ops, files, dirs, wipe = loaded
    fs_files = {k: v for k, v in files.items() if k.startswith('fs/')}
    platform = {k: v for k, v in files.items() if not k.startswith('fs/')}
    try:
        p = model.plan(ops, fs_files, {d for d in dirs if d.startswith('fs')})
    except ValueError as e:
        raise Unusable(f'the record does not add up: {e}') from None
    rng = random.Random(f'{opts.seed}:{name}')
    distinct = {}
    done = 0
    points = model.crash_points(p)
    for cut in points:
        for op in ops[done:cut]:
            if op.kind == 'put':
                platform[op.args[0]] = op.args[1]
            elif op.kind == 'del':
                platform.pop(op.args[0], None)
        done = cut
        expect = model.expect(p, cut, wipe)
        states, sampled = model.crash_states(p, cut, opts.limit, rng)
        result.built += len(states)
        result.sampled_points += sampled
        plat = platform_key(platform)
        for state in states:
            found = check.static_violations(state.files, expect)
            for reason in found:
                result.failed(reason)
            key = (state.key(), plat, expect['probe'], expect['wipe_done'], wipe,
                   tuple(expect['fodder']))
            if found and result.saved < SAVED_PER_STORY:
                save(opts, name, ops, state, expect, platform, found)
                result.saved += 1
            distinct.setdefault(key, (state, expect, dict(platform)))
    result.points = len(points)
    result.distinct = len(distinct)
    # A state that an earlier story of this run left, with the same expectations, was checked there.
    chosen = [item for key, item in distinct.items() if key not in opts.seen]
    opts.seen.update(distinct)
    if opts.sample and len(chosen) > opts.sample:
        chosen = rng.sample(chosen, opts.sample)
    run_checks(name, ops, chosen, opts, result)


def slot(opts, name):
    return check.Slot(os.path.join(opts.out, 'slots', name), opts.template, opts.build)


def run_checks(name, ops, chosen, opts, result):
    slots = queue.Queue()
    for i in range(opts.jobs):
        slots.put(slot(opts, str(i)))

    def one(item):
        state, expect, platform = item
        worker = slots.get()
        try:
            found = worker.check(dict(platform, **state.files), state.dirs, expect)
            return found, copy_root(worker.root) if found else None
        finally:
            slots.put(worker)

    with concurrent.futures.ThreadPoolExecutor(opts.jobs) as pool:
        for item, (found, root) in zip(chosen, pool.map(one, chosen)):
            result.checked += 1
            for reason in found:
                result.failed(reason)
            if found and result.saved < SAVED_PER_STORY:
                state, expect, platform = item
                save(opts, name, ops, state, expect, platform, found, root)
                result.saved += 1
            if result.checked % 500 == 0:
                print(f'  {name}: {result.checked} of {len(chosen)} checked', file=sys.stderr)


def copy_root(root):
    keep = os.path.join(root + '.kept')
    shutil.rmtree(keep, ignore_errors=True)
    shutil.copytree(root, keep, symlinks=True)
    return keep


def save(opts, name, ops, state, expect, platform, found, root=None):
    """A violation's folder: the state, the record up to the cut, the reason, and what the
    checks expected (a regression input as it stands)."""
    folder = os.path.join(opts.out, 'violations', f'{name}-cut{expect["seq"]:04d}-{state.key()[:8]}')
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    for path, content in dict(platform, **state.files).items():
        if opts.template[1].get(path) == content:
            continue
        full = os.path.join(folder, 'state', path)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, 'wb') as f:
            f.write(content)
    for d in state.dirs:
        os.makedirs(os.path.join(folder, 'state', d), exist_ok=True)
    trace.write_record(os.path.join(folder, 'record.txt'), ops[:expect['seq']],
                       [f'{name}: the power is cut right after the last call', state.how])
    with open(os.path.join(folder, 'reason.txt'), 'w') as f:
        f.write('; '.join(found) + '\n')
    check.save_expect(os.path.join(folder, 'expect.json'), expect)
    if root:
        shutil.copytree(os.path.join(root, 'log'), os.path.join(folder, 'log'))
        shutil.copy(os.path.join(root, 'service.stderr'), folder)
        shutil.rmtree(root)


def make_template(opts):
    """A fresh television without the platform's state: what every check starts from before
    its state is laid down. Kept as its folder and its fs/ files by path."""
    folder = os.path.join(opts.out, 'template')
    shutil.rmtree(folder, ignore_errors=True)
    env = tool_env(opts.build, folder)
    subprocess.run([env['TVCTL'], 'init'], env=env, capture_output=True, check=True)
    for top in ('kdb', 'packages', 'store'):
        shutil.rmtree(os.path.join(folder, top))
    opts.template = (folder, trace.read_tree(folder, ('fs',))[0])


# ---- the command line --------------------------------------------------------------------------

def targets(names, every_variant):
    if not names:
        names = sorted(f[:-3] for f in os.listdir(STORIES) if f.endswith('.sh') and f != 'lib.sh')
    for name in names:
        if os.path.isdir(name):
            yield os.path.basename(os.path.normpath(name)), None, None, name
            continue
        story, _, only = name.partition(':')
        path = story if story.endswith('.sh') else os.path.join(STORIES, story + '.sh')
        base = os.path.basename(path)[:-3]
        if not os.path.isfile(path):
            yield base, None, None, None
            continue
        variants, wipe = story_variants(path)
        chosen = [v for v in variants if v[0] == only] if only else variants
        for variant, settings in (chosen if every_variant or only else chosen[:1]):
            label = base if variant == 'default' else f'{base}:{variant}'
            yield label, path, (variant, settings, wipe), None


def run_target(label, path, variant, folder, opts):
    result = Result(label)
    start = time.monotonic()
    try:
        if path:
            folder = record(path, *variant, opts.build,
                            os.path.join(opts.out, 'records', label.replace(':', '.')))
        elif folder is None:
            raise Unusable('no such story or record folder')
        explore(label, load(folder), opts, result)
    except (Unusable, trace.RecordError, OSError) as e:
        result.unusable = str(e)
    result.seconds = time.monotonic() - start
    return result


def explore_all(opts):
    make_template(opts)
    opts.seen = set()
    shutil.rmtree(os.path.join(opts.out, 'violations'), ignore_errors=True)
    results = []
    for target in targets(opts.stories, opts.all_variants):
        results.append(run_target(*target, opts))
        print(line(results[-1]), flush=True)
    return results


def line(r):
    if r.unusable:
        return f'{r.name}: NOT CHECKED: {r.unusable}'
    sampled = f' (sampled at {r.sampled_points} crash points)' if r.sampled_points else ''
    return (f'{r.name}: {r.points} crash points, {r.built} states built{sampled}, {r.distinct} '
            f'distinct, {r.checked} checked, {sum(r.violations.values())} violations, '
            f'{r.seconds:.0f} s')


def summary(results, seconds, opts):
    print('\n| story | crash points | states built | distinct | checked | violations | seconds |')
    print('|---|---|---|---|---|---|---|')
    for r in results:
        if r.unusable:
            print(f'| {r.name} | not checked: {r.unusable} | | | | | |')
        else:
            print(f'| {r.name} | {r.points} | {r.built} | {r.distinct} | {r.checked} | '
                  f'{sum(r.violations.values())} | {r.seconds:.0f} |')
    total = [sum(getattr(r, a) for r in results) for a in ('points', 'built', 'distinct', 'checked')]
    bad = sum(sum(r.violations.values()) for r in results)
    print(f'| all | {total[0]} | {total[1]} | {len(opts.seen)} | {total[3]} | {bad} | {seconds:.0f} |')
    print(f'distinct: states that differ in fs/, in the lasting files of the platform or in the status '
          f'played next; "all" counts each once however many stories left it')
    for r in results:
        reasons = sorted(r.violations.items(), key=lambda rc: -rc[1])
        for reason, count in reasons[:8]:
            print(f'violation ({r.name}, {count}x): {reason}')
        if len(reasons) > 8:
            print(f'... and {len(reasons) - 8} other reasons ({r.name}); see {opts.out}/violations')
    unusable = [r.name for r in results if r.unusable]
    if unusable:
        print(f'not checked, counted as failed: {", ".join(unusable)}')
    return 1 if bad or unusable else 0


def cases(paths):
    """A case is a folder with expect.json, record.txt or story.txt, or a story file; any other
    folder holds cases."""
    for path in paths:
        marks = ('expect.json', 'record.txt', 'story.txt')
        if os.path.isdir(path) and not any(os.path.exists(os.path.join(path, m)) for m in marks):
            yield from cases(sorted(os.path.join(path, p) for p in os.listdir(path)))
        else:
            yield path


def replay(opts):
    """Each case must come out as its folder says: no violation, or the one it names."""
    make_template(opts)
    opts.seen = set()
    failures = 0
    for case in cases(opts.cases):
        wanted = expected_failure(case)
        try:
            found = replay_one(case, opts)
        except (Unusable, trace.RecordError, ValueError, OSError) as e:
            found = [str(e)]
        ok = any(wanted in f for f in found) if wanted else not found
        failures += not ok
        print(f'{"ok" if ok else "FAILED"}: {case}: ' + ('; '.join(found) or 'no violation')
              + (f' (expected: {wanted})' if wanted and not ok else ''), flush=True)
    return 1 if failures else 0


def expected_failure(case):
    """What a case of bad input must be refused with: a story's "# expect-failure:" line, or
    a folder's expect-failure.txt."""
    if case.endswith('.sh'):
        with open(case) as f:
            m = re.search(r'^# expect-failure: (.*)$', f.read(), re.M)
        return m.group(1) if m else None
    path = os.path.join(case, 'expect-failure.txt')
    if not os.path.isfile(path):
        return None
    with open(path) as f:
        return f.read().strip()


def replay_one(case, opts):
    """A story file or a record is explored; a folder with story.txt holds the crash state of a
    fault in the calls of a writer, which only playing its story again with the current service
    can show fixed; any other folder holds a state that the service is started on as it is."""
    story = os.path.join(case, 'story.txt')
    if os.path.isfile(story):
        with open(story) as f:
            case = f.read().strip()
    if case.endswith('.sh') or not os.path.isfile(os.path.join(case, 'expect.json')):
        opts.seen = set()
        result = run_target(*next(targets([case], False)), opts)
        return [result.unusable] if result.unusable else list(result.violations)
    expect = check.load_expect(os.path.join(case, 'expect.json'))
    files, dirs = trace.read_tree(os.path.join(case, 'state'), STATE_TOPS + ('.tvdevice',))
    files = dict(opts.template[1], **files)
    found = check.static_violations(files, expect)
    return found + slot(opts, 'replay').check(files, dirs, expect)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--build', default=os.path.join(SOURCE, 'build-asan'),
                        help='the build whose service and tvctl run (default build-asan)')
    parser.add_argument('--out', default=None, help='where records, checks and violations go')
    sub = parser.add_subparsers(dest='command', required=True)
    ex = sub.add_parser('explore')
    ex.add_argument('--jobs', type=int, default=2, help='checks side by side (default 2)')
    ex.add_argument('--sample', type=int, default=0, help='check at most N states per story')
    ex.add_argument('--limit', type=int, default=64, help='states per crash point before sampling')
    ex.add_argument('--all-variants', action='store_true', help="every story's every variant")
    ex.add_argument('--seed', default='1')
    ex.add_argument('stories', nargs='*')
    rp = sub.add_parser('replay')
    rp.add_argument('cases', nargs='+')
    opts = parser.parse_args()
    opts.build = os.path.abspath(opts.build)
    opts.out = os.path.abspath(opts.out or os.path.join(opts.build, 'crashstates'))
    for program in ('source/brenwick', 'tools/tvctl/tvctl'):
        if not os.access(os.path.join(opts.build, program), os.X_OK):
            parser.error(f'no {program} in {opts.build}: build it first')
    if shutil.which('strace') is None:
        parser.error('strace is not installed (scripts/setup.sh installs it)')
    os.makedirs(opts.out, exist_ok=True)
    if opts.command == 'replay':
        opts.jobs, opts.sample, opts.limit, opts.seed = 1, 0, 64, '1'
        return replay(opts)
    start = time.monotonic()
    results = explore_all(opts)
    return summary(results, time.monotonic() - start, opts)


if __name__ == '__main__':
    sys.exit(main())
