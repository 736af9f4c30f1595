"""Reads the message files msg_write made with the independent readers and
checks that each finds what the imported item held: olefile every property
against the item's, Apache POI's HSMF subject, sender, recipients, date,
bodies, attachments with their names and bytes, and embedded messages as
messages, and libolecf the same streams as olefile.

usage: check_readers.py OUTDIR   (Email-N.msg with its account Email-N.json)"""
import glob
import json
import os
import re
import struct
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
import readers  # noqa: E402

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


def main():
    work = sys.argv[1]
    paths = sorted(glob.glob(os.path.join(work, 'Email-*.msg')), key=lambda p: int(re.findall(r'\d+', os.path.basename(p))[0]))
    if not check(paths, 'no message files in %s' % work):
        return 1
    error, poi = readers.poi(paths)
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
    for f in failures[:40]:
        print('FAIL', f)
    print('%d message files, %d failures' % (len(paths), len(failures)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
