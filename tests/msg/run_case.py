"""Whole-file cases of the message file writer: files written by msg_write
from the import's hand-picked mails, read back by the independent readers.
Exit 77 when a case needs the shared references and they are absent.

usage: run_case.py readers MSG_WRITE MAILBOX WORK
       run_case.py like_outlook MSG_WRITE MAILBOX_FOLDER SHARED_DIR WORK
       run_case.py same_as_store MSG_WRITE MAILBOX WORK
       run_case.py corpus MSG_WRITE SHARED_DIR WORK   (opt-in: MSG_CORPUS=1)"""
import glob
import json
import os
import shutil
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, '..')]
import readers  # noqa: E402

SKIP = 77


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
    r = subprocess.run([sys.executable, '-B', os.path.join(HERE, 'check_readers.py'), out],
                       capture_output=quiet, text=True)
    return None if r.returncode == 0 else '%s: %s' % (mailbox, (r.stdout or '')[-2000:] + (r.stderr or '')[-500:])


def case_readers(writer, mailbox, work):
    fresh(work)
    return 1 if read_back(writer, mailbox, work) else 0


def case_like_outlook(writer, mailboxes, shared, work):
    """Lists our files and Outlook's Unicode samples with the same reader:
    ours break none of the rules Outlook's files keep, and show nothing
    that no Outlook file shows."""
    samples = sorted(glob.glob(os.path.join(shared, 'reference', 'samples', 'msg', '*.msg')))
    if not samples:
        print('no Outlook samples in', shared)
        return SKIP
    import structure
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
        listing = structure.Listing(path)
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
        listing = structure.Listing(path)
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
        return case_readers(*sys.argv[2:5])
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
