"""Whole-file cases of the message file writer: files written by msg_write
from the import's hand-picked mails, read back by the independent readers
(the readers case: olefile every property against the item's, Apache POI's
HSMF subject, sender, recipients, date, bodies, attachments with their names
and bytes, and embedded messages as messages, and libolecf the same streams
as olefile). Exit 77 when a case needs the shared references and they are
absent.

usage: run_case.py readers MSG_WRITE MAILBOX WORK
       run_case.py like_outlook MSG_WRITE MAILBOX_FOLDER SHARED_DIR WORK
       run_case.py same_as_store MSG_WRITE MAILBOX WORK
       run_case.py corpus MSG_WRITE SHARED_DIR WORK   (opt-in: MSG_CORPUS=1)"""
import glob
import json
import os
import re
import shutil
import struct
import subprocess
import sys

import olefile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import readers  # noqa: E402

SKIP = 77
FILETIME_1970 = 116444736000000000

# What the file adds to an item's properties, or fills in where the item has
# none, as a store does.
ADDED = {'message': {0x340D0003}, 'recipient': {0x30000003, 0x0FF60102},
         'attachment': {0x0E210003, 0x0FFE0003, 0x0FF90102}}
FILLED = {'message': {0x0E170003, 0x300B0102, 0x30070040, 0x30080040, 0x0E080003, 0x3FFD0003,
                      0x3FF10003},
          'attachment': {0x370B0003, 0x0E200003, 0x3001001F, 0x3704001F}, 'recipient': {0x0FFE0003}}
PS_INTERNET_HEADERS = '8603020000000000c000000000000046'

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
    return cond


def account_props(props):
    return {int(k, 16): bytes.fromhex(v) for k, v in props.items()}


def text_prop(props, tag):
    return props[tag].decode('utf-16-le') if tag in props else None


class Facts:
    """What a reader must find, from the item's account."""

    def __init__(self, account):
        p = account_props(account['props'])
        s = lambda t: text_prop(p, t)
        t = lambda t: (struct.unpack('<Q', p[t])[0] - FILETIME_1970) // 10**7 if t in p else None
        self.props = p
        self.subject = s(0x0037001F)
        self.sender_name, self.sender_email = s(0x0C1A001F), s(0x0C1F001F)
        self.submit, self.delivery = t(0x00390040), t(0x0E060040)
        self.body, self.html = s(0x1000001F), p.get(0x10130102)
        self.recipients = [(text_prop(r, 0x3001001F), text_prop(r, 0x3003001F))
                           for r in map(account_props, account['recipients'])]
        self.attachments = []
        for a in account['attachments']:
            ap = account_props(a['props'])
            name = lambda t: text_prop(ap, t)
            inner = Facts(a['embedded']) if 'embedded' in a else None
            self.attachments.append({
                'long': name(0x3707001F), 'short': name(0x3704001F) or (inner and inner.subject),
                'mime': name(0x370E001F), 'data': ap.get(0x37010102),
                'embedded': inner, 'props': ap})
        self.raw = account


def compare_props(where, kind, expected, written, has_attachments=False):
    """Every property of the item is in the file with the same bytes; the
    file adds only what the writer documents."""
    for tag, value in expected.items():
        if tag == 0x0E070003:
            flags = struct.unpack('<I', value)[0] & ~0x10 | (0x10 if has_attachments else 0)
            value = struct.pack('<I', flags)
        if (tag & 0xFFFF) == 0x001E:
            tag, value = (tag & 0xFFFF0000) | 0x001F, value.decode('utf-8').encode('utf-16-le')
        check(written.get(tag) == value, '%s: property %08X differs: %r, written %r' %
              (where, tag, value[:60], (written.get(tag) or b'')[:60]))
    for tag in written:
        if tag in expected or (tag & 0xFFFF) == 0x000D:
            continue
        check(tag in ADDED[kind] or tag in FILLED[kind], '%s: property %08X added' % (where, tag))


def check_named(name, facts, m, names):
    """Each named property of the item is in the file under an id whose
    mapping names it, with the same type and bytes."""
    by_name = {}
    for tag, value in m.props.items():
        if tag >> 16 >= 0x8000:
            guid, kind, key = names[tag >> 16]
            by_name[(guid, kind, key)] = (tag & 0xFFFF, value)
    for n in facts.raw.get('named', []):
        key = (bytes.fromhex(n['set']), 'name', n['name']) if n['name'] is not None else \
            (bytes.fromhex(n['set']), 'lid', n['lid'])
        check(n['set'] != PS_INTERNET_HEADERS or n['name'] == n['name'].lower(),
              'olefile %s: header name %r not in lower case' % (name, n['name']))
        check(by_name.get(key) == (n['type'], bytes.fromhex(n['value'])),
              'olefile %s: named property %r is %r' % (name, key[1:], by_name.get(key)))
    check(len(by_name) == len(facts.raw.get('named', [])), 'olefile %s: named properties %r' % (name, by_name))


def check_olefile(name, facts, m, where='olefile'):
    compare_props('%s %s' % (where, name), 'message', facts.props,
                  {t: v for t, v in m.props.items() if t >> 16 < 0x8000}, bool(facts.attachments))
    check(m.props.get(0x340D0003) == struct.pack('<I', 0x00040E79), '%s %s: no Unicode mark' % (where, name))
    codepage = facts.props.get(0x3FFD0003, facts.props.get(0x3FDE0003, struct.pack('<I', 65001)))
    check(m.props.get(0x3FFD0003) == codepage, '%s %s: code page %r' % (where, name, m.props.get(0x3FFD0003)))
    check(m.props.get(0x3FF10003) == facts.props.get(0x3FF10003, struct.pack('<I', 1033)),
          '%s %s: locale %r' % (where, name, m.props.get(0x3FF10003)))
    if m.kind != 'sub':
        n_r, n_a = len(facts.recipients), len(facts.attachments)
        check(m.header[1:] == (n_r, n_a, n_r, n_a), '%s %s: header %r for %d recipients, %d attachments' %
              (where, name, m.header[1:], n_r, n_a))
    check(len(m.recipients) == len(facts.raw['recipients']), '%s %s: recipient count' % (where, name))
    for i, (r, acc) in enumerate(zip(m.recipients, facts.raw['recipients'])):
        compare_props('%s %s recipient %d' % (where, name, i), 'recipient',
                      account_props(acc), r.props)
        check(r.long(0x30000003) == i and r.long(0x0FFE0003) == 6,
              '%s %s: recipient %d row id or object type' % (where, name, i))
    keys = [r.props.get(0x0FF60102) for r in m.recipients]
    check(all(k and len(k) == 4 for k in keys) and len(set(keys)) == len(keys),
          '%s %s: recipient instance keys %r' % (where, name, keys))
    check(len(m.attachments) == len(facts.attachments), '%s %s: attachment count' % (where, name))
    for i, (a, fa) in enumerate(zip(m.attachments, facts.attachments)):
        compare_props('%s %s attachment %d' % (where, name, i), 'attachment', fa['props'], a.props)
        check(a.long(0x0E210003) == i and a.props.get(0x0FF90102) == struct.pack('<I', i) and
              a.long(0x0FFE0003) == 7, '%s %s: attachment %d number, record key or object type' % (where, name, i))
        if check((a.embedded is not None) == (fa['embedded'] is not None),
                 '%s %s: attachment %d embedded or not' % (where, name, i)) and a.embedded:
            check(a.entries[0x3701000D][1] == b'\xff\xff\xff\xff\x01\x00\x00\x00',
                  '%s %s: attachment %d object entry' % (where, name, i))
            check_olefile(name, fa['embedded'], a.embedded, '%s embedded %d' % (where, i))


def check_olecf(name, path, work):
    """libolecf, a second compound file reader, finds the same streams with
    the same bytes as olefile."""
    error, streams = readers.olecfexport(path, os.path.join(work, os.path.basename(path) + '.olecf'))
    if check(error is None, 'olecfexport %s: %s' % (name, error)):
        ours = readers.msg_streams(path)
        check(streams == ours, 'olecfexport %s: streams differ from olefile\'s: %s' % (
            name, sorted(k for k in streams.keys() | ours.keys() if streams.get(k) != ours.get(k))[:6]))


def check_poi(name, facts, m, where='POI'):
    what = '%s %s' % (where, name)
    check(m['subject'] == facts.subject, '%s: subject %r' % (what, m['subject']))
    check(m['from'] == facts.sender_name, '%s: sender %r, not %r' % (what, m['from'], facts.sender_name))
    check(m['from_email'] == facts.sender_email, '%s: sender address %r' % (what, m['from_email']))
    date = facts.submit if facts.submit is not None else facts.delivery
    if date is not None:
        check(m['date'] == date, '%s: date %s, not %s' % (what, m['date'], date))
    # Text as readers may hand it back: LF line ends, no trailing space.
    norm = lambda text: text and text.replace('\r\n', '\n').replace('\r', '\n').rstrip()
    check(norm(m['body']) == norm(facts.body), '%s: body %r' % (what, (m['body'] or '')[:80]))
    check((m['html'] and bytes.fromhex(m['html'])) == facts.html, '%s: HTML body differs' % what)
    check([(r['name'], r['email']) for r in m['recipients']] == facts.recipients,
          '%s: recipients %r' % (what, m['recipients']))
    check(len(m['attachments']) == len(facts.attachments), '%s: attachment count' % what)
    for i, (a, fa) in enumerate(zip(m['attachments'], facts.attachments)):
        if fa['embedded']:
            if check(a['embedded'] is not None, '%s: attachment %d is no message' % (what, i)):
                check_poi(name, fa['embedded'], a['embedded'], '%s embedded %d' % (where, i))
            continue
        check(a['long'] == fa['long'] and a['short'] == fa['short'] and a['mime'] == fa['mime'],
              '%s: attachment %d names %r' % (what, i, (a['long'], a['short'], a['mime'])))
        # POI gives no data for an empty stream.
        check(bytes.fromhex(a['data'] or '') == (fa['data'] or b''), '%s: attachment %d bytes' % (what, i))


def check_files(work):
    """Every reader on the message files msg_write made in `work` (each
    Email-N.msg with its item's account Email-N.json): what failed."""
    failures.clear()
    paths = sorted(glob.glob(os.path.join(work, 'Email-*.msg')), key=lambda p: int(re.findall(r'\d+', os.path.basename(p))[0]))
    error, poi = readers.poi(paths) if check(paths, 'no message files in %s' % work) else (None, {})
    check(error is None, 'POI: %s' % error)
    for path in paths:
        name = os.path.basename(path)
        with open(path[:-4] + '.json', encoding='utf-8') as f:
            facts = Facts(json.load(f))
        try:
            m = readers.read_msg(path)
            check_olefile(name, facts, m)
            check_named(name, facts, m, readers.msg_name_ids(path))
        except readers.Fault as e:
            check(False, 'olefile %s: %s' % (name, e))
        check_olecf(name, path, work)
        record = poi.get(path)
        if check(record is not None and 'message' in record, 'POI %s: %s' % (name, record and record.get('error'))):
            check_poi(name, facts, record['message'])
    return list(failures)


LISTING_HEADER = {'message': 32, 'embedded message': 24, 'recipient': 8, 'attachment': 8}
LISTED_FIXED = {0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x000A, 0x000B, 0x0014, 0x0040}
NAMEID_STREAMS = ['__substg1.0_00020102', '__substg1.0_00030102', '__substg1.0_00040102']


def name_crc(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xEDB88320 if crc & 1 else crc >> 1
    return crc


class Listing:
    """Lists the structure of message files with one reader (python3-olefile):
    compound file version, root class, storages by kind with their property
    stream headers, the kinds of streams in each, the named-property mapping.
    Each file is also checked against the rules every Outlook-made Unicode
    message file keeps; what a file breaks is listed as a fault."""

    def __init__(self, path):
        self.path = path
        self.lines = set()  # what the file shows, without counts or indices
        self.faults = []
        self.ole = olefile.OleFileIO(path)
        o = self.ole
        self.lines.add('compound file version %d.%d, sectors of %d and %d bytes' %
                       (o.dll_version, o.minor_version, o.sector_size, o.mini_sector_size))
        self.lines.add('root class {%s}' % o.root.clsid)
        self.storage([], 'message')
        self.nameid()
        self.ole.close()

    def fault(self, where, what):
        self.faults.append('%s: %s' % ('/'.join(where) or '/', what))

    def children(self, path):
        out = {}
        for e in self.ole.listdir(streams=True, storages=True):
            if len(e) == len(path) + 1 and e[:len(path)] == path:
                out[e[-1]] = self.ole.get_type('/'.join(e))
        return out

    def storage(self, path, kind):
        kids = self.children(path)
        entry = self.ole.direntries[self.ole._find('/'.join(path))] if path else None
        if entry is not None:
            self.lines.add('%s storage: %s' % (kind, 'modification time' if entry.modifyTime else 'no times'))
        if '__properties_version1.0' not in kids:
            return self.fault(path, 'no property stream')
        data = self.ole.openstream(path + ['__properties_version1.0']).read()
        size = LISTING_HEADER[kind]
        if len(data) < size or (len(data) - size) % 16:
            return self.fault(path, 'property stream of %d bytes fits no %d-byte header' % (len(data), size))
        self.lines.add('%s: property stream with a %d-byte header' % (kind, size))
        entries = {}
        for at in range(size, len(data), 16):
            tag, flags = struct.unpack_from('<II', data, at)
            entries[tag] = data[at + 8:at + 16]
        recips = sorted(n for n in kids if n.startswith('__recip_version1.0_#'))
        attachs = sorted(n for n in kids if n.startswith('__attach_version1.0_#'))
        for names, prefix in ((recips, '__recip_version1.0_#'), (attachs, '__attach_version1.0_#')):
            if names != ['%s%08X' % (prefix, i) for i in range(len(names))]:
                self.fault(path, 'storages %s are not numbered from 0' % names)
        if kind in ('message', 'embedded message'):
            reserved, next_r, next_a, n_r, n_a = struct.unpack_from('<8sIIII', data)
            if (n_r, n_a) != (len(recips), len(attachs)):
                self.fault(path, 'header counts %d/%d for %d/%d storages' % (n_r, n_a, len(recips), len(attachs)))
            if next_r < n_r or next_a < n_a:
                self.fault(path, 'next ids %d/%d below the counts' % (next_r, next_a))
            self.lines.add('%s: header counts match its recipient and attachment storages' % kind)
        if kind == 'message':
            mask = entries.get(0x340D0003)
            if mask is None or not struct.unpack_from('<I', mask)[0] & 0x00040000:
                self.fault(path, 'no PidTagStoreSupportMask with STORE_UNICODE_OK')
            else:
                self.lines.add('message: PidTagStoreSupportMask marks Unicode')
        for tag, raw in entries.items():
            ptype = tag & 0xFFFF
            stream = '__substg1.0_%08X' % tag
            if ptype in LISTED_FIXED:
                continue
            if ptype == 0x001E or ptype == 0x101E:
                self.fault(path, '8-bit string %08X in a Unicode file' % tag)
            if ptype == 0x000D:
                if kind == 'attachment' and kids.get(stream) == olefile.STGTY_STORAGE:
                    if raw != b'\xff\xff\xff\xff\x01\x00\x00\x00':
                        self.fault(path, 'embedded message entry %s' % raw.hex())
                    self.lines.add('attachment: embedded message entry without size, reserved 1')
                    self.storage(path + [stream], 'embedded message')
                continue
            if kids.get(stream) != olefile.STGTY_STREAM:
                self.fault(path, 'no stream for %08X' % tag)
                continue
            length = self.ole.get_size('/'.join(path + [stream]))
            declared = struct.unpack_from('<I', raw)[0]
            if ptype & 0x1000:
                self.multi_value(path, kids, tag, declared, length)
                self.lines.add('%s: multi-valued %04X streams' % (kind, ptype))
            elif ptype == 0x001F:
                # Outlook leaves the terminator out of the stream and counts
                # it in the size; the new Outlook keeps it in both.
                if declared not in (length + 2, length):
                    self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
                self.lines.add('%s: string streams (001F)' % kind)
            else:
                if declared != length:
                    self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
                self.lines.add('%s: value streams (%04X)' % (kind, ptype))
        for name, t in kids.items():
            if t != olefile.STGTY_STREAM or name == '__properties_version1.0':
                continue
            tag = int(name[12:20], 16) if name.startswith('__substg1.0_') else None
            if tag is None or tag not in entries:
                self.fault(path, 'stream %s has no property entry' % name)
        for n in recips:
            self.storage(path + [n], 'recipient')
        for n in attachs:
            self.storage(path + [n], 'attachment')
        if kind != 'message' and '__nameid_version1.0' in kids:
            self.fault(path, 'a named-property mapping below the top')

    def multi_value(self, path, kids, tag, declared, length):
        stream = '__substg1.0_%08X' % tag
        if declared != length:
            self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
        ptype = tag & 0xFFFF
        if ptype not in (0x101E, 0x101F, 0x1102):
            return
        width = 8 if ptype == 0x1102 else 4
        lengths = self.ole.openstream(path + [stream]).read()
        for i in range(len(lengths) // width):
            value = '%s-%08X' % (stream, i)
            if kids.get(value) != olefile.STGTY_STREAM:
                self.fault(path, 'no stream %s' % value)
                continue
            data = self.ole.openstream(path + [value]).read()
            if struct.unpack_from('<I', lengths, i * width)[0] != len(data):
                self.fault(path, '%s: length differs from the length stream' % value)
            if ptype == 0x101F and data[-2:] != b'\0\0':
                self.fault(path, '%s: string without its terminator' % value)

    def nameid(self):
        kids = self.children(['__nameid_version1.0'])
        missing = [n for n in NAMEID_STREAMS if n not in kids]
        if missing:
            return self.fault(['__nameid_version1.0'], 'missing %s' % missing)
        self.lines.add('named-property mapping: GUID, entry and string streams')
        get = lambda n: self.ole.openstream(['__nameid_version1.0', n]).read()
        guids, entries, strings = (get(n) for n in NAMEID_STREAMS)
        expected = {}
        for i in range(0, len(entries), 8):
            first, ik = struct.unpack_from('<II', entries, i)
            gi = (ik >> 1) & 0x7FFF
            if ik >> 16 != i // 8 or (gi >= 3 and 16 * (gi - 2) > len(guids)) or gi == 0:
                self.fault(['__nameid_version1.0'], 'entry %d: index and kind %08X' % (i // 8, ik))
                continue
            key = first
            if ik & 1:
                n = struct.unpack_from('<I', strings, first)[0]
                name = strings[first + 4:first + 4 + n]
                guid = guids[16 * (gi - 3):16 * (gi - 2)] if gi >= 3 else None
                if guid == bytes.fromhex(PS_INTERNET_HEADERS):
                    name = name.decode('utf-16-le').lower().encode('utf-16-le')
                key = name_crc(name)
            stream = '__substg1.0_%04X0102' % (0x1000 + (key ^ (gi << 1 | (ik & 1))) % 0x1F)
            expected.setdefault(stream, []).append(struct.pack('<II', key, ik))
        if expected and not any(n in kids for n in expected):
            # The new Outlook writes none at all.
            return self.lines.add('named-property mapping: no name-to-id streams')
        for stream, items in expected.items():
            have = get(stream) if stream in kids else b''
            found = {have[j:j + 8] for j in range(0, len(have), 8)}
            if not set(items) <= found:
                self.fault(['__nameid_version1.0'], '%s lacks entries' % stream)
        if expected:
            self.lines.add('named-property mapping: name-to-id streams hold every name')


def fresh(work):
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)


def write(writer, mailbox, work, *store):
    r = subprocess.run([writer, mailbox, work] + list(store), capture_output=True, text=True)
    if r.returncode != 0:
        print('msg_write failed:', r.stderr)
    return r.returncode == 0


def read_back(writer, mailbox, out, quiet=False):
    """Writes the mailbox's messages into `out` and has every reader check
    them: None when all is well, else what failed. Quietly (the corpus), a
    file that holds no message is no failure."""
    if not write(writer, mailbox, out):
        return '%s: msg_write failed' % mailbox
    if quiet and not glob.glob(os.path.join(out, '*.msg')):
        return None
    found = check_files(out)
    if not quiet:
        print('\n'.join('FAIL ' + f for f in found[:40]) + '\n%d failures' % len(found))
    return '%s: %s' % (mailbox, '; '.join(found[:40])) if found else None


def case_like_outlook(writer, mailboxes, shared, work):
    """Lists our files and Outlook's Unicode samples with the same reader:
    ours break none of the rules Outlook's files keep, and show nothing
    that no Outlook file shows."""
    samples = sorted(glob.glob(os.path.join(shared, 'reference', 'samples', 'msg', '*.msg')))
    if not samples:
        print('no Outlook samples in', shared)
        return SKIP
    fresh(work)
    ours = []
    for mailbox in sorted(glob.glob(os.path.join(mailboxes, '*'))):
        out = os.path.join(work, os.path.basename(mailbox))
        os.makedirs(out)
        if not write(writer, mailbox, out):
            return 1
        ours += sorted(glob.glob(os.path.join(out, '*.msg')))
    outlook = []
    for path in samples:
        listing = Listing(path)
        # Unicode files only: ANSI ones are the negative example.
        if 'message: PidTagStoreSupportMask marks Unicode' in listing.lines:
            outlook.append(listing)
    failures = []
    seen = set()
    for listing in outlook:
        seen |= listing.lines
        failures += ['Outlook %s: %s' % (os.path.basename(listing.path), f) for f in listing.faults]
    print('Outlook-made Unicode files (%d):' % len(outlook))
    for line in sorted(seen):
        print('  ' + line)
    shown = set()
    for path in ours:
        listing = Listing(path)
        shown |= listing.lines
        failures += ['ours %s: %s' % (os.path.relpath(path, work), f) for f in listing.faults]
        # No Outlook file here holds a multi-valued property: those streams
        # are held to the format's rules (structure.py) alone.
        failures += ['ours %s: %s, which no Outlook file shows' % (os.path.relpath(path, work), line)
                     for line in sorted(listing.lines - seen) if 'multi-valued' not in line]
    print('Ours (%d files):' % len(ours))
    for line in sorted(shown):
        print('  ' + line)
    # Ours must show each kind of storage Outlook's do, embedded messages
    # and the named-property mapping included.
    for needed in ('embedded message: property stream with a 24-byte header',
                   'attachment: embedded message entry without size, reserved 1',
                   'named-property mapping: name-to-id streams hold every name',
                   'message: PidTagStoreSupportMask marks Unicode'):
        if needed not in shown:
            failures.append('ours: none shows "%s"' % needed)
    for f in failures[:40]:
        print('FAIL', f)
    print('%d of ours, %d of Outlook\'s, %d failures' % (len(ours), len(outlook), len(failures)))
    return 1 if failures else 0


def case_same_as_store(writer, mailbox, work):
    """Each item saved into a store and as a message file: the store's
    message and attachments, read by pypff, carry the file's properties."""
    fresh(work)
    store = os.path.join(work, 'staging.pst')
    if not write(writer, mailbox, work, store):
        return 1
    messages = [m for path, folder in readers.pypff_folders(readers.pypff_open(store)).items()
                if path.split('/')[-1] == 'Mailbox' for m in folder.sub_messages]

    def props(item):
        # Named ids are each file's own.
        out = {t: v for t, v in readers.pypff_values(item).items() if t >> 16 < 0x8000}
        subject = out.get(0x0037001F, b'')
        if subject[:2] == b'\x01\x00':  # the store's prefix-length mark
            out[0x0037001F] = subject[4:]
        return out

    failures = []
    paths = sorted(glob.glob(os.path.join(work, 'Email-*.msg')))
    if len(messages) != len(paths):
        failures.append('%d messages in the store, %d files' % (len(messages), len(paths)))
    for path in paths:
        m = readers.read_msg(path)
        key = m.props.get(0x300B0102)
        stored = [s for s in messages if props(s).get(0x300B0102) == key]
        if len(stored) != 1:
            failures.append('%s: %d store messages with its search key' % (path, len(stored)))
            continue
        pairs = [('message', props(stored[0]), m.props, {0x340D0003})]
        for k in range(stored[0].number_of_attachments):
            if k < len(m.attachments):
                pairs.append(('attachment %d' % k, props(stored[0].get_attachment(k)),
                              m.attachments[k].props, {0x0E210003, 0x0FFE0003, 0x0FF90102}))
        if stored[0].number_of_attachments != len(m.attachments):
            failures.append('%s: attachment count' % path)
        with open(path[:-4] + '.json', encoding='utf-8') as account:
            held = {int(t, 16) for t in json.load(account)['props']}
        for what, in_store, in_file, file_only in pairs:
            in_file = {t: v for t, v in in_file.items() if t >> 16 < 0x8000}
            for tag in sorted(set(in_store) | set(in_file)):
                if tag in file_only or (tag & 0xFFFF) == 0x000D:
                    continue
                if what == 'message' and tag in (0x30070040, 0x30080040) and tag not in held:
                    # An item with no times takes the moment each is written.
                    moments = [struct.unpack('<Q', v)[0] for v in (in_store.get(tag), in_file.get(tag)) if v]
                    if len(moments) == 2 and abs(moments[0] - moments[1]) < 60 * 10**7:
                        continue
                if in_store.get(tag) != in_file.get(tag):
                    failures.append('%s %s: %08X is %r in the store, %r in the file' % (
                        os.path.basename(path), what, tag, (in_store.get(tag) or b'')[:40],
                        (in_file.get(tag) or b'')[:40]))
    for line in failures[:40]:
        print('FAIL', line)
    print('%d files, %d failures' % (len(paths), len(failures)))
    return 1 if failures else 0


def check_mailbox(job):
    writer, mailbox, out = job
    os.makedirs(out)
    return read_back(writer, mailbox, out, quiet=True)


def case_corpus(writer, shared, work):
    """Every mailbox of the shared corpus, each message a file, read back
    by every reader."""
    import multiprocessing
    mailboxes = sorted(glob.glob(os.path.join(shared, 'corpus', '**', '*.mbox'), recursive=True))
    if not mailboxes:
        print('no corpus in', shared)
        return SKIP
    fresh(work)
    jobs = [(writer, m, os.path.join(work, '%03d-%s' % (i, os.path.basename(m))))
            for i, m in enumerate(mailboxes)]
    with multiprocessing.Pool() as pool:
        failures = [f for f in pool.map(check_mailbox, jobs) if f]
    for f in failures:
        print('FAIL', f)
    print('%d mailboxes, %d message files, %d mailboxes failed' % (
        len(mailboxes), len(glob.glob(os.path.join(work, '*', '*.msg'))), len(failures)))
    return 1 if failures else 0


def main():
    case = sys.argv[1]
    if case == 'readers':
        fresh(sys.argv[4])
        return 1 if read_back(*sys.argv[2:5]) else 0
    if case == 'like_outlook':
        writer, mailboxes, shared, work = sys.argv[2:6]
        if not os.path.isdir(shared):
            print('no shared folder at', shared)
            return SKIP
        return case_like_outlook(writer, mailboxes, shared, work)
    if case == 'same_as_store':
        return case_same_as_store(*sys.argv[2:5])
    if case == 'corpus':
        writer, shared, work = sys.argv[2:5]
        if os.environ.get('MSG_CORPUS') != '1' or not os.path.isdir(shared):
            print('MSG_CORPUS=1 and the shared corpus run this case')
            return SKIP
        return case_corpus(writer, shared, work)
    print('unknown case', case)
    return 2


if __name__ == '__main__':
    sys.exit(main())
