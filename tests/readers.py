"""The outside readers of the checks, each wrapped here once:

- stores, libpff: pypff (folders, messages, properties) and pffexport (an
  export, read back); libpst: readpst (each message as MIME) and lspst;
- the stricter store judges of the shared tools folder: mspst-check (the
  published PST library), pstlint.py and pstx.js (the npm pst-extractor);
- message files: olefile, with the property streams read here (read_msg,
  which also holds a file to the rules Outlook's own files keep),
  libolecf's olecfexport, Apache POI's HSMF;
- encoded words in header fields, as Python's email package decodes them.

A wrapper reports what its reader shows, or what went wrong running it;
what a check makes of it is the check's own."""
import email.errors
import email.header
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = 'Top of Personal Folders'
TIMEOUT = 600
SKIP = 77  # a check's exit code where what it needs is absent


def report(failures, summary, most=50):
    """Prints the first failures, then the summary and their count: a
    check's exit code."""
    print(''.join('FAIL %s\n' % f for f in failures[:most]) + '%s; %d failures' % (summary, len(failures)))
    return 1 if failures else 0


def utf16(data):
    return data.decode('utf-16-le', 'replace').rstrip('\0') if data else ''


def decode_words(text):
    """Encoded words in a header value or name, as Python decodes them;
    None when Python cannot."""
    if text is None:
        return None
    text = str(text)
    if '=?' not in text:
        return text
    try:
        return str(email.header.make_header(email.header.decode_header(text)))
    except (LookupError, UnicodeError, email.errors.HeaderParseError, ValueError):
        return None


# -- libpff through pypff


def pypff_open(path):
    import pypff
    store = pypff.file()
    store.open(path)
    return store


def pypff_values(item):
    """An item's properties as pypff reads them: tag (id << 16 | type) ->
    bytes, the first record set's where several hold one."""
    out = {}
    for record_set in item.record_sets:
        for entry in record_set.entries:
            out.setdefault(entry.entry_type << 16 | entry.value_type, entry.data or b'')
    return out


def prop_text(values, pid):
    """A string property of pypff_values (Unicode or 8-bit); None when absent."""
    if pid << 16 | 0x1F in values:
        return utf16(values[pid << 16 | 0x1F])
    if pid << 16 | 0x1E in values:
        return values[pid << 16 | 0x1E].decode('latin-1').rstrip('\0')
    return None


def prop_long(values, pid):
    data = values.get(pid << 16 | 0x3)
    return struct.unpack('<i', data)[0] if data else None


def pypff_walk(folder, prefix=''):
    """(path, folder) of every folder below `folder`, subfolders as "a/b"."""
    for sub in folder.sub_folders:
        yield prefix + sub.name, sub
        yield from pypff_walk(sub, prefix + sub.name + '/')


def pypff_folders(store):
    """{path below the top of the store: folder}; None without a top."""
    root = store.get_root_folder()
    top = next((f for f in root.sub_folders if f.name == TOP), None) if root else None
    return dict(pypff_walk(top)) if top else None


def pypff_data(attachment):
    return attachment.read_buffer(attachment.size) if attachment.size else b''


# -- libpff's pffexport, libpst's readpst and lspst


class Exported:
    """One message of a pffexport export: its OutlookHeaders.txt fields, its
    recipients (the fields of each), text body (bytes), its attachment files
    [(name, data)] in their order and the OutlookHeaders.txt fields of its
    embedded messages."""

    def __init__(self, folder):
        self.folder = folder
        self.headers = outlook_headers(os.path.join(folder, 'OutlookHeaders.txt'))
        blocks = read_text(os.path.join(folder, 'Recipients.txt')).split('\n\n')
        self.recipients = [f for f in ({k.strip(): v.strip() for k, sep, v in (line.partition(':') for line in block.splitlines())
                                        if sep} for block in blocks) if f]
        body = os.path.join(folder, 'Message.txt')
        self.body = open(body, 'rb').read() if os.path.exists(body) else None
        self.files, self.embedded = [], []
        attachments = os.path.join(folder, 'Attachments')
        entries = os.listdir(attachments) if os.path.isdir(attachments) else []
        for entry in sorted(entries, key=lambda e: int(re.match(r'\d*', e).group() or 1 << 30)):
            path = os.path.join(attachments, entry)
            if os.path.isdir(path):
                self.embedded.append(outlook_headers(os.path.join(path, 'Message00001', 'OutlookHeaders.txt')))
            elif entry != 'ItemValues.txt':
                match = re.match(r'\d+_(.*)$', entry, re.S)
                self.files.append((match.group(1) if match else entry, open(path, 'rb').read()))

    def named_values(self):
        """Named properties of the -d dump: the name or number each maps to
        -> its value as text."""
        blocks = read_text(os.path.join(self.folder, 'ItemValues.txt')).split('\n\n')
        return {m.group(1).strip(): hex_dump(block).decode('utf-16-le', 'replace')
                for block in blocks for m in [re.search(r'^Maps to entry(?: type)?:\s+(.*)$', block, re.M)] if m}

    def recipient_rows(self):
        """The recipient rows of the -d dump, each as property id -> bytes."""
        rows = {}
        for block in read_text(os.path.join(self.folder, 'RecipientsItemValues.txt')).split('\n\n'):
            row = re.search(r'^Set:\s+(\d+)', block, re.M)
            tag = re.search(r'^Entry type:\s+0x([0-9a-f]+)', block, re.M)
            if row and tag:
                rows.setdefault(int(row.group(1)), {})[int(tag.group(1), 16)] = hex_dump(block)
        return [rows[k] for k in sorted(rows)]


def hex_dump(text):
    """The bytes of the hex dump lines in a pffexport -d block."""
    return bytes.fromhex(''.join(re.findall(r'^0x[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2})+)', text, re.M)).replace(' ', ''))


def read_text(path):
    try:
        # A subject may hold a lone CR: lines end at LF only.
        with open(path, encoding='utf-8', errors='replace', newline='') as f:
            return f.read()
    except OSError:
        return ''


def outlook_headers(path):
    fields = {}
    for line in read_text(path).split('\n'):
        key, sep, value = line.partition(':')
        if sep and value.startswith('\t'):
            fields.setdefault(key.strip(), value.strip('\t'))
    return fields


def pffexport(store, out, dump=False, timeout=TIMEOUT):
    """(error or None, {folder path: [Exported]}) of `pffexport -f all`
    (text and HTML bodies; `dump`: each item's values too). What it could
    not read, on standard error, is an error."""
    run = subprocess.run(['pffexport', '-q', '-f', 'all'] + ['-d'] * dump + ['-t', out, store],
                         capture_output=True, timeout=timeout)
    problems = [line for line in run.stderr.decode('utf-8', 'replace').splitlines() if line.strip()]
    error = 'pffexport exited %d: %s' % (run.returncode, '; '.join(problems[:5])) \
        if run.returncode or problems else None
    top = os.path.join(out + '.export', TOP)
    if not os.path.isdir(top):
        return error or 'pffexport wrote no %r' % TOP, None
    folders = {}
    for path, subfolders, _files in os.walk(top):
        messages = sorted(d for d in subfolders if re.fullmatch(r'Message\d+', d))
        subfolders[:] = [d for d in subfolders if d not in messages]
        if path != top:
            folders[os.path.relpath(path, top).replace(os.sep, '/')] = [
                Exported(os.path.join(path, m)) for m in messages]
    return error, folders


def readpst(store, out, timeout=TIMEOUT):
    """(error or None, {folder path: [message as MIME bytes]}) of readpst's
    export, each message a file (-e) in its folder (-r), text as UTF-8."""
    os.makedirs(out, exist_ok=True)
    # -j 0: with any parallel jobs readpst numbers a folder's files from more
    # than one process, and under load two messages now and then get the same
    # N.eml, one overwriting the other (a store of ours read 25 times on a busy
    # machine lost a message in 9 runs with -j 1, in none with -j 0).
    run = subprocess.run(['readpst', '-q', '-j', '0', '-r', '-e', '-8', '-o', out, store],
                         capture_output=True, timeout=timeout)
    if run.returncode != 0:
        return 'readpst exited %d: %s' % (run.returncode, run.stderr.decode('utf-8', 'replace')[-500:]), None
    tops = os.listdir(out)
    if len(tops) != 1:
        return 'readpst wrote %s at the top, not one store folder' % tops, None
    base = os.path.join(out, tops[0])
    folders = {}
    for path, _subfolders, files in os.walk(base):
        if path != base:
            numbers = sorted(int(f[:-4]) for f in files if re.fullmatch(r'\d+\.eml', f))
            folders[os.path.relpath(path, base).replace(os.sep, '/')] = [
                open(os.path.join(path, '%d.eml' % n), 'rb').read() for n in numbers]
    return None, folders


def lspst_subjects(store):
    """(exit code, [subject of each message lspst lists])."""
    r = subprocess.run(['lspst', store], capture_output=True, text=True, errors='replace')
    return r.returncode, re.findall(r'Subject: (.*)', r.stdout)


# -- the judges of the shared tools folder


class Judges:
    """mspst-check, pstlint.py and pstx.js of SHARED/tools; `missing` says
    which cannot run here and why."""

    def __init__(self, shared, timeout=TIMEOUT):
        tools = os.path.join(shared or '', 'tools')
        self.timeout = timeout
        self.mspst = os.path.join(tools, 'mspst', 'mspst-check')
        self.pstlint = os.path.join(tools, 'pstcheck', 'pstlint.py')
        self.pstx = os.path.join(tools, 'pstcheck', 'pstx.js')
        self.missing = {}
        if not shared or not os.path.isdir(tools):
            self.missing = dict.fromkeys(('mspst-check', 'pstlint.py', 'pstx.js'), 'the shared tools folder is absent')
            return
        for name, path in (('mspst-check', self.mspst), ('pstlint.py', self.pstlint), ('pstx.js', self.pstx)):
            if not os.path.exists(path):
                self.missing[name] = 'absent'
        if self.has('mspst-check'):
            # The first use builds it (about a minute, offline).
            probe = subprocess.run([self.mspst, '--help'], capture_output=True, text=True, timeout=TIMEOUT)
            if 'usage: mspst-check' not in probe.stdout + probe.stderr:
                self.missing['mspst-check'] = 'could not be built: ' + probe.stderr[-300:]
        if self.has('pstx.js') and not self.pstx_modules():
            self.missing['pstx.js'] = 'pst-extractor is not installed (npm install pst-extractor@1.12.0; set PSTX_MODULES)'

    def pstx_modules(self):
        """The node_modules folder holding pst-extractor, or None."""
        cache = os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache')
        for d in (os.environ.get('PSTX_MODULES'), os.path.join(cache, 'mailvane', 'pstx', 'node_modules'),
                  '/tmp/pstcheck/node_modules', os.path.join(os.path.dirname(self.pstx), 'node_modules')):
            if d and os.path.isdir(os.path.join(d, 'pst-extractor')):
                return d
        return None

    def absent(self):
        return '; '.join('%s: %s' % kv for kv in sorted(self.missing.items()))
    def has(self, name):
        return name not in self.missing

    def run_mspst(self, store):
        """Every line mspst-check prints: M, A and E lines for what it reads,
        ERROR and DISCREPANCY for what it finds wrong, a SUMMARY."""
        r = subprocess.run([self.mspst, store], capture_output=True, text=True, errors='replace',
                           timeout=self.timeout)
        lines = (r.stdout + r.stderr).splitlines()
        if r.returncode not in (0, 1) or not any(l.startswith('SUMMARY') for l in lines):
            raise RuntimeError('mspst-check exited %d: %s' % (r.returncode, ' / '.join(lines[-3:])))
        return lines

    def run_pstlint(self, store):
        """[(level, code, detail)] of each finding."""
        r = subprocess.run([sys.executable, self.pstlint, store], capture_output=True, text=True,
                           errors='replace', timeout=self.timeout)
        if r.returncode not in (0, 1):
            raise RuntimeError('pstlint exited %d: %s' % (r.returncode, r.stderr[-300:]))
        findings = [m.groups() for m in map(re.compile(r'(ERROR|WARN|INFO) (\S+) ?(.*)$').match,
                                             r.stdout.splitlines()) if m]
        if r.returncode == 1 and not any(level == 'ERROR' for level, _, _ in findings):
            raise RuntimeError('pstlint exited 1 naming no error: %s' % r.stderr[-300:])
        return findings

    def pstlint_model(self, store):
        """pstlint.py's reading of a store, made in this process: its
        findings, nodes, blocks, properties and tables (a pstlint.Lint)."""
        if os.path.dirname(self.pstlint) not in sys.path:
            sys.path.insert(0, os.path.dirname(self.pstlint))
        import pstlint
        pstlint.load_permute()
        return pstlint.Lint(store).run()

    def run_pstx(self, store, most=None):
        """The JSON records pstx.js prints (k: folder, msg, warn, error,
        summary); with `most`, only that many messages are read in full."""
        cmd = ['node', self.pstx, store, '--timeout', str(self.timeout)]
        cmd += ['--max', str(most), '--no-hash'] if most is not None else []
        r = subprocess.run(cmd, capture_output=True, text=True, env=dict(os.environ, PSTX_MODULES=self.pstx_modules()),
                           timeout=self.timeout + 30)
        return [json.loads(l) for l in r.stdout.splitlines() if l.startswith('{')]


# -- message files


class MsgObject:
    """One storage of a message file: its kind (message, embedded message,
    recipient, attachment), properties (tag -> bytes as an item keeps them),
    property stream header, raw entries (tag -> (flags, 8 value bytes)),
    recipients, attachments and embedded message."""

    def __init__(self, kind):
        self.kind = kind
        self.props, self.entries, self.header = {}, {}, None
        self.recipients, self.attachments, self.embedded = [], [], None

    def long(self, tag):
        v = self.props.get(tag)
        return None if v is None else struct.unpack('<i', v)[0]


MSG_HEADER = {'message': 32, 'embedded message': 24, 'recipient': 8, 'attachment': 8}
FIXED_SIZE = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x000A: 4, 0x000B: 1, 0x0005: 8, 0x0006: 8,
              0x0007: 8, 0x0014: 8, 0x0040: 8}
PS_INTERNET_HEADERS = bytes.fromhex('8603020000000000c000000000000046')
NAMEID_STREAMS = ['__substg1.0_00020102', '__substg1.0_00030102', '__substg1.0_00040102']


class MsgReader:
    """A message file read with olefile: `faults` lists what breaks the
    rules every Outlook-made Unicode message file keeps (strict: and a
    string's size counts the terminator its stream leaves out, as ours
    do); `shows` what the file shows, without counts or indices."""

    def __init__(self, ole, strict):
        self.ole, self.strict, self.faults = ole, strict, []
        self.entries = ole.listdir(streams=True, storages=True)
        self.shows = {'compound file version %d.%d, sectors of %d and %d bytes' % (
            ole.dll_version, ole.minor_version, ole.sector_size, ole.mini_sector_size), 'root class {%s}' % ole.root.clsid}

    def fault(self, path, what):
        self.faults.append('%s: %s' % ('/'.join(path) or '/', what))

    def children(self, path):
        return {e[-1]: self.ole.get_type('/'.join(e)) for e in self.entries
                if len(e) == len(path) + 1 and e[:len(path)] == path}

    def storage(self, path, kind):
        import olefile
        o, kids, read = MsgObject(kind), self.children(path), lambda name: self.ole.openstream(path + [name]).read()
        if path:
            modified = self.ole.direntries[self.ole._find('/'.join(path))].modifyTime
            self.shows.add('%s storage: %s' % (kind, 'modification time' if modified else 'no times'))
        data = read('__properties_version1.0') if '__properties_version1.0' in kids else None
        size = MSG_HEADER[kind]
        if data is None or len(data) < size or (len(data) - size) % 16:
            self.fault(path, 'property stream of %s bytes fits no %d-byte header' % (data and len(data), size))
            return o
        self.shows.add('%s: property stream with a %d-byte header' % (kind, size))
        o.entries = {struct.unpack_from('<I', data, at)[0]: struct.unpack_from('<I8s', data, at + 4)
                     for at in range(size, len(data), 16)}
        subs = {}
        for prefix, sub in (('__recip_version1.0_#', 'recipient'), ('__attach_version1.0_#', 'attachment')):
            subs[sub] = sorted(n for n in kids if n.startswith(prefix))
            if subs[sub] != ['%s%08X' % (prefix, i) for i in range(len(subs[sub]))]:
                self.fault(path, 'storages %s are not numbered from 0' % subs[sub])
        if size > 8:
            o.header = struct.unpack_from('<8sIIII', data)
            _, next_r, next_a, n_r, n_a = o.header
            if (n_r, n_a) != (len(subs['recipient']), len(subs['attachment'])):
                self.fault(path, 'header counts %d/%d for %d/%d storages' % (
                    n_r, n_a, len(subs['recipient']), len(subs['attachment'])))
            if next_r < n_r or next_a < n_a:
                self.fault(path, 'next ids %d/%d below the counts' % (next_r, next_a))
            self.shows.add('%s: header counts match its recipient and attachment storages' % kind)
        if kind == 'message':
            if not struct.unpack('<I', o.entries.get(0x340D0003, (0, bytes(8)))[1][:4])[0] & 0x00040000:
                self.fault(path, 'no PidTagStoreSupportMask with STORE_UNICODE_OK')
            else:
                self.shows.add('message: PidTagStoreSupportMask marks Unicode')
        for tag, (_flags, raw) in o.entries.items():
            ptype, stream = tag & 0xFFFF, '__substg1.0_%08X' % tag
            if ptype in FIXED_SIZE:
                o.props[tag] = raw[:FIXED_SIZE[ptype]]
                continue
            if ptype in (0x001E, 0x101E):
                self.fault(path, '8-bit string %08X in a Unicode file' % tag)
            if ptype == 0x000D:
                if kind == 'attachment' and kids.get(stream) == olefile.STGTY_STORAGE:
                    if raw != b'\xff\xff\xff\xff\x01\x00\x00\x00':
                        self.fault(path, 'embedded message entry %s' % raw.hex())
                    self.shows.add('attachment: embedded message entry without size, reserved 1')
                    o.embedded = self.storage(path + [stream], 'embedded message')
                continue
            if kids.get(stream) != olefile.STGTY_STREAM:
                self.fault(path, 'no stream for %08X' % tag)
                continue
            o.props[tag] = value = read(stream)
            declared = struct.unpack_from('<I', raw)[0]
            # Outlook leaves a string's terminator out of the stream and
            # counts it in the size; the new Outlook keeps it in both.
            if declared not in ((len(value) + 2, len(value))[:2 - self.strict] if ptype == 0x001F else (len(value),)):
                self.fault(path, '%s: size %d for %d bytes' % (stream, declared, len(value)))
            if ptype in (0x101E, 0x101F, 0x1102):
                o.props[tag] = self.multi_value(path, kids, stream, ptype, value)
            self.shows.add('%s: multi-valued %04X streams' % (kind, ptype) if ptype & 0x1000 else
                           '%s: string streams (001F)' % kind if ptype == 0x001F else
                           '%s: value streams (%04X)' % (kind, ptype))
        for name, t in kids.items():
            if t == olefile.STGTY_STREAM and name != '__properties_version1.0' and (
                    not name.startswith('__substg1.0_') or int(name[12:20], 16) not in o.entries):
                self.fault(path, 'stream %s has no property entry' % name)
        o.recipients = [self.storage(path + [n], 'recipient') for n in subs['recipient']]
        o.attachments = [self.storage(path + [n], 'attachment') for n in subs['attachment']]
        if kind != 'message' and '__nameid_version1.0' in kids:
            self.fault(path, 'a named-property mapping below the top')
        return o

    def multi_value(self, path, kids, stream, ptype, lengths):
        """A variable-size multi-value as an item keeps it: count, offsets,
        values."""
        width, values = 8 if ptype == 0x1102 else 4, []
        for i in range(len(lengths) // width):
            name = '%s-%08X' % (stream, i)
            if name not in kids:
                self.fault(path, 'no stream %s' % name)
                continue
            v = self.ole.openstream(path + [name]).read()
            if struct.unpack_from('<I', lengths, i * width)[0] != len(v):
                self.fault(path, '%s: length differs from the length stream' % name)
            if ptype == 0x101F and v[-2:] != b'\0\0':
                self.fault(path, '%s: string without its terminator' % name)
            values.append(v[:-2] if ptype == 0x101F else v)
        offsets = [4 + 4 * len(values) + sum(map(len, values[:i])) for i in range(len(values))]
        return struct.pack('<%dI' % (1 + len(values)), len(values), *offsets) + b''.join(values)

    def name_ids(self):
        """The named-property mapping: id -> (GUID bytes, 'lid' or 'name',
        lid or name); its name-to-id streams must hold every name."""
        where, kids = ['__nameid_version1.0'], self.children(['__nameid_version1.0'])
        if any(n not in kids for n in NAMEID_STREAMS):
            self.fault(where, 'missing %s' % [n for n in NAMEID_STREAMS if n not in kids])
            return {}
        self.shows.add('named-property mapping: GUID, entry and string streams')
        get = lambda n: self.ole.openstream(where + [n]).read()
        guids, entries, strings = map(get, NAMEID_STREAMS)
        ids, expected = {}, {}
        for i in range(0, len(entries), 8):
            first, ik = struct.unpack_from('<II', entries, i)
            gi, key = (ik >> 1) & 0x7FFF, first
            if ik >> 16 != i // 8 or (gi >= 3 and 16 * (gi - 2) > len(guids)) or gi == 0:
                self.fault(where, 'entry %d: index and kind %08X' % (i // 8, ik))
                continue
            guid = bytes.fromhex('2%d03020000000000C000000000000046' % (gi + 7)) if gi < 3 else guids[16 * (gi - 3):16 * (gi - 2)]
            if ik & 1:
                name = strings[first + 4:first + 4 + struct.unpack_from('<I', strings, first)[0]]
                ids[0x8000 + (ik >> 16)] = (guid, 'name', name.decode('utf-16-le'))
                if guid == PS_INTERNET_HEADERS:
                    name = name.decode('utf-16-le').lower().encode('utf-16-le')
                key = zlib.crc32(name, 0xFFFFFFFF) ^ 0xFFFFFFFF
            else:
                ids[0x8000 + (ik >> 16)] = (guid, 'lid', first)
            stream = '__substg1.0_%04X0102' % (0x1000 + (key ^ (gi << 1 | (ik & 1))) % 0x1F)
            expected.setdefault(stream, []).append(struct.pack('<II', key, ik))
        if expected and not any(n in kids for n in expected):
            # The new Outlook writes none at all.
            self.shows.add('named-property mapping: no name-to-id streams')
            return ids
        for stream, items in expected.items():
            have = get(stream) if stream in kids else b''
            if not set(items) <= {have[j:j + 8] for j in range(0, len(have), 8)}:
                self.fault(where, '%s lacks entries' % stream)
        if expected:
            self.shows.add('named-property mapping: name-to-id streams hold every name')
        return ids


def read_msg(path, strict=True):
    """The message of a message file, read with olefile (OSError where it
    finds no compound file): a MsgObject with the file's `faults`, what it
    `shows` (see MsgReader) and its named-property mapping `names`."""
    import olefile
    with olefile.OleFileIO(path) as ole:
        reader = MsgReader(ole, strict)
        m = reader.storage([], 'message')
        m.names = reader.name_ids()
    m.faults, m.shows = reader.faults, reader.shows
    return m


def msg_streams(path):
    """Every stream of a compound file, read with olefile: "a/b" -> bytes
    (a storage: b'')."""
    import olefile
    with olefile.OleFileIO(path) as ole:
        return {'/'.join(e): ole.openstream(e).read() if ole.get_type(e) == olefile.STGTY_STREAM else b''
                for e in ole.listdir(streams=True, storages=True)}


def olecfexport(path, target):
    """(error or None, every stream of the file as libolecf exports it:
    "a/b" -> bytes, a storage b'')."""
    shutil.rmtree(target + '.export', ignore_errors=True)
    r = subprocess.run(['olecfexport', '-t', target, path], capture_output=True, text=True, errors='replace')
    if r.returncode != 0:
        return 'olecfexport exited %d: %s' % (r.returncode, r.stderr[-300:]), None
    top = target + '.export'
    streams = {}
    for folder, _subfolders, files in os.walk(top):
        if 'StreamData.bin' in files:
            streams[os.path.relpath(folder, top).replace(os.sep, '/')] = open(
                os.path.join(folder, 'StreamData.bin'), 'rb').read()
    return None, streams


POI_JARS = ['poi', 'poi-scratchpad', 'commons-collections4', 'commons-math3', 'commons-codec', 'commons-logging']


def poi(paths):
    """(error or None, {path: what tests/msg/PoiRead.java prints of the
    file}): Apache POI's HSMF reading of message files."""
    jars = ['/usr/share/java/%s.jar' % j for j in POI_JARS]
    missing = [j for j in jars if not os.path.exists(j)]
    if missing:
        return 'missing %s (scripts/install-deps installs it)' % missing, {}
    r = subprocess.run(['java', '-cp', ':'.join(jars), os.path.join(HERE, 'msg', 'PoiRead.java')] + paths,
                       capture_output=True)
    records = [json.loads(line) for line in r.stdout.decode('utf-8').split('\n') if line]
    return (r.stderr.decode(errors='replace')[-500:] if r.returncode else None), {x['file']: x for x in records}
