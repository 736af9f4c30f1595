"""Whole-store cases: write with pst_write_sample, read back with the
independent readers, and compare what each shows with the manifest of what
was written, or with the message count of each folder:

- read_all: pypff, pffexport and pffinfo (libpff), readpst (libpst);
- judge_all: the stricter judges of the shared tools folder, mspst-check,
  pstlint.py and pstx.js, each leaving out only what it reports on
  Outlook's own stores too; the judged cases report themselves skipped
  when one is absent (Judges.absent() says which and why), the
  kill case uses whichever are present;
- compare_empty: a new empty store against Outlook's, both read by
  pstlint.py.

Exit 77 when a case needs the shared references and they are absent.

usage: run_case.py CASE WRITER [SHARED_DIR]   (work folder in $PST_WORK)"""
import collections
import email
import email.policy
import hashlib
import json
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import readers  # noqa: E402
from readers import SKIP, report  # noqa: E402

# What each judge reports on Outlook's own stores (see the tools' READMEs):
# the root folder's name is empty, as in every store.
MSPST_LIMITS = re.compile(r'^ERROR \[folder  nid=0x122\] Invalid PidTagDisplayName on folder: Null$')
# An empty value is stored as HID 0, which the library reads as Null; it says
# so for an empty attachment, under the embedded message's error name.
MSPST_EMPTY_ATTACHMENT = re.compile(
    r'^ERROR \[message (.*) nid=(0x[0-9A-F]+) attachment #(\d+) nid=0x[0-9A-F]+\] open attachment: '
    r'Invalid PidTagAttachDataObject on afEmbeddedMessage attachment: Null$')
# pst-extractor looks for a search folder's subfolders at its id plus 11,
# a node no store has.
PSTX_LIMITS = re.compile(r"SPAM Search Folder 2")
# Findings on the maps that a header marking them invalid allows for: the
# next writer rebuilds them.
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
    """True when the file runs past its header's ibFileEof by sections whose
    maps mark nothing but themselves: whole ones, the last perhaps ending
    right after its maps (killed before the file was extended over it)."""
    with open(store, 'rb') as f:
        data = f.read()
    eof = struct.unpack_from('<Q', data, 184)[0]
    if len(data) <= eof or (eof - FIRST_AMAP) % AMAP_COVER:
        return False
    for start in range(eof, len(data), AMAP_COVER):
        s = (start - FIRST_AMAP) // AMAP_COVER
        # Each map page (AMap, PMap, FMap, FPMap slot) is 512 bytes: 8 slots.
        pages = (4 if s >= 8192 and (s - 8192) % (496 * 64) == 0 else
                 3 if s >= 128 and (s - 128) % 496 == 0 else 2 if s % 8 == 0 else 1)
        bits = data[start:start + 496]
        if min(len(data) - start, AMAP_COVER) not in (AMAP_COVER, 512 * pages) or \
                data[start + 496] != 0x84 or bits[:pages] != b'\xff' * pages or any(bits[pages:]):
            return False
    return True


def pattern(seed, size):
    """Attachment bytes of the sample stores: write_sample.cpp's Pattern()."""
    out = bytearray(size)
    x = (seed * 2654435761 + 1) & 0xFFFFFFFF
    for i in range(size):
        x = (x * 1103515245 + 12345) & 0xFFFFFFFF
        out[i] = (x >> 16) & 0xFF
    return bytes(out)


def folder_path(path):
    """A judge's folder path below the top of the store, as manifests name them."""
    path = path.lstrip('/')
    return path[len(readers.TOP) + 1:] if path.startswith(readers.TOP + '/') else None


def sha1(b):
    return hashlib.sha1(b).hexdigest()


def shown(subject, body=None, people=None, count=None, atts=None, embedded=None):
    """One message as a reader shows it; None for what it cannot show:
    the body's SHA-1, the recipients [(name, address)] (either None where
    not shown), the number of attachments, [(size, SHA-1 or None)] of the
    first ones, the subjects of embedded messages (None where not shown)."""
    return dict(subject=subject, body=body, people=people, count=count, atts=atts, embedded=embedded)


def compare(reader, view, manifest=None, counts=None):
    """What `reader` shows ({folder: [shown]}) against the manifest and the
    message count of each folder."""
    counts = dict(counts or {})
    for folder in (manifest or {}).get('folders', []):
        counts[folder] = sum(1 for w in manifest['messages'] if w['folder'] == folder)
    out = ['%s: %s has %d messages, wrote %d' % (reader, folder, len(view.get(folder, [])), n)
           for folder, n in counts.items() if len(view.get(folder, [])) != n]
    for w in (manifest or {}).get('messages', []):
        s = next((s for s in view.get(w['folder'], []) if s['subject'] == w['subject']), None)
        what = '%s: %r' % (reader, w['subject'])
        if s is None:
            out.append('%s missing from %s' % (what, w['folder']))
            continue
        if w['body'] and s['body'] not in (None, sha1(w['body'].encode('utf-8'))):
            out.append('%s: body differs' % what)
        wrote = [tuple(r) for r in w['recipients']]
        if s['people'] is not None and len(s['people']) != len(wrote) or any(
                (n, a) != (wn if n is not None else None, wa if a is not None else None)
                for (n, a), (wn, wa) in zip(s['people'] or [], wrote)):
            out.append('%s: recipients read as %r' % (what, (s['people'] or [])[:3]))
        if s['count'] is not None and s['count'] != len(w['attachments']) + bool(w['embedded']):
            out.append('%s has %d attachments, wrote %d' % (what, s['count'], len(w['attachments']) + bool(w['embedded'])))
        for k, (seed, size) in enumerate(w['attachments']):
            # One not shown (the library behind mspst-check opens no empty
            # attachment) reads as empty; the count says it is there.
            got = s['atts'][k] if k < len(s['atts'] or []) else (0, None)
            if s['atts'] is not None and (got[0] != size or got[1] not in (None, sha1(pattern(seed, size)))):
                out.append('%s: attachment %d read as %r, wrote %d bytes' % (what, k, got[0], size))
        if s['embedded'] is not None and [e for e in s['embedded'] if e is not None] != ([w['embedded']] if w['embedded'] else []):
            out.append('%s: embedded messages read as %r' % (what, s['embedded']))
    return out


# -- libpff and libpst


def read_pypff(manifest, store):
    """Every message as pypff shows it, and the subfolder flag and content
    count of each folder."""
    pst = readers.pypff_open(store)
    folders = readers.pypff_folders(pst)
    if folders is None:
        return ['pypff: no top folder']
    name = readers.prop_text(readers.pypff_values(pst.get_message_store()), 0x3001)
    failures, view = [] if name == 'Sample Store' else ['pypff: the store is named %r' % name], {}
    for path, folder in folders.items():
        values = readers.pypff_values(folder)
        has_children = any(other.startswith(path + '/') for other in manifest['folders'])
        if values.get(0x360A000B) != bytes([has_children]):
            failures.append('pypff: %s subfolders flag %r' % (path, values.get(0x360A000B)))
        if readers.prop_long(values, 0x3602) != folder.number_of_sub_messages:
            failures.append('pypff: %s content count %r for %d messages' % (
                path, readers.prop_long(values, 0x3602), folder.number_of_sub_messages))
        view[path] = [shown(m.subject, sha1((m.plain_text_body or b'').rstrip(b'\0')),
                            count=m.number_of_attachments,
                            atts=[(a.size, sha1(readers.pypff_data(a))) for a in m.attachments])
                      for m in folder.sub_messages]
    return failures + compare('pypff', view, manifest)


def read_pffexport(manifest, store, out):
    """Every message as pffexport exports it; where a message has recipients
    or attachments, its named properties and recipient rows too."""
    error, folders = readers.pffexport(store, out, dump=True)
    failures = ['pffexport: ' + error] if error else []
    view = {path: [shown(e.headers.get('Subject'), sha1(e.body.rstrip(b'\0')) if e.body is not None else None,
                         [(r.get('Display name', ''), r.get('Email address', '')) for r in e.recipients],
                         len(e.files) + len(e.embedded), [(len(d), sha1(d)) for _, d in e.files],
                         [h.get('Subject') for h in e.embedded]) for e in exported]
            for path, exported in (folders or {}).items()}
    for m in manifest['messages']:
        e = next((e for e in (folders or {}).get(m['folder'], []) if e.headers.get('Subject') == m['subject']), None)
        if e is None or not (m['recipients'] or m['attachments']):
            continue
        n = int(m['subject'].rsplit('#', 1)[1])
        values = e.named_values()
        for name, value in (('0x00008580', 'Account %d' % (n % 3)), ('x-list-id', 'list %d' % n),
                            ('content-type', 'text/plain; charset="utf-8"')):
            if values.get(name) != value:
                failures.append('pffexport: named property %s of %r: %r' % (name, m['subject'], values.get(name)))
        # Rows keyed by their one-off entry ids (a row without an address
        # has neither), sendable, no rich text.
        rows = e.recipient_rows()
        if len(rows) != len(m['recipients']) or not all(
                r.get(0x0FF9, b'') == r.get(0x0FFF, b'') and bool(r.get(0x0FFF)) == bool(address) and
                r.get(0x5FFD) == b'\x01\0\0\0' and r.get(0x3A40) == b'\0'
                for r, (_, address) in zip(rows, m['recipients'])):
            failures.append('pffexport: recipient rows of %r' % m['subject'])
    return failures + compare('pffexport', view, manifest)


def read_readpst(store, out, manifest=None, counts=None):
    """Every message's subject as readpst exports it."""
    error, folders = readers.readpst(store, out)
    view = {path: [shown(str(email.message_from_bytes(m, policy=email.policy.default)['subject']))
                   for m in messages] for path, messages in (folders or {}).items()}
    return (['readpst: ' + error] if error else []) + compare('readpst', view, manifest, counts)


def read_all(manifest, store, work):
    r = subprocess.run(['pffinfo', store], capture_output=True)
    failures = [] if r.returncode == 0 and b'Subtree' in r.stdout else ['pffinfo failed: %s' % r.stderr[-300:]]
    return failures + read_pypff(manifest, store) + read_pffexport(manifest, store, os.path.join(work, 'pffexport')) \
        + read_readpst(store, os.path.join(work, 'readpst'), manifest)


# -- the judges


def pypff_folder(store, name):
    return (readers.pypff_folders(readers.pypff_open(store)) or {}).get(name)


def empty_to_pypff(store, folder, subject, k):
    """Whether libpff reads attachment k of that message as empty: the
    confirmation, for a store written without a manifest, that the library
    took an empty attachment for a missing one."""
    node = pypff_folder(store, folder)
    msg = next((m for m in node.sub_messages if m.subject == subject), None) if node else None
    return msg is not None and k < msg.number_of_attachments and msg.get_attachment(k).size == 0


def judge_mspst(judges, store, manifest, counts, tolerated):
    """Errors and discrepancies beyond the library's known limits and the
    `tolerated` ones, and what it reads against the manifest and the
    message counts per folder."""
    failures, subjects, view, current = [], {}, {}, None  # subjects: (folder, nid) -> subject
    for line in judges.run_mspst(store):
        m = re.match(r'^M message (.*) nid=(0x[0-9A-F]+) class=\S* flags=\S+ subj="(.*)" from=.* '
                     r'rcpt=(\d+) att=(\d+)$', line)
        if m:
            path, nid, subject, rcpt, att = m.groups()
            subjects[(path, nid)] = subject
            current = shown(subject, people=[(None, None)] * int(rcpt), count=int(att), atts=[], embedded=[])
            view.setdefault(folder_path(path), []).append(current)
            continue
        m = re.match(r'^A +#(\d+) nid=\S+ method=(\d+) size=\d+ data=(.*) name="(.*)"$', line)
        if m and current is not None:
            size = re.match(r'binary (\d+) bytes', m.group(3))
            current['atts'].append((int(size.group(1)) if size else 0, None))
            continue
        m = re.match(r'^E +message .* embedded class=\S* flags=\S+ subj="(.*)" from=', line)
        if m and current is not None:
            current['embedded'].append(m.group(1))
            continue
        if not line.startswith(('ERROR', 'DISCREPANCY')) or any(p.search(line) for p in tolerated):
            continue
        m = MSPST_EMPTY_ATTACHMENT.match(line)
        if m:
            path, nid, k = m.groups()
            folder, subject = folder_path(path), subjects.get((path, nid))
            wrote = [w for w in (manifest or {}).get('messages', []) if w['folder'] == folder and w['subject'] == subject]
            if wrote and int(k) < len(wrote[0]['attachments']) and wrote[0]['attachments'][int(k)][1] == 0 or \
                    not wrote and empty_to_pypff(store, folder, subject, int(k)):
                continue
        failures.append('mspst-check: ' + line)
    return failures + compare('mspst-check', view, manifest, counts)


def judge_pstx(judges, store, manifest=None, counts=None, most=None):
    """Anything pst-extractor warns about or throws beyond its known limit,
    a walk cut short, and what it reads against the manifest and the
    message count per folder (also from the folder's contents table)."""
    lines = judges.run_pstx(store, most)
    failures = []
    summary = [o for o in lines if o['k'] == 'summary']
    if not summary or summary[-1].get('timedOut') or not summary[-1].get('opened'):
        failures.append('pstx: walk did not finish: %r' % (lines[-3:],))
    for o in lines:
        if o['k'] in ('warn', 'error') and not PSTX_LIMITS.search(o.get('text', '') + o.get('where', '')):
            failures.append('pstx: %s %s %s' % (o['k'], o.get('where', ''), o.get('text', '')[:300]))
    folders = {folder_path('/' + o['path']): o for o in lines if o['k'] == 'folder'}
    expected = dict(counts or {}, **{f: sum(1 for w in manifest['messages'] if w['folder'] == f)
                                     for f in (manifest or {}).get('folders', [])})
    for folder, n in expected.items():
        f = folders.get(folder)
        if f is None or f['emailCount'] != n or f['contentCount'] != n:
            failures.append('pstx: %s counts %r, expected %d' % (folder, f and (f['contentCount'], f['emailCount']), n))
    view = {}
    for o in lines:
        if o['k'] == 'msg':
            # pst-extractor opens no embedded message, Outlook's neither; the
            # attachment carries the message's subject as its name.
            view.setdefault(folder_path('/' + o['path']), []).append(shown(
                o['subject'], o['bodySha1'] or '', [(r['name'], r['email']) for r in o['recips']], len(o['atts']),
                [(a.get('dataLen'), a.get('sha1') if a.get('dataLen') else None) for a in o['atts']],
                [a['name'] for a in o['atts'] if a['method'] == 5]))
    return failures + (compare('pstx', view, manifest) if manifest else [])


def judge_all(judges, store, manifest=None, counts=None, pstx_most=None, killed=False):
    """(failures, maps marked invalid) from every judge present. With
    pstx_most, pst-extractor reads that many messages in full and checks
    only the counts of the rest. Killed, what the writer may leave is
    allowed for: maps the header marks invalid, and an unused tail of new
    sections."""
    invalid, grown = killed and maps_marked_invalid(store), killed and unused_growth(store)
    failures = ['pstlint: %s %s %s' % f for f in judges.run_pstlint(store) if f[0] != 'INFO' and
                f[1] not in PSTLINT_MAP_CODES * invalid + PSTLINT_GROWTH_CODES * grown] \
        if judges.has('pstlint.py') else []
    if judges.has('mspst-check'):
        failures += judge_mspst(judges, store, manifest, counts,
                                [MSPST_LIMITS] + [MSPST_GROWTH] * grown + [MSPST_MAPS] * invalid)
    if judges.has('pstx.js'):
        failures += judge_pstx(judges, store, manifest if pstx_most is None else None, counts, pstx_most)
    return failures, invalid


# Internal nodes of undocumented content that Outlook adds and we do not.
OUTLOOK_ONLY = {0xC01, 0xE01, 0xE41, 0xEC1, 0xEE1, 0xF01, 0xF21, 0x2227}
TEMPLATES = [0x60D, 0x60E, 0x60F, 0x610, 0x62B, 0x64C, 0x671, 0x692, 0x6B6, 0x6D7, 0x6F8]
FOLDERS = [0x122, 0x8022, 0x8042, 0x8062, 0x8082]
TEMPLATE_OF = {0x0D: 0x60D, 0x0E: 0x60E, 0x0F: 0x60F}  # a folder's table type: its template


def compare_empty(ours_path, outlook_path, shared):
    """A new empty store of ours against the empty store Outlook made, both
    read by pstlint.py: node set, template columns, folder objects and the
    way empty folder tables share the template blocks; ours draws no ERROR
    or WARN from pstlint."""
    ours, theirs = (readers.Judges(shared).pstlint_model(p) for p in (ours_path, outlook_path))
    problems = ['pstlint: %s %s %s' % f for f in ours.findings if f[0] != 'INFO']

    def need(cond, what):
        if not cond:
            problems.append(what)

    missing = set(theirs.nodes) - set(ours.nodes) - OUTLOOK_ONLY
    extra = set(ours.nodes) - set(theirs.nodes)
    need(not missing, 'nodes Outlook has and we lack: %s' % sorted(hex(n) for n in missing))
    need(not extra, 'nodes we have and Outlook lacks: %s' % sorted(hex(n) for n in extra))

    def columns(store, nid):
        return set(store.tc(store.leaves(store.nodes[nid][0], count_ref=False), store.subs[nid], '')['cols'])

    for nid in TEMPLATES:
        if nid in ours.nodes and nid in theirs.nodes:
            need(columns(ours, nid) == columns(theirs, nid), 'template %#x columns differ' % nid)
    for folder in FOLDERS:
        for t in TEMPLATE_OF:
            nid = (folder & ~0x1F) | t
            if nid in ours.nodes and nid in theirs.nodes:
                # Outlook widens a folder's tables once it has shown them; a
                # new table has the template's columns.
                ours_cols = columns(ours, nid)
                need(ours_cols == columns(ours, TEMPLATE_OF[t]), '%#x is not its template' % nid)
                need(ours_cols <= columns(theirs, nid), '%#x has columns Outlook lacks' % nid)
        for tag in (0x3001001F, 0x36020003, 0x36030003, 0x360A000B):
            need(tag in ours.props[folder], 'folder %#x lacks %#x' % (folder, tag))
        need(ours.nodes[folder][2] == theirs.nodes[folder][2], 'parent of %#x differs' % folder)

    for nid in (0x12D, 0x802D):
        got = [s.tables[nid]['nrows'] for s in (ours, theirs)]
        need(got[0] == got[1], 'hierarchy %#x rows: ours %d, Outlook %d' % (nid, got[0], got[1]))

    store = ours.props[0x21]
    for tag in (0x0FF90102, 0x3001001F, 0x35E00102, 0x35E30102, 0x35E70102):
        need(tag in store, 'store lacks %#x' % tag)
    for tag in (0x35E00102, 0x35E30102, 0x35E70102):
        if tag in store:
            eid = store[tag]
            need(eid[4:20] == store[0x0FF90102], 'entry id %#x names another store' % tag)
            need(struct.unpack_from('<I', eid, 20)[0] in ours.nodes, 'entry id %#x names no node' % tag)

    # Empty folder tables share the template's block; its count is one more
    # than the nodes using it, as in Outlook's store.
    users = collections.Counter(data & ~1 for data, _sub, _parent in ours.nodes.values() if data)
    need(ours.nodes[0x806E][0] == ours.nodes[0x60E][0], 'deleted items contents not shared')
    for bid, n in users.items():
        need(ours.blocks[bid][2] == n + 1, 'block %#x has count %d for %d users' % (bid, ours.blocks[bid][2], n))
    return report(problems, '%d nodes ours, %d Outlook' % (len(ours.nodes), len(theirs.nodes)))


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def write(writer, work, kind):
    """The store of several folders and many messages ('rich'), or a small
    store reopened and added to ('append'): its path and the manifest of
    all it holds, or None."""
    store, wrote = os.path.join(work, kind + '.pst'), []
    for mode in ['rich'] if kind == 'rich' else ['small', 'append']:
        r = run([writer, mode, store, os.path.join(work, mode + '.json')])
        if r.returncode != 0:
            print(mode, r.stderr)
            return None, None
        wrote.append(json.load(open(os.path.join(work, mode + '.json'), encoding='utf-8')))
    return store, {k: sum((m[k] for m in wrote), []) for k in ('folders', 'messages')}


def case_store(writer, work, shared, kind, judged):
    """The readers, or every judge, on the store; judged, skipped when a
    judge is absent."""
    store, manifest = write(writer, work, kind)
    if not store:
        return 1
    if not judged:
        return report(read_all(manifest, store, work), '%d messages checked' % len(manifest['messages']))
    judges = readers.Judges(shared)
    failed = report(judge_all(judges, store, manifest)[0], '%d messages judged by %s' % (
        len(manifest['messages']), ', '.join(n for n in ('mspst-check', 'pstlint.py', 'pstx.js') if judges.has(n))))
    if not failed and judges.missing:
        print('skipped judges:', judges.absent())
        return SKIP
    return failed


def case_refuse(writer, work, shared):
    """The writer refuses a damaged header, a truncated file, something that
    is not a store and stores it did not make, naming each and its cause,
    and leaves each as it was."""
    ours = os.path.join(work, 'ours.pst')
    run([writer, 'small', ours, ours + '.json'])
    data = open(ours, 'rb').read()
    bad = {'damaged.pst': (data[:100] + bytes([data[100] ^ 0xFF]) + data[101:], ['checksum']),
           'truncated.pst': (data[:len(data) // 3], ['truncated', 'short']),
           'text.pst': (b'From someone Mon Jan  1 00:00:00 2024\n' * 40, ['not a personal store'])}
    samples = os.path.join(shared or '', 'reference', 'samples', 'pst')
    for name, words in (('outlook-pst-rs_Empty.pst', ['not made by this program']), ('pstsdk_sample2.pst', ['ANSI'])):
        if os.path.exists(os.path.join(samples, name)):
            bad[name] = (open(os.path.join(samples, name), 'rb').read(), words)
    ok = True
    for name, (content, words) in bad.items():
        path = os.path.join(work, name)
        open(path, 'wb').write(content)
        r = run([writer, 'small', path, path + '.json'])
        if r.returncode == 0 or path not in r.stderr or not any(w in r.stderr for w in words) or \
                open(path, 'rb').read() != content or os.path.exists(path + '.json'):
            print('not refused properly: %s rc=%d %s' % (path, r.returncode, r.stderr))
            ok = False
    if ok and len(bad) < 5:
        print('shared references absent: Outlook-made stores not tried')
        return SKIP
    return 0 if ok else 1


def count_folder(store, name):
    folder = pypff_folder(store, name)
    return -1 if folder is None else folder.number_of_sub_messages


def case_kill(writer, work, shared):
    """The writer killed at random moments: each store left behind opens in
    every reader with exactly the messages of a checkpoint (the last one
    printed, or the one under way when the header was already out), and the
    next writer reopens it and goes on."""
    rng = random.Random(int(os.environ.get('PST_KILL_SEED', '5')))
    judges = readers.Judges(shared)
    if judges.missing:
        print('judges absent, not used:', judges.absent())
    every = 25
    invalid_maps = 0
    for round in range(6):
        store = os.path.join(work, 'kill%d.pst' % round)
        if os.path.exists(store):
            os.remove(store)
        p = subprocess.Popen([writer, 'kill', store, str(every)], stdout=subprocess.PIPE, text=True)
        first = p.stdout.readline()
        assert first.startswith('checkpoint'), first
        # Killed at a random moment, or once the store passes a random size:
        # a fast machine writes hundreds of megabytes in a second and a half,
        # and the judges would then take minutes on each store.
        deadline = time.monotonic() + rng.uniform(0.05, 1.5)
        most = rng.uniform(1, 40) * 2**20
        while time.monotonic() < deadline and os.path.getsize(store) < most:
            time.sleep(0.005)
        p.send_signal(signal.SIGKILL)
        out = first + p.stdout.read()
        p.wait()
        done = [int(l.split()[1]) for l in out.splitlines() if l.startswith('checkpoint')]
        seen = count_folder(store, 'Killed')
        # Killed between the header write and the print, the reader may see
        # one checkpoint more than was printed; never anything in between.
        ok = seen % every == 0 and done[-1] <= seen <= done[-1] + every
        failures, invalid = judge_all(judges, store, counts={'Killed': seen}, pstx_most=40, killed=True)
        failures += read_readpst(store, os.path.join(work, 'readpst%d' % round), counts={'Killed': seen})
        invalid_maps += invalid
        print('round %d: last printed checkpoint %d, readers see %d%s' % (
            round, done[-1], seen, ', maps marked invalid' if invalid else ''))
        for f in failures[:20]:
            print('FAIL after the kill:', f)
        if not ok or failures:
            return 1
        # The killed store reopens and takes more, keeping what it had.
        r = run([writer, 'append', store, store + '.json'])
        if r.returncode != 0:
            print('append after kill failed:', r.stderr)
            return 1
        appended = json.load(open(store + '.json'))
        if count_folder(store, 'Killed') != seen or count_folder(store, 'Appended') != len(appended['messages']):
            print('append after kill lost or missed messages')
            return 1
        # Reopened and checkpointed, the store is whole again: maps valid and
        # equal to the trees, nothing past the header's end.
        failures, _ = judge_all(judges, store, manifest=appended, pstx_most=40,
                                            counts={'Killed': seen, 'Appended': len(appended['messages'])})
        for f in failures[:20]:
            print('FAIL after reopening:', f)
        if failures:
            return 1
    print('%d of 6 stores were left with their maps marked invalid' % invalid_maps)
    return 0


def case_empty(writer, work, shared):
    sample = os.path.join(shared or '', 'reference', 'samples', 'pst', 'outlook-pst-rs_Empty.pst')
    if not os.path.exists(sample) or not readers.Judges(shared).has('pstlint.py'):
        print('shared references absent')
        return SKIP
    store = os.path.join(work, 'empty.pst')
    r = run([writer, 'empty', store])
    if r.returncode != 0:
        print(r.stderr)
        return 1
    return compare_empty(store, sample, shared)


def case_large(writer, work, _shared):
    """Opt-in (PST_LARGE=1): a real store past 4 GB, read back."""
    if os.environ.get('PST_LARGE') != '1':
        print('large store test is opt-in: set PST_LARGE=1')
        return SKIP
    store, manifest = os.path.join(work, 'large.pst'), os.path.join(work, 'large.json')
    r = run([writer, 'bulk', store, manifest, os.environ.get('PST_LARGE_MB', '5200')])
    if r.returncode != 0:
        print(r.stderr)
        return 1
    wrote = json.load(open(manifest))['messages']
    print('store size', os.path.getsize(store))
    bulk = readers.pypff_folders(readers.pypff_open(store))['Bulk']
    ok = bulk.number_of_sub_messages == len(wrote)
    # The last messages sit past 4 GB: their attachments must read back.
    for i in range(len(wrote) - 5, len(wrote)):
        msg = bulk.get_sub_message(i)
        seed, size = wrote[i]['attachments'][0]
        ok = ok and msg.subject == wrote[i]['subject'] and readers.pypff_data(msg.get_attachment(0)) == pattern(seed, size)
    code, subjects = readers.lspst_subjects(store)
    ok = ok and code == 0 and sum(s.startswith('Bulk ') for s in subjects) == len(wrote)
    os.remove(store)
    return 0 if ok else 1


def main():
    case, writer = sys.argv[1], sys.argv[2]
    shared = sys.argv[3] if len(sys.argv) > 3 else None
    work = os.environ.get('PST_WORK', '/dev/shm/pst_work')
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    if case in ('rich', 'append', 'judged-rich', 'judged-append'):
        sys.exit(case_store(writer, work, shared, case.split('-')[-1], case.startswith('judged')))
    sys.exit({'refuse': case_refuse, 'kill': case_kill, 'empty': case_empty, 'large': case_large}[case](writer, work, shared))


if __name__ == '__main__':
    main()
