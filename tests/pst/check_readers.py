"""Reads a store written by write_sample with every independent reader and
checks that each sees what the manifest says was written.

usage: check_readers.py MANIFEST STORE WORKDIR"""
import json
import os
import re
import shutil
import subprocess
import sys

import pypff

from sample_data import pattern


def text(b):
    if b is None:
        return ''
    if isinstance(b, bytes):
        return b.decode('utf-8', 'replace').rstrip('\0')
    return b


failures = []


def check(cond, what):
    if not cond:
        failures.append(what)


def folders_by_path(root):
    out = {}
    top = None
    for i in range(root.number_of_sub_folders):
        f = root.get_sub_folder(i)
        if f.name == 'Top of Personal Folders':
            top = f
    assert top is not None, 'no top folder'

    def walk(folder, prefix):
        for i in range(folder.number_of_sub_folders):
            f = folder.get_sub_folder(i)
            path = prefix + f.name
            out[path] = f
            walk(f, path + '/')
    walk(top, '')
    return out


def check_pypff(manifest, store):
    f = pypff.file()
    f.open(store)
    folders = folders_by_path(f.get_root_folder())
    for name in manifest['folders']:
        check(name in folders, 'pypff: folder %s missing' % name)
        if name not in folders:
            continue
        has_children = any(other.startswith(name + '/') for other in manifest['folders'])
        flags = [e.data for rs in folders[name].record_sets for e in rs.entries if e.entry_type == 0x360A]
        check(flags == [b'\x01' if has_children else b'\x00'], 'pypff: %s subfolders flag %r' % (name, flags))
    expected = {}
    for m in manifest['messages']:
        expected.setdefault(m['folder'], []).append(m)
    for name, msgs in expected.items():
        folder = folders.get(name)
        if folder is None:
            continue
        check(folder.number_of_sub_messages == len(msgs),
              'pypff: %s has %d messages, wrote %d' % (name, folder.number_of_sub_messages, len(msgs)))
        # The folder object's own count is kept in step with its contents.
        counts = [e.data for rs in folder.record_sets for e in rs.entries if e.entry_type == 0x3602]
        check(counts and int.from_bytes(counts[0], 'little') == len(msgs),
              'pypff: %s content count %r, wrote %d' % (name, counts, len(msgs)))
        seen = {}
        for i in range(folder.number_of_sub_messages):
            msg = folder.get_sub_message(i)
            seen[msg.subject] = msg
        for m in msgs:
            msg = seen.get(m['subject'])
            check(msg is not None, 'pypff: %r missing from %s' % (m['subject'], name))
            if msg is None:
                continue
            if m['body']:
                check(text(msg.plain_text_body) == m['body'], 'pypff: body of %r' % m['subject'])
            atts = m['attachments'] + ([None] if m['embedded'] else [])
            check(msg.number_of_attachments == len(atts),
                  'pypff: %r has %d attachments, wrote %d' % (m['subject'], msg.number_of_attachments, len(atts)))
            for k, a in enumerate(m['attachments']):
                att = msg.get_attachment(k)
                data = att.read_buffer(att.size) if att.size else b''
                check(data == pattern(a[0], a[1]),
                      'pypff: attachment %d of %r (%d bytes, read %d)' % (k, m['subject'], a[1], len(data)))
    return sum(len(v) for v in expected.values())


_exported = {}


def index_export(folder):
    """Subject -> message folder of one exported folder."""
    if folder not in _exported:
        found = {}
        for d in os.listdir(folder) if os.path.isdir(folder) else []:
            p = os.path.join(folder, d, 'OutlookHeaders.txt')
            if os.path.exists(p):
                m = re.search(r'^Subject:\s+(.*)$', open(p, encoding='utf-8', errors='replace').read(), re.M)
                if m:
                    found[m.group(1)] = os.path.join(folder, d)
        _exported[folder] = found
    return _exported[folder]


def named_values(path):
    """Named properties of an ItemValues.txt dump: the name or number each
    maps to -> its value as text."""
    out = {}
    if not os.path.exists(path):
        return out
    lines = open(path, encoding='utf-8', errors='replace').read().splitlines()
    for i, line in enumerate(lines):
        m = re.match(r'Maps to entry(?: type)?:\s+(.*)$', line)
        if not m:
            continue
        data = b''
        for row in lines[i + 2:]:
            h = re.match(r'0x[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2})+)', row)
            if not h:
                break
            data += bytes.fromhex(h.group(1).replace(' ', ''))
        out[m.group(1).strip()] = data.decode('utf-16-le', 'replace')
    return out


def recipient_rows(path):
    """The rows of a RecipientsItemValues.txt dump, each as tag id -> bytes."""
    rows = {}
    for block in open(path, encoding='utf-8', errors='replace').read().split('\n\n'):
        row = re.search(r'^Set:\s+(\d+)', block, re.M)
        tag = re.search(r'^Entry type:\s+0x([0-9a-f]+)', block, re.M)
        if row and tag:
            data = ''.join(re.findall(r'^0x[0-9a-f]{8}: ((?:[0-9a-f]{2} {1,2})+)', block, re.M))
            rows.setdefault(int(row.group(1)), {})[int(tag.group(1), 16)] = bytes.fromhex(data.replace(' ', ''))
    return [rows[k] for k in sorted(rows)]


def check_pffexport(manifest, store, work):
    out = os.path.join(work, 'pffexport')
    shutil.rmtree(out + '.export', ignore_errors=True)
    r = subprocess.run(['pffexport', '-q', '-d', '-t', out, store], capture_output=True)
    check(r.returncode == 0, 'pffexport failed: %s' % r.stderr[-300:])
    top = os.path.join(out + '.export', 'Top of Personal Folders')
    for m in manifest['messages']:
        if not m['recipients'] and not m['attachments']:
            continue
        # Find the message folder by its subject line.
        folder = os.path.join(top, *m['folder'].split('/'))
        match = index_export(folder).get(m['subject'])
        check(match is not None, 'pffexport: %r not found' % m['subject'])
        if match is None:
            continue
        n = int(m['subject'].rsplit('#', 1)[1])
        values = named_values(os.path.join(match, 'ItemValues.txt'))
        check(values.get('0x00008580') == 'Account %d' % (n % 3),
              'pffexport: numbered named property of %r: %r' % (m['subject'], values.get('0x00008580')))
        check(values.get('x-list-id') == 'list %d' % n,
              'pffexport: named property x-list-id of %r: %r' % (m['subject'], values.get('x-list-id')))
        check(values.get('content-type') == 'text/plain; charset="utf-8"',
              'pffexport: named property content-type of %r: %r' % (m['subject'], values.get('content-type')))
        # Rows keyed by their one-off entry ids (a row without an address
        # has neither), sendable, no rich text.
        rows = recipient_rows(os.path.join(match, 'RecipientsItemValues.txt'))
        check(len(rows) == len(m['recipients']) and all(
            r.get(0x0FF9, b'') == r.get(0x0FFF, b'') and bool(r.get(0x0FFF)) == bool(address) and
            r.get(0x5FFD) == b'\x01\0\0\0' and r.get(0x3A40) == b'\0'
            for r, (_, address) in zip(rows, m['recipients'])), 'pffexport: recipient rows of %r' % m['subject'])
        recips = open(os.path.join(match, 'Recipients.txt'), encoding='utf-8', errors='replace').read()
        for name, address in m['recipients']:
            check(name in recips and address in recips, 'pffexport: recipient %s of %r' % (address, m['subject']))
        for k, a in enumerate(m['attachments']):
            adir = os.path.join(match, 'Attachments')
            files = sorted(os.listdir(adir)) if os.path.isdir(adir) else []
            data = None
            for fn in files:
                if fn.startswith('%d_' % (k + 1)) and os.path.isfile(os.path.join(adir, fn)):
                    data = open(os.path.join(adir, fn), 'rb').read()
            check(data == pattern(a[0], a[1]), 'pffexport: attachment %d of %r' % (k, m['subject']))
        if m['embedded']:
            found = False
            for dirpath, _, files in os.walk(os.path.join(match, 'Attachments')):
                for fn in files:
                    if fn == 'OutlookHeaders.txt' and m['embedded'] in open(os.path.join(dirpath, fn), encoding='utf-8', errors='replace').read():
                        found = True
            check(found, 'pffexport: embedded message of %r' % m['subject'])


def check_readpst(manifest, store, work):
    out = os.path.join(work, 'readpst')
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    r = subprocess.run(['readpst', '-q', '-r', '-o', out, store], capture_output=True)
    check(r.returncode == 0, 'readpst failed: %s' % r.stderr[-300:])
    counts = {}
    for m in manifest['messages']:
        counts[m['folder']] = counts.get(m['folder'], 0) + 1
    for name, n in counts.items():
        path = os.path.join(out, 'Sample Store', *name.split('/'), 'mbox')
        data = open(path, 'rb').read() if os.path.exists(path) else b''
        got = len(re.findall(rb'^From ', data, re.M))
        check(got == n, 'readpst: %s has %d messages, wrote %d' % (name, got, n))

    r = subprocess.run(['lspst', store], capture_output=True)
    check(r.returncode == 0, 'lspst failed')
    listing = r.stdout.decode('utf-8', 'replace')
    subjects = set(re.findall(r'Subject: (.*)', listing))
    for m in manifest['messages']:
        check(m['subject'] in subjects, 'lspst: %r missing' % m['subject'])


def main():
    manifest = json.load(open(sys.argv[1], encoding='utf-8'))
    store, work = sys.argv[2], sys.argv[3]
    os.makedirs(work, exist_ok=True)
    r = subprocess.run(['pffinfo', store], capture_output=True)
    check(r.returncode == 0 and b'Subtree' in r.stdout, 'pffinfo failed: %s' % r.stderr[-300:])
    n = check_pypff(manifest, store)
    check_pffexport(manifest, store, work)
    check_readpst(manifest, store, work)
    for f in failures[:40]:
        print('FAIL', f)
    print('%d messages checked, %d failures' % (n, len(failures)))
    sys.exit(1 if failures else 0)


if __name__ == '__main__':
    main()
