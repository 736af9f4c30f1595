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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import readers  # noqa: E402
from readers import SKIP  # noqa: E402

FILETIME_1970 = 116444736000000000

# What the file adds to an item's properties, or fills in where the item has
# none, as a store does.
ADDED = {'message': {0x340D0003}, 'recipient': {0x30000003, 0x0FF60102},
         'attachment': {0x0E210003, 0x0FFE0003, 0x0FF90102}}
FILLED = {'message': {0x0E170003, 0x300B0102, 0x30070040, 0x30080040, 0x0E080003, 0x3FFD0003,
                      0x3FF10003},
          'attachment': {0x370B0003, 0x0E200003, 0x3001001F, 0x3704001F}, 'recipient': {0x0FFE0003}}

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
        check(n['set'] != readers.PS_INTERNET_HEADERS.hex() or n['name'] == n['name'].lower(),
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
        m = readers.read_msg(path)
        if check(not m.faults, 'olefile %s: %s' % (name, '; '.join(m.faults[:5]))):
            check_olefile(name, facts, m)
            check_named(name, facts, m, m.names)
        check_olecf(name, path, work)
        record = poi.get(path)
        if check(record is not None and 'message' in record, 'POI %s: %s' % (name, record and record.get('error'))):
            check_poi(name, facts, record['message'])
    return list(failures)


def write(writer, mailbox, work, *store):
    """msg_write's files for the mailbox's messages, in a new `work`."""
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
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
        readers.report(found, mailbox)
    return '%s: %s' % (mailbox, '; '.join(found[:40])) if found else None


def case_like_outlook(writer, mailboxes, shared, work):
    """Our files and Outlook's Unicode samples read alike: ours break none
    of the rules Outlook's files keep, and show nothing that no Outlook
    file shows."""
    samples = sorted(glob.glob(os.path.join(shared, 'reference', 'samples', 'msg', '*.msg')))
    if not samples:
        print('no Outlook samples in', shared)
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    ours = []
    for mailbox in sorted(glob.glob(os.path.join(mailboxes, '*'))):
        out = os.path.join(work, os.path.basename(mailbox))
        if not write(writer, mailbox, out):
            return 1
        ours += sorted(glob.glob(os.path.join(out, '*.msg')))
    # Unicode files only: ANSI ones are the negative example.
    outlook = {os.path.basename(p): m for p in samples for m in [readers.read_msg(p, strict=False)]
               if 'message: PidTagStoreSupportMask marks Unicode' in m.shows}
    failures = ['Outlook %s: %s' % (p, f) for p, m in outlook.items() for f in m.faults]
    seen = set().union(*(m.shows for m in outlook.values()))
    shown = set()
    for path in ours:
        m, name = readers.read_msg(path), os.path.relpath(path, work)
        shown |= m.shows
        # No Outlook file here holds a multi-valued property: those streams
        # are held to the reading's own rules alone.
        failures += ['ours %s: %s' % (name, f) for f in m.faults] + [
            'ours %s: %s, which no Outlook file shows' % (name, line)
            for line in sorted(m.shows - seen) if 'multi-valued' not in line]
    for title, lines in (('Outlook-made Unicode files (%d)' % len(outlook), seen), ('Ours (%d files)' % len(ours), shown)):
        print(title + ':\n' + ''.join('  %s\n' % line for line in sorted(lines)), end='')
    # Ours must show each kind of storage Outlook's do, embedded messages
    # and the named-property mapping included.
    failures += ['ours: none shows "%s"' % needed for needed in (
        'embedded message: property stream with a 24-byte header',
        'attachment: embedded message entry without size, reserved 1',
        'named-property mapping: name-to-id streams hold every name',
        'message: PidTagStoreSupportMask marks Unicode') if needed not in shown]
    return readers.report(failures, '%d of ours, %d of Outlook\'s' % (len(ours), len(outlook)))


def case_same_as_store(writer, mailbox, work):
    """Each item saved into a store and as a message file: the store's
    message and attachments, read by pypff, carry the file's properties."""
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
        stored = [s for s in messages if props(s).get(0x300B0102) == m.props.get(0x300B0102)]
        if len(stored) != 1:
            failures.append('%s: %d store messages with its search key' % (path, len(stored)))
            continue
        if stored[0].number_of_attachments != len(m.attachments):
            failures.append('%s: attachment count' % path)
        pairs = [('message', props(stored[0]), m)] + [
            ('attachment %d' % k, props(stored[0].get_attachment(k)), a) for k, a in enumerate(m.attachments)
            if k < stored[0].number_of_attachments]
        with open(path[:-4] + '.json', encoding='utf-8') as account:
            held = {int(t, 16) for t in json.load(account)['props']}
        for what, in_store, o in pairs:
            in_file = {t: v for t, v in o.props.items() if t >> 16 < 0x8000}
            for tag in sorted(set(in_store) | set(in_file)):
                if tag in ADDED[o.kind] or (tag & 0xFFFF) == 0x000D:
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
    return readers.report(failures, '%d files' % len(paths))


def check_mailbox(job):
    return read_back(*job, quiet=True)


def case_corpus(writer, shared, work):
    """Every mailbox of the shared corpus, each message a file, read back
    by every reader."""
    import multiprocessing
    mailboxes = sorted(glob.glob(os.path.join(shared, 'corpus', '**', '*.mbox'), recursive=True))
    if not mailboxes:
        print('no mailboxes in', os.path.join(shared, 'corpus'))
        return SKIP
    shutil.rmtree(work, ignore_errors=True)
    jobs = [(writer, m, os.path.join(work, '%03d-%s' % (i, os.path.basename(m))))
            for i, m in enumerate(mailboxes)]
    with multiprocessing.Pool() as pool:
        failures = [f for f in pool.map(check_mailbox, jobs) if f]
    return readers.report(failures, '%d mailboxes, %d message files; mailboxes failed' % (
        len(mailboxes), len(glob.glob(os.path.join(work, '*', '*.msg')))), most=len(failures))


def main():
    case, args = sys.argv[1], sys.argv[2:]
    if case == 'readers':
        return 1 if read_back(*args) else 0
    if case == 'same_as_store':
        return case_same_as_store(*args)
    shared = args[2] if case == 'like_outlook' else os.path.join(args[1], 'corpus')
    if not os.path.isdir(shared) or case == 'corpus' and os.environ.get('MSG_CORPUS') != '1':
        print('needs %s%s' % (shared, ' and MSG_CORPUS=1' * (case == 'corpus')))
        return SKIP
    return (case_like_outlook if case == 'like_outlook' else case_corpus)(*args)


if __name__ == '__main__':
    sys.exit(main())
