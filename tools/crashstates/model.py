"""The disk as the service's record leaves it: the run without a cut, and every state a power cut
after one call may leave (README.md gives the rules and where they come from)."""

import hashlib
import itertools
import random
import re
from dataclasses import dataclass, field

BLOCK = 4096
# Calls that change names in a directory, and calls that change a file's bytes.
NAME_OPS = {'create', 'rename', 'link', 'unlink', 'mkdir', 'rmdir'}
DATA_OPS = {'write', 'truncate'}
FS_OPS = NAME_OPS | DATA_OPS | {'fsync', 'sync'}
# Names that a wipe keeps: the reset flag and the Home version list.
WIPE_KEPT = {'.resetflag', '.home_version_tracker'}
APP_DIR = 'fs/home/owner/apps_rw/com.talvoro.tv.brenwick/'
WIPED_DIRS = (APP_DIR + 'data/', APP_DIR + 'shared/trusted/')
WIPE_DONE = re.compile(r'> Done: .*/shared/trusted/?$')


@dataclass
class Op:
    seq: int     # its line number among the record's calls, from 1
    who: str     # 'S' the service, 'P' the platform (any other process)
    tid: int
    kind: str
    args: tuple  # paths are strings relative to the device root, bytes are bytes


def parent(path):
    return path.rsplit('/', 1)[0]


class Tree:
    """Names bound to numbered files, and each file's bytes."""

    def __init__(self, files=(), dirs=()):
        self.dirs = set(dirs)
        self.names = {}
        self.data = {}
        for path, content in files:
            self.names[path] = len(self.data) + 1
            self.data[len(self.data) + 1] = content

    def new_file(self, path):
        number = max(self.data, default=0) + 1
        self.names[path] = number
        self.data[number] = b''
        return number

    def write(self, number, offset, content):
        old = self.data.get(number, b'')
        self.data[number] = old[:offset].ljust(offset, b'\0') + content + old[offset + len(content):]

    def truncate(self, number, size):
        self.data[number] = self.data.get(number, b'')[:size].ljust(size, b'\0')

    def apply_name(self, op, number=None):
        """One name change; false when the names it needs are not there (a cut lost them)."""
        path = op.args[0]
        if op.kind == 'create':
            self.names[path] = number
        elif op.kind == 'mkdir':
            self.dirs.add(path)
        elif op.kind == 'rmdir':
            if any(p.startswith(path + '/') for p in self.names):
                return False
            self.dirs.discard(path)
        elif op.kind == 'unlink':
            return self.names.pop(path, None) is not None
        elif path not in self.names:
            return False
        elif op.kind == 'rename':
            self.names[op.args[1]] = self.names.pop(path)
        else:
            self.names[op.args[1]] = self.names[path]
        return True

    def files(self):
        return {p: self.data.get(n, b'') for p, n in self.names.items()}


@dataclass
class Plan:
    """What the run without a cut tells about each call: the file a write changes, the barrier
    that makes the call durable, and the versions each state file took."""
    ops: list
    initial: dict
    dirs: set
    target: dict = field(default_factory=dict)      # seq of a data call -> file number
    created: dict = field(default_factory=dict)     # seq of a create -> file number
    durable_at: dict = field(default_factory=dict)  # seq -> seq of the barrier that covers it
    history: dict = field(default_factory=dict)     # state file -> [(seq, tid, content|None)]
    markers: list = field(default_factory=list)     # (seq, tid) of what the service told outside
    wipe_done: int = None                           # seq from which its wipe is promised done


def plan(ops, initial_files, initial_dirs):
    """Runs the record without a cut over the initial fs/ tree."""
    p = Plan(ops, dict(initial_files), set(initial_dirs))
    tree = Tree(initial_files.items(), initial_dirs)
    pending_names = {}  # directory -> seqs of its name changes not yet synced
    pending_data = {}   # file number -> seqs of its writes not yet synced
    temporaries = set()
    touched = set()
    wipe_logged = None
    for op in ops:
        if op.kind in ('log', 'act', 'put', 'del') and op.who == 'S':
            p.markers.append((op.seq, op.tid))
            if op.kind == 'log' and WIPE_DONE.search(op.args[0].decode('latin-1')):
                wipe_logged = op.seq
            elif wipe_logged is not None and p.wipe_done is None and op.kind == 'log':
                p.wipe_done = op.seq
            note_versions(p, tree, touched - temporaries, op)
        if op.kind not in FS_OPS:
            continue
        if op.who == 'P':
            p.durable_at[op.seq] = op.seq
        if op.kind == 'sync':
            for seqs in list(pending_names.values()) + list(pending_data.values()):
                for seq in seqs:
                    p.durable_at[seq] = op.seq
            pending_names.clear()
            pending_data.clear()
            continue
        path = op.args[0]
        if op.kind == 'fsync':
            group = pending_names if path in tree.dirs else pending_data
            key = path if path in tree.dirs else tree.names.get(path)
            for seq in group.pop(key, []):
                p.durable_at[seq] = op.seq
            continue
        if op.kind in DATA_OPS:
            number = tree.names.get(path)
            if number is None:
                raise ValueError(f'record line {op.seq}: {op.kind} of {path}, which has no file')
            p.target[op.seq] = number
            if op.kind == 'write':
                tree.write(number, op.args[1], op.args[2])
            else:
                tree.truncate(number, op.args[1])
            pending_data.setdefault(number, []).append(op.seq)
        else:
            number = tree.new_file(path) if op.kind == 'create' else None
            if number is not None:
                p.created[op.seq] = number
            elif not tree.apply_name(op):
                raise ValueError(f'record line {op.seq}: {op.kind} of {path}, which is not there')
            for directory in {parent(a) for a in op.args}:
                pending_names.setdefault(directory, []).append(op.seq)
            if op.kind == 'rename':
                temporaries.add(path)
            if op.who == 'S':
                touched.update(a for a in op.args if a.startswith('fs/'))
                note_versions(p, tree, touched - temporaries, op)
    for name in temporaries:
        p.history.pop(name, None)
    return p


def note_versions(p, tree, names, op):
    """A file holds a whole version when a name change of the service gave it its bytes, or when
    the service has gone on to tell something outside (a writer in place is done by then)."""
    files = tree.files()
    for name in names:
        history = p.history.setdefault(name, [(0, 0, p.initial.get(name))])
        if history[-1][2] != files.get(name):
            history.append((op.seq, op.tid, files.get(name)))


@dataclass
class Crash:
    seq: int          # the cut comes right after this call (0: before the first)
    files: dict
    dirs: frozenset
    how: str          # which unsynced calls reached the disk

    def key(self):
        digest = hashlib.sha1()
        for path in sorted(self.dirs):
            digest.update(b'd' + path.encode() + b'\0')
        for path in sorted(self.files):
            digest.update(b'f' + path.encode() + b'\0' + self.files[path] + b'\0')
        return digest.hexdigest()


def crash_points(p):
    """Where the cuts come: one between each two file-system calls of the service (and before
    the first, after the last). All cuts between two calls leave the same disk, so each is
    placed at the last instant before the next call, when the most has been promised."""
    calls = [op.seq for op in p.ops if op.kind in FS_OPS and op.who == 'S']
    return [seq - 1 for seq in calls] + [len(p.ops)]


def crash_states(p, cut, limit, rng):
    """The states a cut right after call `cut` may leave: every one when they are at most
    `limit`, else `limit` of them drawn at random. Returns (states, whether sampled)."""
    durable = {op.seq for op in p.ops[:cut] if p.durable_at.get(op.seq, cut + 1) <= cut}
    pending = [op for op in p.ops[:cut] if op.kind in NAME_OPS | DATA_OPS and op.seq not in durable]
    names = [op for op in pending if op.kind in NAME_OPS]
    writes = {}
    for op in pending:
        if op.kind in DATA_OPS:
            writes.setdefault(p.target[op.seq], []).append(op)
    # Per file: how many of its unsynced writes reached the disk, the last one maybe cut.
    data_choices = [[(number, n, c) for n in range(len(ops) + 1) for c in cuts(ops, n)]
                    for number, ops in sorted(writes.items())]
    total = len(names) + 1
    for choices in data_choices:
        total *= len(choices)
    if total <= limit:
        combos = itertools.product(range(len(names) + 1), *data_choices)
    else:
        # The run without a cut and the durable part alone are always among those drawn.
        whole = tuple((number, len(ops), None) for number, ops in sorted(writes.items()))
        combos = {(len(names),) + whole, (0,) + tuple(c[0] for c in data_choices)}
        while len(combos) < limit:
            combos.add((rng.randrange(len(names) + 1),) + tuple(rng.choice(c) for c in data_choices))
    return [build(p, cut, durable, names, writes, combo) for combo in combos], total > limit


def cuts(ops, kept):
    """Where the last kept write may end: whole, or at a block boundary inside it."""
    if kept == 0 or ops[kept - 1].kind != 'write':
        return [None]
    offset, content = ops[kept - 1].args[1], ops[kept - 1].args[2]
    first = offset // BLOCK + 1
    return [None] + [b * BLOCK - offset for b in range(first, (offset + len(content) - 1) // BLOCK + 1)]


def build(p, cut, durable, names, writes, combo):
    kept = set(op.seq for op in names[:combo[0]])
    partial = {}
    for number, n, c in combo[1:]:
        kept.update(op.seq for op in writes[number][:n])
        if c is not None:
            partial[writes[number][n - 1].seq] = c
    tree = Tree(p.initial.items(), p.dirs)
    for op in p.ops[:cut]:
        if op.seq not in durable and op.seq not in kept:
            continue
        if op.kind == 'write':
            tree.write(p.target[op.seq], op.args[1], op.args[2][:partial.get(op.seq)])
        elif op.kind == 'truncate':
            tree.truncate(p.target[op.seq], op.args[1])
        elif op.kind in NAME_OPS:
            tree.apply_name(op, p.created.get(op.seq))
    how = f'{combo[0]} of {len(names)} unsynced name changes'
    for number, n, c in combo[1:]:
        how += f'; file #{number}: {n} of {len(writes[number])} unsynced writes'
        how += '' if c is None else f', the last cut after {c} bytes'
    return Crash(cut, tree.files(), frozenset(tree.dirs), how)


def expect(p, cut, wipe_story, probe_default='priority0_start'):
    whole, allowed, promised = {}, {}, {}
    for name, history in p.history.items():
        if wipe_story and name in p.initial and name.rsplit('/', 1)[1] not in WIPE_KEPT:
            continue
        seen = [v for v in history if v[0] <= cut]
        kept = 0
        for i, (seq, tid, _) in enumerate(seen):
            if i == 0 or promise(p, seq, tid) <= cut:
                kept = i
        whole[name] = [v[2] for v in seen]
        allowed[name] = [v[2] for v in seen[kept:]]
        promised[name] = (seen[kept][0], seen[kept][2])
    fodder = sorted(n for n in p.initial if wipe_story and n.startswith(WIPED_DIRS)
                    and n.rsplit('/', 1)[1] not in WIPE_KEPT)
    # What a state left by a cut after call `cut` must hold: each state file a version the
    # service left whole, not older than the one it promised; the files a wipe owes removing
    # gone after the next start; no second wipe once one ran to its end and the service went on.
    return {'seq': cut, 'whole': whole, 'allowed': allowed, 'promised': promised,
            'fodder': fodder, 'wipe_story': wipe_story,
            'wipe_done': p.wipe_done is not None and p.wipe_done <= cut,
            'probe': next_status(p, cut) or probe_default}


def promise(p, seq, tid):
    """A version is promised once the thread that wrote it has told anything outside."""
    return next((m for m, t in p.markers if m > seq and t == tid), float('inf'))


STATUS_KEY = 'kdb/memory/pax/priority_biu_status'
# The store service's words the service answers with a "Set cache" line once it handled them.
CACHED_STATUSES = ('priority0_start', 'needed_space', 'priority0_downloadfailed',
                   'priority0_downloaded', 'priority0_installprogress', 'priority0_installed',
                   'priority0_installfailed', 'priority0_end', 'cancel_by_timer')


def next_status(p, cut):
    for op in p.ops[cut:]:
        if op.kind == 'put' and op.who == 'P' and op.args[0] == STATUS_KEY:
            value = op.args[1].decode('latin-1')[2:]
            if value.startswith(CACHED_STATUSES):
                return value
    return None
