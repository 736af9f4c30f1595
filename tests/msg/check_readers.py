"""Reads the message files msg_write made with every independent reader and
checks that each finds what the imported item held: subject, sender,
recipients, dates, plain and HTML bodies, attachments with their names and
bytes, and embedded messages as messages.

usage: check_readers.py OUTDIR   (Email-N.msg with its account Email-N.json)"""
import base64
import email
import email.errors
import email.header
import email.policy
import email.utils
import glob
import json
import os
import re
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import msgfile  # noqa: E402

POI_JARS = ['poi', 'poi-scratchpad', 'commons-collections4', 'commons-math3', 'commons-codec',
            'commons-logging']
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


def norm(text):
    """Text as readers may hand it back: LF line ends, no trailing space."""
    if text is None:
        return None
    return text.replace('\r\n', '\n').replace('\r', '\n').rstrip()


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
        self.represented_email = s(0x0065001F)
        self.submit, self.delivery = t(0x00390040), t(0x0E060040)
        self.body, self.html = s(0x1000001F), p.get(0x10130102)
        self.recipients = []
        for r in map(account_props, account['recipients']):
            self.recipients.append((text_prop(r, 0x3001001F), text_prop(r, 0x3003001F),
                                    struct.unpack('<i', r[0x0C150003])[0] if 0x0C150003 in r else None))
        self.attachments = []
        for a in account['attachments']:
            ap = account_props(a['props'])
            name = lambda t: text_prop(ap, t)
            inner = Facts(a['embedded']) if 'embedded' in a else None
            self.attachments.append({
                'long': name(0x3707001F), 'short': name(0x3704001F) or (inner and inner.subject),
                'display': name(0x3001001F), 'mime': name(0x370E001F), 'data': ap.get(0x37010102),
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


def check_msgconvert(name, facts, path, work):
    eml = os.path.join(work, os.path.basename(path) + '.eml')
    r = subprocess.run(['msgconvert', '--outfile', eml, path], capture_output=True, text=True)
    if not check(r.returncode == 0 and os.path.exists(eml), 'msgconvert %s: %s' % (name, r.stderr[-300:])):
        return
    with open(eml, 'rb') as f:
        raw = f.read()
    check_mime(name, facts, email.message_from_bytes(utf8_headers(raw), policy=email.policy.compat32), raw)


def utf8_headers(raw):
    """msgconvert writes header text up to U+00FF in Latin-1 and the rest in
    UTF-8: each header line is made UTF-8 again, and each part's header."""
    boundaries = {b'--' + b for b in re.findall(rb'boundary="?([^";\r\n]+)"?', raw, re.I)}
    out = []
    in_header = True
    for line in raw.split(b'\n'):
        if in_header:
            try:
                line.decode('utf-8')
            except UnicodeDecodeError:
                line = line.decode('latin-1').encode('utf-8')
        if line.strip() == b'':
            in_header = False
        elif line.rstrip() in boundaries:
            in_header = True
        out.append(line)
    return b'\n'.join(out)


def undo_double_encoding(text):
    """A message whose header holds text above U+00FF gets its text part
    encoded twice by msgconvert; this undoes one encoding where it can."""
    try:
        return text.encode('latin-1').decode('utf-8')
    except (UnicodeEncodeError, UnicodeDecodeError):
        return text


def words(text):
    """Header text as a reader may unfold it: white space runs as one space."""
    return None if text is None else ' '.join(str(text).split())


def header_text(value):
    """A header's text, encoded words decoded (raw 8-bit text as UTF-8)."""
    if value is None:
        return None
    try:
        chunks = [(c, 'utf-8' if cs in (None, 'unknown-8bit') and isinstance(c, bytes) else cs)
                  for c, cs in email.header.decode_header(value)]
        value = str(email.header.make_header(chunks))
    except (ValueError, LookupError, UnicodeDecodeError, email.errors.HeaderParseError):
        pass
    return words(value)


def from_source(facts, field):
    """The source's own fields, as the item's transport headers keep them:
    msgconvert copies those rather than build its own."""
    headers = facts.props.get(0x007D001F)
    if headers is None:
        return []
    parsed = email.message_from_string(headers.decode('utf-16-le'), policy=email.policy.compat32)
    return [header_text(v) for v in parsed.get_all(field, [])]


def addresses(message, field):
    """Every address in the field's text, however its names are quoted."""
    text = ' '.join(header_text(v) or '' for v in message.get_all(field, []))
    return [a.lower() for a in re.findall(r'[^\s<>,;:"()]+@[^\s<>,;:"()]+', text)]


def text_of(part):
    data = part.get_payload(decode=True) or b''
    try:
        return data.decode(part.get_content_charset() or 'utf-8', errors='replace')
    except LookupError:
        return data.decode('utf-8', errors='replace')


def check_mime(name, facts, msg, raw, where='msgconvert'):
    what = '%s %s' % (where, name)
    copied = lambda field: [header_text(v) for v in msg.get_all(field, [])] == from_source(facts, field) != []
    if facts.subject is not None:
        check(header_text(msg['subject']) == words(facts.subject) or copied('subject'),
              '%s: subject %r, not %r' % (what, msg['subject'], facts.subject))
    if facts.sender_email:
        # From names the sender, or whom the sender sent for.
        given = (header_text(msg['from']) or '').lower()
        check(facts.sender_email.lower() in given or (facts.represented_email or '\0').lower() in given
              or copied('from'), '%s: From %r' % (what, msg['from']))
    if not (copied('to') or copied('cc')):
        for rname, address, rtype in facts.recipients:
            check(address is None or address.lower() in addresses(msg, 'to') + addresses(msg, 'cc') +
                  addresses(msg, 'bcc'), '%s: recipient %s missing' % (what, address))
    date = facts.submit if facts.submit is not None else facts.delivery
    if date is not None and msg['date']:
        try:
            got = email.utils.parsedate_to_datetime(str(msg['date'])).timestamp()
            check(abs(got - date) < 1 or copied('date'), '%s: date %s, not %s' % (what, msg['date'], date))
        except (ValueError, TypeError, OverflowError):
            check(copied('date'), '%s: date %r' % (what, msg['date']))
    plain, html = None, None
    for part in msg.walk():
        ctype = part.get_content_type()
        if ctype == 'message/rfc822':
            break  # its parts belong to the embedded message
        if is_attachment(part) or part.is_multipart():
            continue
        if ctype == 'text/plain' and plain is None:
            plain = text_of(part)
        elif ctype == 'text/html' and html is None:
            html = part.get_payload(decode=True) or b''
    if facts.body:
        check(norm(facts.body) in (norm(plain), norm(undo_double_encoding(plain or ''))),
              '%s: body %r, not %r' % (what, (plain or '')[:80], facts.body[:80]))
    if facts.html:
        lf = lambda b: b.replace(b'\r\n', b'\n').replace(b'\r', b'\n').rstrip()
        check(html is not None and lf(html) == lf(facts.html), '%s: HTML body differs' % what)
    check_attachment_parts(what, facts, msg, raw)


def is_attachment(part):
    """msgconvert writes every attachment with that disposition; a body
    part may keep the source's own (\"inline; filename=...\")."""
    disposition = str(part.get('content-disposition', '')).strip().lower()
    return part.get_content_type() == 'message/rfc822' or disposition.startswith('attachment')


def base64_bodies(raw):
    """The decoded bodies of the base64 parts of a MIME text."""
    found = re.findall(rb'Content-Transfer-Encoding: base64\r?\n(?:[^\r\n]+\r?\n)*\r?\n([A-Za-z0-9+/=\r\n]+)', raw, re.I)
    return [base64.b64decode(b''.join(body.split())) for body in found]


def filenames(part):
    """The names a part gives (msgconvert adds an ASCII one to an RFC 2231
    name)."""
    out = []
    for header in ('content-disposition', 'content-type'):
        for key, value in part.get_params(header=header) or []:
            if key in ('filename', 'name'):
                out.append(header_text(email.utils.collapse_rfc2231_value(value)))
    return out


def check_attachment_parts(what, facts, msg, raw):
    found = []
    stack = list(msg.get_payload()) if msg.is_multipart() else []
    while stack:
        p = stack.pop(0)
        if is_attachment(p):
            found.append(p)
        elif p.is_multipart():
            stack[0:0] = list(p.get_payload())
    check(len(found) == len(facts.attachments), '%s: %d attachments, %d expected' % (what, len(found), len(facts.attachments)))
    for p, fa in zip(found, facts.attachments):
        if fa['embedded']:
            inner = p.get_payload()
            if check(p.get_content_type() == 'message/rfc822' and inner, '%s: embedded message is no message' % what):
                check_mime(name_of(fa), fa['embedded'], inner[0], raw, what + ' embedded')
            continue
        names = {words(n) for n in (fa['long'], fa['short'], fa['display'])}
        check(names & set(filenames(p)), '%s: attachment names %r, not %r' % (what, filenames(p), fa['long']))
        if p.get_content_maintype() in ('multipart', 'message'):
            # A MIME entity kept as an attachment (a signed part, a mail, a
            # report) is written as it is or in base64, and a parser takes it
            # apart: its bytes are in the file.
            lf = lambda b: b.replace(b'\r\n', b'\n')
            check(lf(fa['data']) in lf(raw) or fa['data'] in base64_bodies(raw),
                  '%s: bytes of %r not in the output' % (what, p.get_filename()))
        else:
            check((p.get_payload(decode=True) or b'') == fa['data'], '%s: bytes of %r differ' % (what, p.get_filename()))


def name_of(fa):
    return fa['long'] or fa['short'] or fa['display'] or '?'


def read_olecfinfo(path):
    """Item names and sizes by path, from olecfinfo's indented listing."""
    out = subprocess.run(['olecfinfo', path], capture_output=True, text=True)
    items, stack = {}, []
    listing = out.stdout.split('Storage and stream items:', 1)[-1]
    for line in listing.splitlines():
        m = re.match(r'^(\s*)(.+) \((\d+) bytes\)$', line)
        if not m:
            continue
        depth = len(m.group(1).expandtabs(8)) // 2
        stack[depth:] = [m.group(2)]
        items['/'.join(stack[1:])] = int(m.group(3))
    return out.returncode, items


def check_olecf(name, facts, path, work):
    rc, items = read_olecfinfo(path)
    if not check(rc == 0 and items, 'olecfinfo %s: no listing' % name):
        return
    ole = msgfile.olefile.OleFileIO(path)
    expected = {'/'.join(e): (ole.get_size('/'.join(e)) if ole.get_type('/'.join(e)) == msgfile.olefile.STGTY_STREAM else None)
                for e in ole.listdir(streams=True, storages=True)}
    ole.close()
    check(set(items) - {''} == set(expected), 'olecfinfo %s: items differ from olefile\'s: %s' %
          (name, sorted(set(items) ^ set(expected))[:6]))
    for item, size in expected.items():
        if size is not None:
            check(items.get(item) == size, 'olecfinfo %s: %s has %s bytes, olefile says %d' % (name, item, items.get(item), size))
    target = os.path.join(work, os.path.basename(path) + '.olecf')
    shutil.rmtree(target + '.export', ignore_errors=True)
    r = subprocess.run(['olecfexport', '-t', target, path], capture_output=True, text=True)
    if not check(r.returncode == 0, 'olecfexport %s: %s' % (name, r.stderr[-300:])):
        return
    check_exported(name, facts, target + '.export')


def check_exported(name, facts, folder, where='olecfexport'):
    def stream(*parts):
        p = os.path.join(folder, *parts, 'StreamData.bin')
        return open(p, 'rb').read() if os.path.exists(p) else None

    what = '%s %s' % (where, name)
    for tag, value in ((0x0037001F, facts.subject), (0x1000001F, facts.body), (0x0C1A001F, facts.sender_name)):
        if value is not None:
            got = stream('__substg1.0_%08X' % tag)
            check(got is not None and got.decode('utf-16-le') == value, '%s: %08X differs' % (what, tag))
    if facts.html:
        check(stream('__substg1.0_10130102') == facts.html, '%s: HTML body differs' % what)
    for i, (rname, address, _) in enumerate(facts.recipients):
        got = stream('__recip_version1.0_#%08X' % i, '__substg1.0_3003001F')
        check(got is None if address is None else got is not None and got.decode('utf-16-le') == address,
              '%s: recipient %d' % (what, i))
    for i, fa in enumerate(facts.attachments):
        storage = '__attach_version1.0_#%08X' % i
        if fa['embedded']:
            inner = os.path.join(folder, storage, '__substg1.0_3701000D')
            if check(os.path.isdir(inner), '%s: attachment %d has no embedded message' % (what, i)):
                check_exported(name, fa['embedded'], inner, '%s embedded %d' % (where, i))
            continue
        if fa['long'] is not None:
            got = stream(storage, '__substg1.0_3707001F')
            check(got is not None and got.decode('utf-16-le') == fa['long'], '%s: attachment %d name' % (what, i))
        if fa['data'] is not None:
            check(stream(storage, '__substg1.0_37010102') == fa['data'], '%s: attachment %d bytes' % (what, i))


def check_poi(name, facts, m, where='POI'):
    what = '%s %s' % (where, name)
    check(m['subject'] == facts.subject, '%s: subject %r' % (what, m['subject']))
    check(m['from'] == facts.sender_name, '%s: sender %r, not %r' % (what, m['from'], facts.sender_name))
    check(m['from_email'] == facts.sender_email, '%s: sender address %r' % (what, m['from_email']))
    date = facts.submit if facts.submit is not None else facts.delivery
    if date is not None:
        check(m['date'] == date, '%s: date %s, not %s' % (what, m['date'], date))
    check(norm(m['body']) == norm(facts.body), '%s: body %r' % (what, (m['body'] or '')[:80]))
    check((m['html'] and bytes.fromhex(m['html'])) == facts.html, '%s: HTML body differs' % what)
    check([(r['name'], r['email']) for r in m['recipients']] == [(n, a) for n, a, _ in facts.recipients],
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


def run_poi(paths):
    jars = ['/usr/share/java/%s.jar' % j for j in POI_JARS]
    missing = [j for j in jars if not os.path.exists(j)]
    if not check(not missing, 'POI: missing %s (scripts/install-deps installs it)' % missing):
        return {}
    r = subprocess.run(['java', '-cp', ':'.join(jars), os.path.join(HERE, 'PoiRead.java')] + paths,
                       capture_output=True)
    check(r.returncode == 0, 'POI: %s' % r.stderr.decode(errors='replace')[-500:])
    out = {}
    for line in r.stdout.decode('utf-8').split('\n'):
        if not line:
            continue
        record = json.loads(line)
        out[record['file']] = record
    return out


def main():
    work = sys.argv[1]
    paths = sorted(glob.glob(os.path.join(work, 'Email-*.msg')), key=lambda p: int(re.findall(r'\d+', os.path.basename(p))[0]))
    if not check(paths, 'no message files in %s' % work):
        return 1
    poi = run_poi(paths)
    for path in paths:
        name = os.path.basename(path)
        with open(path[:-4] + '.json', encoding='utf-8') as f:
            facts = Facts(json.load(f))
        try:
            m = msgfile.read(path)
            check_olefile(name, facts, m)
            check_named(name, facts, m, msgfile.name_ids(path))
        except msgfile.Fault as e:
            check(False, 'olefile %s: %s' % (name, e))
        check_msgconvert(name, facts, path, work)
        check_olecf(name, facts, path, work)
        record = poi.get(path)
        if check(record is not None and 'message' in record, 'POI %s: %s' % (name, record and record.get('error'))):
            check_poi(name, facts, record['message'])
    for f in failures[:40]:
        print('FAIL', f)
    print('%d message files, %d failures' % (len(paths), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
