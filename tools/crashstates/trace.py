"""The record: strace's output turned into one line per call on the device root, which a person
can read and the explorer reads back (README.md shows its lines)."""

import json
import os
import re

from model import Op, Tree

HEADER = '# brenwick crash-state record'
# The calls strace is asked for: every one that changes a file or a name, makes them durable,
# or moves a descriptor's offset, and those that tell which process is the service.
SYSCALLS = ('open,openat,creat,write,pwrite64,writev,truncate,ftruncate,rename,renameat,'
            'renameat2,link,linkat,unlink,unlinkat,mkdir,mkdirat,rmdir,fsync,fdatasync,sync,'
            'syncfs,close,lseek,dup,dup2,dup3,fcntl,execve,clone,clone3,fork,vfork')
PLATFORM_DIRS = ('kdb/', 'packages/', 'store/')
JOURNALS = ('log/launch.jsonl', 'log/notification.jsonl', 'log/store.jsonl', 'log/power.jsonl')
MAX_FILE = 1 << 20


class RecordError(Exception):
    pass


def tracked(path):
    return path is not None and path.startswith(('fs/',) + PLATFORM_DIRS)


# The calls that name paths: (directory descriptor argument or None, path argument) for each.
PATHS = {'open': [(None, 0)], 'creat': [(None, 0)], 'openat': [(0, 1)], 'truncate': [(None, 0)],
         'rename': [(None, 0), (None, 1)], 'link': [(None, 0), (None, 1)],
         'renameat': [(0, 1), (2, 3)], 'renameat2': [(0, 1), (2, 3)], 'linkat': [(0, 1), (2, 3)],
         'unlink': [(None, 0)], 'unlinkat': [(0, 1)], 'rmdir': [(None, 0)],
         'mkdir': [(None, 0)], 'mkdirat': [(0, 1)]}


# ---- strace's lines -------------------------------------------------------------------------

LINE = re.compile(r'^(\d+) +[\d.]+ (\w+)\((.*)\) += (.*)$')
HEX = re.compile(r'(?:\\x[0-9a-f]{2})*')


def unhex(text):
    return bytes.fromhex(text.replace('\\x', ''))


def split_args(text):
    args, depth, start = [], 0, 0
    for i, ch in enumerate(text):
        if ch in '([{':
            depth += 1
        elif ch in ')]}':
            depth -= 1
        elif ch == ',' and depth == 0:
            args.append(text[start:i].strip())
            start = i + 1
    if text.strip():
        args.append(text[start:].strip())
    return args


def string_arg(arg, where):
    m = re.fullmatch(r'"(' + HEX.pattern + r')"(\.\.\.)?', arg)
    if not m or m.group(2):
        raise RecordError(f'{where}: not a whole string (strace cut it?): {arg[:60]}')
    return unhex(m.group(1))


def fd_arg(arg):
    """A descriptor with the path strace gave it: (number or 'AT_FDCWD', path or None)."""
    m = re.fullmatch(r'(-?\d+|AT_FDCWD)(?:<(' + HEX.pattern + r')>)?', arg)
    if not m:
        return None, None
    path = unhex(m.group(2)).decode('latin-1') if m.group(2) is not None else None
    if path is not None and path.endswith(' (deleted)'):
        path = None
    return m.group(1), path


def merged_lines(lines):
    """strace -f splits a call that another thread interrupts; this joins the halves."""
    waiting = {}
    for number, line in enumerate(lines, 1):
        line = line.rstrip('\n')
        pid = line.split(' ', 1)[0]
        if line.endswith(' <unfinished ...>'):
            waiting[pid] = line[:-len(' <unfinished ...>')]
            continue
        m = re.match(r'^\d+ +[\d.]+ <\.\.\. \w+ resumed>(.*)$', line)
        if m:
            if pid not in waiting:
                raise RecordError(f'strace line {number}: a resumed call that never started')
            line = waiting.pop(pid) + m.group(1)
        yield number, line


class StraceReader:
    """Turns strace's lines into the record's calls, relative to the device root."""

    def __init__(self, root, initial_files, initial_dirs):
        self.root = os.path.realpath(root) + '/'
        self.tgid = {}
        self.service = None
        self.offsets = {}
        self.tree = Tree(initial_files.items(), initial_dirs)
        self.platform = {p: c for p, c in initial_files.items() if p.startswith(PLATFORM_DIRS)}
        self.ops = []

    def read(self, lines):
        lines = list(lines)
        for number, line in merged_lines(lines):
            m = LINE.match(line)
            if m and m.group(2) in ('clone', 'clone3', 'fork', 'vfork') and m.group(4).isdigit():
                child, pid = int(m.group(4)), int(m.group(1))
                self.tgid[child] = self.tgid.get(pid, pid) if 'CLONE_THREAD' in m.group(3) else child
        for number, line in merged_lines(lines):
            if re.match(r'^\d+ +[\d.]+ (\+\+\+|---) ', line) or line.endswith(' = ?'):
                continue
            m = LINE.match(line)
            if not m:
                raise RecordError(f'strace line {number}: cannot read: {line[:80]}')
            pid, name, args, ret = int(m.group(1)), m.group(2), split_args(m.group(3)), m.group(4)
            if ret.startswith('-1 ') or ret.startswith('? '):
                continue
            self.call(f'strace line {number}', pid, name, args, ret)
        if self.service is None:
            raise RecordError('the service never started under strace')
        return self.ops

    def rel(self, path):
        if path is None or not path.startswith(self.root):
            return None
        return os.path.normpath(path[len(self.root):])

    def at(self, dirfd, path_arg, where):
        path = string_arg(path_arg, where).decode('latin-1')
        if not path.startswith('/'):
            base = fd_arg(dirfd)[1]
            if base is None:
                return None
            path = base + '/' + path
        return self.rel(path)

    def add(self, pid, kind, *args):
        who = 'S' if self.tgid.get(pid, pid) == self.service else 'P'
        self.ops.append(Op(len(self.ops) + 1, who, pid, kind, args))

    def paths(self, name, args, where):
        """The paths a call names, each from its directory descriptor (or the working directory)
        and its path argument."""
        return [self.at('AT_FDCWD' if d is None else args[d], args[p], where) for d, p in PATHS[name]]

    def call(self, where, pid, name, args, ret):
        group = self.tgid.get(pid, pid)
        if name == 'execve':
            if os.path.basename(string_arg(args[0], where).decode('latin-1')) == 'brenwick':
                self.service = group
        elif name in ('open', 'openat', 'creat'):
            flags = 'O_CREAT|O_WRONLY|O_TRUNC' if name == 'creat' else args[2 if name == 'openat' else 1]
            self.opened(pid, group, self.paths(name, args, where)[0], flags, fd_arg(ret)[0])
        elif name in ('write', 'pwrite64', 'writev'):
            self.written(where, pid, group, name, args, ret)
        elif name == 'lseek':
            self.offsets[(group, fd_arg(args[0])[0])] = int(ret.split()[0])
        elif name == 'close':
            self.offsets.pop((group, fd_arg(args[0])[0]), None)
        elif name in ('dup', 'dup2', 'dup3') or (name == 'fcntl' and 'F_DUPFD' in args[1]):
            old = self.offsets.get((group, fd_arg(args[0])[0]))
            if old is not None:
                self.offsets[(group, fd_arg(ret)[0])] = old
        elif name == 'ftruncate':
            self.change(pid, self.rel(fd_arg(args[0])[1]), 'truncate', int(args[1]))
        elif name in ('fsync', 'fdatasync'):
            path = self.rel(fd_arg(args[0])[1])
            if path is not None and path.startswith('fs/'):
                self.add(pid, 'fsync', path)
        elif name in ('sync', 'syncfs'):
            self.add(pid, 'sync')
        elif name in PATHS:
            self.named(where, pid, name, args)

    def named(self, where, pid, name, args):
        """The calls that change names (and truncate, which takes one)."""
        paths = self.paths(name, args, where)
        flags = args[-1]
        if name == 'truncate':
            self.change(pid, paths[0], 'truncate', int(args[1]))
        elif name.startswith(('rename', 'link')):
            if 'RENAME_EXCHANGE' in flags:
                raise RecordError(f'{where}: an exchange of two names is not modelled')
            self.change(pid, paths[0], 'link' if name.startswith('link') else 'rename', paths[1])
        elif name.startswith('mkdir'):
            self.change(pid, paths[0], 'mkdir')
        else:
            rmdir = name == 'rmdir' or 'AT_REMOVEDIR' in flags
            self.change(pid, paths[0], 'rmdir' if rmdir else 'unlink')

    def opened(self, pid, group, path, flags, fd):
        if path is None or fd is None:
            return
        self.offsets[(group, fd)] = 'append' if 'O_APPEND' in flags else 0
        if 'O_CREAT' in flags and path not in self.tree.names and 'O_DIRECTORY' not in flags:
            self.change(pid, path, 'create')
        elif 'O_TRUNC' in flags and path in self.tree.names and '_RDONLY' not in flags:
            self.change(pid, path, 'truncate', 0)

    def written(self, where, pid, group, name, args, ret):
        fd, path = fd_arg(args[0])
        path = self.rel(path)
        if path is None:
            return
        if name == 'writev':
            content = b''.join(string_arg(a, where) for a in re.findall(r'iov_base=("[^"]*"(?:\.\.\.)?)', args[1]))
        else:
            content = string_arg(args[1], where)
        content = content[:int(ret.split()[0])]
        offset = int(args[3]) if name == 'pwrite64' else self.offsets.get((group, fd), 0)
        if path.startswith('log/'):
            if self.tgid.get(pid, pid) == self.service and (path == 'log/dlog.log' or path in JOURNALS):
                for line in content.decode('latin-1').splitlines():
                    self.add(pid, 'log' if path == 'log/dlog.log' else 'act', line.encode('latin-1'))
            return
        if offset == 'append':
            offset = len(self.tree.data.get(self.tree.names.get(path), b''))
        elif name != 'pwrite64':
            self.offsets[(group, fd)] = offset + len(content)
        self.change(pid, path, 'write', offset, content)

    def change(self, pid, path, kind, *args):
        """Applies a change to the shadow tree; fs/ changes become calls of the record, the
        platform's files become what they hold afterwards."""
        if not tracked(path) or kind in ('rename', 'link') and not tracked(args[0]):
            return
        op = Op(0, '', pid, kind, (path,) + args)
        if kind == 'create':
            self.tree.new_file(path)
        elif kind == 'write':
            self.tree.write(self.tree.names.get(path) or self.tree.new_file(path), args[0], args[1])
        elif kind == 'truncate':
            self.tree.truncate(self.tree.names.get(path) or self.tree.new_file(path), args[0])
        else:
            self.tree.apply_name(op)
        if path.startswith('fs/'):
            self.add(pid, kind, path, *args)
            return
        files = self.tree.files()
        for name in {path} | set(a for a in args if isinstance(a, str)):
            if os.path.basename(name).startswith('.') or name not in files and name not in self.platform:
                continue
            if name in files:
                self.platform[name] = files[name]
                self.add(pid, 'put', name, files[name])
            else:
                del self.platform[name]
                self.add(pid, 'del', name)


# ---- the record's text ----------------------------------------------------------------------

def quote(value):
    if isinstance(value, bytes):
        return json.dumps(value.decode('latin-1'), ensure_ascii=True)
    if isinstance(value, int):
        return str(value)
    return value if re.fullmatch(r'[\w./+@:-]+', value) else json.dumps(value)


ARGS = {  # kind -> what its arguments are: p path, i number, b bytes
    'create': 'p', 'write': 'pib', 'truncate': 'pi', 'rename': 'pp', 'link': 'pp', 'unlink': 'p',
    'mkdir': 'p', 'rmdir': 'p', 'fsync': 'p', 'sync': '', 'log': 'b', 'act': 'b', 'put': 'pb',
    'del': 'p'}


def write_record(path, ops, comments):
    with open(path, 'w') as out:
        out.write(HEADER + '\n')
        for line in comments:
            out.write('# ' + line + '\n')
        for op in ops:
            out.write(' '.join([str(op.seq), op.who, str(op.tid), op.kind] +
                               [quote(a) for a in op.args]) + '\n')


TOKEN = re.compile(r'"(?:[^"\\]|\\.)*"|\S+')


def read_record(path):
    """The calls of a record file; a line that is not one is refused with its number."""
    ops = []
    with open(path, encoding='ascii', errors='strict') as f:
        try:
            lines = f.read().splitlines()
        except UnicodeDecodeError as e:
            raise RecordError(f'{path}: not a record: {e}') from None
    if not lines or lines[0] != HEADER:
        raise RecordError(f'{path}: not a record: no "{HEADER}" line')
    for number, line in enumerate(lines, 1):
        if line.startswith('#') or not line.strip():
            continue
        try:
            ops.append(parse_line(line, len(ops) + 1))
        except (ValueError, KeyError, IndexError) as e:
            raise RecordError(f'{path} line {number}: {e}: {line[:80]}') from None
    return ops


def parse_line(line, seq):
    tokens = TOKEN.findall(line)
    if len(tokens) < 4 or int(tokens[0]) != seq or tokens[1] not in ('S', 'P'):
        raise ValueError(f'expected call {seq} as "SEQ S|P TID KIND ARGS"')
    kind, raw = tokens[3], tokens[4:]
    shape = ARGS[kind]
    if len(raw) != len(shape):
        raise ValueError(f'{kind} takes {len(shape)} arguments, got {len(raw)}')
    args = []
    for what, token in zip(shape, raw):
        text = json.loads(token) if token.startswith('"') else token
        if what == 'i':
            if not re.fullmatch(r'\d{1,9}', text):
                raise ValueError(f'not a size: {token}')
            args.append(int(text))
        elif what == 'b':
            args.append(text.encode('latin-1'))
        else:
            if text.startswith('/') or '..' in text.split('/') or not text:
                raise ValueError(f'not a path under the device root: {token}')
            args.append(text)
    return Op(seq, tokens[1], int(tokens[2]), kind, tuple(args))


def read_tree(root, tops):
    """Files and directories under `root`'s `tops` (no link followed, no file over 1 MiB)."""
    files, dirs = {}, set()
    for top in tops:
        base = os.path.join(root, top)
        if os.path.isfile(base) and not os.path.islink(base):
            with open(base, 'rb') as f:
                files[top] = f.read(MAX_FILE)
        if not os.path.isdir(base):
            continue
        for here, subdirs, names in os.walk(base):
            rel = os.path.relpath(here, root)
            dirs.add(rel)
            for name in names:
                full = os.path.join(here, name)
                if os.path.islink(full) or not os.path.isfile(full):
                    raise RecordError(f'{full}: not a regular file')
                if os.path.getsize(full) > MAX_FILE:
                    raise RecordError(f'{full}: larger than a state file can be')
                with open(full, 'rb') as f:
                    files[os.path.join(rel, name)] = f.read()
    return files, dirs
