"""The stricter readers of a store, from the shared tools folder: the
published PST library behind mspst-check, the structural check pstlint.py
and the npm reader pst-extractor (pstx.js). Each judge returns what it
found wrong with a store, leaving out only what that reader reports on
Outlook's own stores too.

A judge whose tool is absent is left out; absent() says which and why, so
a test can report itself skipped."""
import hashlib
import json
import os
import re
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from sample_data import pattern  # noqa: E402

TIMEOUT = 600
TOP = 'Top of Personal Folders'

# What each reader reports on Outlook's own stores (see the tools' READMEs).
MSPST_LIMITS = (
    # The root folder's name is empty, as in every store.
    re.compile(r'^ERROR \[folder  nid=0x122\] Invalid PidTagDisplayName on folder: Null$'),
)
# An empty value is stored as HID 0, which the library reads as Null; it says
# so for an empty attachment, under the embedded message's error name.
MSPST_EMPTY_ATTACHMENT = re.compile(
    r'^ERROR \[message (.*) nid=(0x[0-9A-F]+) attachment #(\d+) nid=0x[0-9A-F]+\] open attachment: '
    r'Invalid PidTagAttachDataObject on afEmbeddedMessage attachment: Null$')
# pst-extractor looks for a search folder's subfolders at its id plus 11,
# a node no store has.
PSTX_LIMITS = re.compile(r"SPAM Search Folder 2")
# Findings on the maps that a header marking them invalid allows for: the
# next writer rebuilds them ([MS-PST] 2.6.1.3.7).
PSTLINT_MAP_CODES = ('root.fAMapValid', 'root.cbAMapFree', 'amap.unmarked')
# A writer killed while growing the file leaves the new sections' maps
# written and the header that covers them not yet: a tail of whole, unused
# sections past ibFileEof, which the next writer takes over.
PSTLINT_GROWTH_CODES = ('root.ibFileEof',)
MSPST_GROWTH = re.compile(r'^DISCREPANCY \[header\] ibFileEof=0x[0-9A-F]+ but the file is 0x[0-9A-F]+ bytes$')
MSPST_MAPS = re.compile(r'^DISCREPANCY \[amap\] ')
AMAP_COVER = 496 * 8 * 64
FIRST_AMAP = 0x4400


def maps_marked_invalid(store):
    """fAMapValid of the header is INVALID_AMAP."""
    with open(store, 'rb') as f:
        return f.read(564)[180 + 68] == 0


def unused_growth(store):
    """True when the file runs past its header's ibFileEof by whole
    sections whose maps mark nothing but themselves."""
    with open(store, 'rb') as f:
        data = f.read()
    eof = struct.unpack_from('<Q', data, 184)[0]
    if len(data) <= eof or (len(data) - eof) % AMAP_COVER or (eof - FIRST_AMAP) % AMAP_COVER:
        return False
    for start in range(eof, len(data), AMAP_COVER):
        s = (start - FIRST_AMAP) // AMAP_COVER
        # Each map page (AMap, PMap, FMap, FPMap slot) is 512 bytes: 8 slots.
        pages = (4 if s >= 8192 and (s - 8192) % (496 * 64) == 0 else
                 3 if s >= 128 and (s - 128) % 496 == 0 else 2 if s % 8 == 0 else 1)
        bits = data[start:start + 496]
        if data[start + 496] != 0x84 or bits[:pages] != b'\xff' * pages or any(bits[pages:]):
            return False
    return True


def tools_dir(shared):
    return os.path.join(shared or '', 'tools')


class Judges:
    def __init__(self, shared):
        tools = tools_dir(shared)
        self.mspst = os.path.join(tools, 'mspst', 'mspst-check')
        self.pstlint = os.path.join(tools, 'pstcheck', 'pstlint.py')
        self.pstx = os.path.join(tools, 'pstcheck', 'pstx.js')
        self.missing = {}
        if not shared or not os.path.isdir(tools):
            for name in ('mspst-check', 'pstlint.py', 'pstx.js'):
                self.missing[name] = 'the shared tools folder is absent'
            return
        if not os.access(self.mspst, os.X_OK):
            self.missing['mspst-check'] = 'absent'
        else:
            # The first use builds it (about a minute, offline).
            probe = subprocess.run([self.mspst, '--help'], capture_output=True, text=True,
                                   timeout=TIMEOUT)
            if 'usage: mspst-check' not in probe.stdout + probe.stderr:
                self.missing['mspst-check'] = 'could not be built: ' + probe.stderr[-300:]
        if not os.path.exists(self.pstlint):
            self.missing['pstlint.py'] = 'absent'
        if not os.path.exists(self.pstx):
            self.missing['pstx.js'] = 'absent'
        else:
            if not self.pstx_modules():
                self.missing['pstx.js'] = 'pst-extractor is not installed (npm install ' \
                                          'pst-extractor@1.12.0; set PSTX_MODULES)'

    def pstx_modules(self):
        """The node_modules folder holding pst-extractor, or None."""
        cache = os.environ.get('XDG_CACHE_HOME') or os.path.expanduser('~/.cache')
        for d in (os.environ.get('PSTX_MODULES'), os.path.join(cache, 'mailvane', 'pstx', 'node_modules'),
                  '/tmp/pstcheck/node_modules',
                  os.path.join(os.path.dirname(self.pstx), 'node_modules')):
            if d and os.path.isdir(os.path.join(d, 'pst-extractor')):
                return d
        return None

    def absent(self):
        return ['%s: %s' % kv for kv in sorted(self.missing.items())]

    def has(self, name):
        return name not in self.missing

    # -- the three readers, raw

    def run_mspst(self, store):
        r = subprocess.run([self.mspst, store], capture_output=True, text=True, timeout=TIMEOUT)
        lines = (r.stdout + r.stderr).splitlines()
        if r.returncode not in (0, 1) or not any(l.startswith('SUMMARY') for l in lines):
            raise RuntimeError('mspst-check exited %d: %s' % (r.returncode, ' / '.join(lines[-3:])))
        return lines

    def run_pstlint(self, store):
        r = subprocess.run([sys.executable, self.pstlint, store], capture_output=True, text=True,
                           timeout=TIMEOUT)
        findings = []
        for line in r.stdout.splitlines():
            m = re.match(r'(ERROR|WARN|INFO) (\S+) ?(.*)$', line)
            if m:
                findings.append(m.groups())
        if r.returncode not in (0, 1):
            raise RuntimeError('pstlint exited %d: %s' % (r.returncode, r.stderr[-300:]))
        return findings

    def run_pstx(self, store, most=None):
        env = dict(os.environ, PSTX_MODULES=self.pstx_modules())
        cmd = ['node', self.pstx, store, '--timeout', str(TIMEOUT)]
        if most is not None:
            cmd += ['--max', str(most), '--no-hash']
        r = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=TIMEOUT + 30)
        return [json.loads(l) for l in r.stdout.splitlines() if l.startswith('{')]


def empty_to_pypff(store, folder, subject, k):
    """Whether libpff reads attachment k of that message as empty: the
    confirmation, for a store written without a manifest, that the library
    took an empty attachment for a missing one."""
    import pypff
    f = pypff.file()
    f.open(store)
    node = f.get_root_folder()
    names = [TOP] + (folder or '').split('/')
    for name in names:
        node = next((node.get_sub_folder(i) for i in range(node.number_of_sub_folders)
                     if node.get_sub_folder(i).name == name), None)
        if node is None:
            return False
    for i in range(node.number_of_sub_messages):
        msg = node.get_sub_message(i)
        if msg.subject == subject:
            return k < msg.number_of_attachments and msg.get_attachment(k).size == 0
    return False


def folder_path(path):
    """A reader's folder path below the top of the store, as manifests name them."""
    path = path.lstrip('/')
    return path[len(TOP) + 1:] if path.startswith(TOP + '/') else None


def sha1(b):
    return hashlib.sha1(b).hexdigest()


def judge_pstlint(judges, store, killed=False):
    """Every WARN or ERROR, but for what a killed writer may leave: maps
    the header marks invalid, and an unused tail of new sections."""
    findings = judges.run_pstlint(store)
    invalid = any(code == 'root.fAMapValid' and detail.strip() == '0'
                  for _, code, detail in findings)
    grown = killed and unused_growth(store)
    out = []
    for level, code, detail in findings:
        if level == 'INFO':
            continue
        if killed and invalid and code in PSTLINT_MAP_CODES:
            continue
        if grown and code in PSTLINT_GROWTH_CODES:
            continue
        out.append('pstlint: %s %s %s' % (level, code, detail))
    return out, invalid


def judge_mspst(judges, store, manifest=None, counts=None, killed=False):
    """Errors and discrepancies beyond the library's known limits, and what
    it reads against the manifest and the message counts per folder."""
    lines = judges.run_mspst(store)
    grown = killed and unused_growth(store)
    invalid = killed and maps_marked_invalid(store)
    failures = []
    subjects = {}  # (folder, nid) -> subject
    messages = {}  # folder -> subject -> {'rcpt', 'att', 'atts': [...], 'embedded': [...]}
    current = None
    for line in lines:
        m = re.match(r'^M message (.*) nid=(0x[0-9A-F]+) class=\S* flags=\S+ subj="(.*)" from=.* '
                     r'rcpt=(\d+) att=(\d+)$', line)
        if m:
            path, nid, subject, rcpt, att = m.groups()
            subjects[(path, nid)] = subject
            current = {'rcpt': int(rcpt), 'att': int(att), 'atts': [], 'embedded': []}
            messages.setdefault(folder_path(path), {})[subject] = current
            continue
        m = re.match(r'^A +#(\d+) nid=\S+ method=(\d+) size=\d+ data=(.*) name="(.*)"$', line)
        if m and current is not None:
            k, method, data, name = m.groups()
            size = re.match(r'binary (\d+) bytes', data)
            current['atts'].append((int(method), int(size.group(1)) if size else None, name))
            continue
        m = re.match(r'^E +message .* embedded class=\S* flags=\S+ subj="(.*)" from=', line)
        if m and current is not None:
            current['embedded'].append(m.group(1))
            continue
        if not line.startswith(('ERROR', 'DISCREPANCY')):
            continue
        if any(p.search(line) for p in MSPST_LIMITS):
            continue
        if grown and MSPST_GROWTH.match(line):
            continue
        if invalid and MSPST_MAPS.match(line):
            continue
        m = MSPST_EMPTY_ATTACHMENT.match(line)
        if m:
            path, nid, k = m.groups()
            folder = folder_path(path)
            subject = subjects.get((path, nid))
            wrote = [w for w in (manifest or {}).get('messages', [])
                     if w['folder'] == folder and w['subject'] == subject]
            if wrote:
                atts = wrote[0]['attachments']
                if int(k) < len(atts) and atts[int(k)][1] == 0:
                    continue
            elif empty_to_pypff(store, folder, subject, int(k)):
                continue
        failures.append('mspst-check: ' + line)
    if counts is not None:
        for folder, n in counts.items():
            got = len(messages.get(folder, {}))
            if got != n:
                failures.append('mspst-check: %s has %d messages, expected %d' % (folder, got, n))
    if manifest is not None:
        failures += compare_mspst(manifest, messages)
    return failures


def compare_mspst(manifest, messages):
    out = []
    for w in manifest['messages']:
        got = messages.get(w['folder'], {}).get(w['subject'])
        if got is None:
            out.append('mspst-check: %r missing from %s' % (w['subject'], w['folder']))
            continue
        if got['rcpt'] != len(w['recipients']):
            out.append('mspst-check: %r has %d recipients, wrote %d' % (w['subject'], got['rcpt'], len(w['recipients'])))
        atts = len(w['attachments']) + (1 if w['embedded'] else 0)
        if got['att'] != atts:
            out.append('mspst-check: %r has %d attachments, wrote %d' % (w['subject'], got['att'], atts))
        for k, (seed, size) in enumerate(w['attachments']):
            read = got['atts'][k] if k < len(got['atts']) else None
            # An empty attachment is one the library cannot open (see above).
            if size and (read is None or read[1] != size):
                out.append('mspst-check: attachment %d of %r read as %r, wrote %d bytes' % (k, w['subject'], read, size))
        if w['embedded'] and got['embedded'] != [w['embedded']]:
            out.append('mspst-check: embedded message of %r read as %r' % (w['subject'], got['embedded']))
    for folder in manifest['folders']:
        wrote = sum(1 for w in manifest['messages'] if w['folder'] == folder)
        if len(messages.get(folder, {})) != wrote:
            out.append('mspst-check: %s has %d messages, wrote %d' % (folder, len(messages.get(folder, {})), wrote))
    return out


def judge_pstx(judges, store, manifest=None, counts=None, most=None):
    """Anything pst-extractor warns about or throws beyond its known limit,
    a walk cut short, and what it reads against the manifest (or only the
    message count per folder, from the folder's contents table)."""
    lines = judges.run_pstx(store, most)
    failures = []
    summary = [o for o in lines if o['k'] == 'summary']
    if not summary or summary[-1].get('timedOut') or not summary[-1].get('opened'):
        failures.append('pstx: walk did not finish: %r' % (lines[-3:],))
    for o in lines:
        if o['k'] in ('warn', 'error') and not PSTX_LIMITS.search(o.get('text', '') + o.get('where', '')):
            failures.append('pstx: %s %s %s' % (o['k'], o.get('where', ''), o.get('text', '')[:300]))
    folders = {folder_path('/' + o['path']): o for o in lines if o['k'] == 'folder'}
    if counts is not None:
        for folder, n in counts.items():
            f = folders.get(folder)
            if f is None or f['emailCount'] != n or f['contentCount'] != n:
                failures.append('pstx: %s counts %r, expected %d' % (
                    folder, f and (f['contentCount'], f['emailCount']), n))
    if manifest is not None:
        msgs = {}
        for o in lines:
            if o['k'] == 'msg':
                msgs.setdefault(folder_path('/' + o['path']), {})[o['subject']] = o
        failures += compare_pstx(manifest, msgs, folders)
    return failures


def compare_pstx(manifest, msgs, folders):
    out = []
    for folder in manifest['folders']:
        wrote = sum(1 for w in manifest['messages'] if w['folder'] == folder)
        f = folders.get(folder)
        if f is None or f['emailCount'] != wrote or len(msgs.get(folder, {})) != wrote:
            out.append('pstx: %s lists %r messages, wrote %d' % (folder, f and f['emailCount'], wrote))
    for w in manifest['messages']:
        got = msgs.get(w['folder'], {}).get(w['subject'])
        if got is None:
            out.append('pstx: %r missing from %s' % (w['subject'], w['folder']))
            continue
        if w['body'] and got['bodySha1'] != sha1(w['body'].encode('utf-8')):
            out.append('pstx: body of %r differs' % w['subject'])
        people = [(r['name'], r['email']) for r in got['recips']]
        if people != [tuple(r) for r in w['recipients']]:
            out.append('pstx: recipients of %r read as %r' % (w['subject'], people[:3]))
        atts = got['atts']
        if len(atts) != len(w['attachments']) + (1 if w['embedded'] else 0):
            out.append('pstx: %r has %d attachments' % (w['subject'], len(atts)))
            continue
        for k, (seed, size) in enumerate(w['attachments']):
            a = atts[k]
            if a['dataLen'] != size or (size and a['sha1'] != sha1(pattern(seed, size))):
                out.append('pstx: attachment %d of %r read as %d bytes, wrote %d' % (k, w['subject'], a['dataLen'] or 0, size))
        if w['embedded']:
            # pst-extractor opens no embedded message, Outlook's neither; the
            # attachment carries the message's subject as its name.
            a = atts[-1]
            if a['method'] != 5 or a['name'] != w['embedded']:
                out.append('pstx: embedded attachment of %r read as %r' % (w['subject'], a))
    return out


def judge_all(judges, store, manifest=None, counts=None, pstx_most=None, killed=False):
    """(failures, maps marked invalid) from every judge present. With
    pstx_most, pst-extractor reads that many messages in full and checks
    only the counts of the rest."""
    failures = []
    invalid = False
    if judges.has('pstlint.py'):
        found, invalid = judge_pstlint(judges, store, killed)
        failures += found
    if judges.has('mspst-check'):
        failures += judge_mspst(judges, store, manifest, counts, killed)
    if judges.has('pstx.js'):
        failures += judge_pstx(judges, store, manifest if pstx_most is None else None, counts,
                               pstx_most)
    return failures, invalid


def main():
    """judges.py SHARED_DIR MANIFEST STORE: every judge on a store written
    with a manifest. Exit 77 when any judge is absent."""
    shared, manifest_path, store = sys.argv[1:4]
    judges = Judges(shared)
    manifest = json.load(open(manifest_path, encoding='utf-8'))
    failures, _ = judge_all(judges, store, manifest)
    for f in failures[:60]:
        print('FAIL', f)
    print('%d messages judged by %s, %d failures' % (
        len(manifest['messages']), ', '.join(n for n in ('mspst-check', 'pstlint.py', 'pstx.js')
                                              if judges.has(n)), len(failures)))
    if failures:
        return 1
    if judges.missing:
        print('skipped judges:', '; '.join(judges.absent()))
        return 77
    return 0


if __name__ == '__main__':
    sys.exit(main())
