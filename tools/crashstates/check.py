"""Checking one crash state: what its files hold, then the real service started on it as a
device root, the next status played, and the service stopped."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

from model import APP_DIR

START_LINE = re.compile(r'> brenwick \d')
TIMEOUT = 10.0


def short(path):
    return path[len(APP_DIR):] if path.startswith(APP_DIR) else path[len('fs'):]


def counts(content):
    """The try count and maximum of a retry file, or None."""
    lines = (content or b'').decode('latin-1').split('\n')
    if len(lines) >= 3 and all(re.fullmatch(r'-?\d+', x) for x in lines[:2]):
        return int(lines[0]), int(lines[1]), lines[2]
    return None


def static_violations(files, expect):
    """Each state file holds a version the service wrote whole, not older than the one it
    promised."""
    found = []
    for name, whole in sorted(expect['whole'].items()):
        content = files.get(name)
        seq, promised = expect['promised'][name]
        if content not in whole:
            if content is None:
                found.append(f'{short(name)} is gone, though the service never removed it')
            elif content == b'' and promised:
                found.append(f'{short(name)} is empty where it had content ({len(promised)} bytes '
                             f'promised at call {seq} of the record)')
            elif content == b'':
                found.append(f'{short(name)} is empty, though the service never wrote it empty')
            else:
                found.append(f'{short(name)} is torn: its {len(content)} bytes are no version the '
                             f'service wrote whole')
        elif content not in expect['allowed'][name]:
            found.append(went_back(name, content, promised, seq))
    return found


def went_back(name, content, promised, seq):
    now, then = counts(content), counts(promised)
    if now and then and then[0] >= then[1] > now[0]:
        return (f'{short(name)}: version {then[2]} was declined or at its limit ({then[0]} of '
                f'{then[1]}) at call {seq} of the record, and is not any more (try count {now[0]})')
    if then:
        count = f'try count {now[0]} of {now[1]}' if now else 'no file'
        return (f'{short(name)} went back: {count} where {then[0]} of {then[1]} was promised at '
                f'call {seq} of the record')
    if promised is None:
        return f'{short(name)} is back, though the service removed it and went on (call {seq} of the record)'
    return f'{short(name)} went back to a version older than the one promised at call {seq} of the record'


class Slot:
    """A device root of its own, where one check runs at a time."""

    def __init__(self, folder, template, build):
        self.root = folder
        self.template, self.template_files = template
        self.service = os.path.join(build, 'source', 'brenwick')
        self.tvctl = os.path.join(build, 'tools', 'tvctl', 'tvctl')
        self.env = dict(os.environ, TV_DEVICE_ROOT=self.root, TV_LOG_STDERR='0',
                        ASAN_OPTIONS='halt_on_error=1:detect_leaks=1',
                        UBSAN_OPTIONS='halt_on_error=1:print_stacktrace=1')

    def check(self, files, dirs, expect):
        """Lays the state down, runs the service on it: the violations found."""
        refused = self.lay_down(files, dirs)
        return ([refused] if refused else []) + self.run(expect)

    def lay_down(self, files, dirs):
        """The television after the power came back: the template's applications and
        configuration, then the files of the state, then a cold start."""
        shutil.rmtree(self.root, ignore_errors=True)
        shutil.copytree(self.template, self.root, symlinks=True)
        for path in self.template_files:
            if path not in files:
                os.remove(os.path.join(self.root, path))
        for d in sorted(dirs):
            os.makedirs(os.path.join(self.root, d), exist_ok=True)
        for path, content in files.items():
            if self.template_files.get(path) == content:
                continue
            full = os.path.join(self.root, path)
            os.makedirs(os.path.dirname(full), exist_ok=True)
            with open(full, 'wb') as f:
                f.write(content)
        boot = subprocess.run([self.tvctl, 'boot'], env=self.env, capture_output=True, text=True)
        if boot.returncode != 0:
            return f'tvctl boot refused the state: {boot.stderr.strip()}'
        return None

    def log(self):
        try:
            with open(os.path.join(self.root, 'log', 'dlog.log'), encoding='latin-1') as f:
                return f.read()
        except FileNotFoundError:
            return ''

    def wait_for(self, proc, pattern, after=0):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            m = pattern.search(self.log(), after)
            if m:
                return m.end()
            if proc.poll() is not None:
                return None
            time.sleep(0.005)
        return None

    def run(self, expect):
        """Starts the service, plays the next status, stops it: the violations found."""
        stderr = open(os.path.join(self.root, 'service.stderr'), 'w')
        proc = subprocess.Popen([self.service], env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=stderr)
        try:
            return self.drive(proc, expect)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            stderr.close()

    def drive(self, proc, expect):
        started = self.wait_for(proc, START_LINE)
        if started is None:
            return [self.ended(proc, 'refused to start from this state', 'did not start')]
        found = []
        startup = self.log()[:started]
        wiped = 'DeleteAllFiles' in startup
        if wiped and (not expect['wipe_story'] or expect['wipe_done']):
            found.append('a reset already acted on was acted on again: the start wiped the data')
        left = [f for f in expect['fodder'] if os.path.lexists(os.path.join(self.root, f))]
        if left:
            found.append(f'the wipe cut by the power cut was not finished at the next start: '
                         f'{len(left)} files left, {short(left[0])} among them')
        status = expect['probe']
        subprocess.run([self.tvctl, 'set', 'memory/pax/priority_biu_status', status],
                       env=self.env, capture_output=True)
        if self.wait_for(proc, re.compile(r'> Set cache ' + re.escape(status) + '$', re.M),
                         started) is None:
            return found + [self.ended(proc, f'crashed while handling {status}',
                                       f'did not handle {status}')]
        proc.send_signal(signal.SIGTERM)
        try:
            code = proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            return found + ['did not stop within 10 s of SIGTERM']
        if code != 0:
            found.append(f'ended with status {code} after SIGTERM{self.report()}')
        return found

    def ended(self, proc, crashed, hung):
        if proc.poll() is None:
            return f'{hung} within 10 s'
        return f'{crashed} (exit status {proc.returncode}){self.report()}'

    def report(self):
        """The sanitizer's headline, else the service's last word on standard error."""
        with open(os.path.join(self.root, 'service.stderr'), encoding='latin-1') as f:
            lines = f.read().splitlines()
        found = [x for x in lines if 'ERROR' in x or 'runtime error' in x] or lines[-1:]
        return f': {found[0].strip()}' if found else ''


def save_expect(path, expect):
    def text(v):
        return None if v is None else v.decode('latin-1')
    data = dict(expect)
    data['whole'] = {k: [text(v) for v in vs] for k, vs in expect['whole'].items()}
    data['allowed'] = {k: [text(v) for v in vs] for k, vs in expect['allowed'].items()}
    data['promised'] = {k: [s, text(v)] for k, (s, v) in expect['promised'].items()}
    with open(path, 'w') as f:
        json.dump(data, f, indent=1, sort_keys=True)


def load_expect(path):
    def raw(v):
        return None if v is None else v.encode('latin-1')
    with open(path) as f:
        data = json.load(f)
    data['whole'] = {k: [raw(v) for v in vs] for k, vs in data['whole'].items()}
    data['allowed'] = {k: [raw(v) for v in vs] for k, vs in data['allowed'].items()}
    data['promised'] = {k: (s, raw(v)) for k, (s, v) in data['promised'].items()}
    for key in ('fodder', 'probe', 'wipe_story', 'wipe_done'):
        if key not in data:
            raise ValueError(f'{path}: no "{key}"')
    for name in list(data['whole']) + data['fodder']:
        if name.startswith('/') or '..' in name.split('/'):
            raise ValueError(f'{path}: not a path under the device root: {name!r}')
    if not re.fullmatch(r'[a-z0-9_:]+', data['probe']):
        raise ValueError(f'{path}: not a status: {data["probe"]!r}')
    return data
