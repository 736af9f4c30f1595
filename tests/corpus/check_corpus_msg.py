#!/usr/bin/python3
"""Converts every real mailbox of the shared corpus (not extra/) to message
files with mailvane-cli and reads them back independently:

- each mailbox's folder holds exactly Email-1.msg ... Email-N.msg, one per
  message of the mailbox, and nothing else;
- each file is read here as a compound file with python3-olefile, property
  by property (subject, sender, To and Cc from the recipient storages,
  client submit time, plain text body, attachments with their names and
  data, embedded messages), and compared with the source as Python's email
  package reads it, by the same rules as the store check;
- the staging store Temp<date-time>.pst, read with python3-pypff, holds an
  empty folder per mailbox.

usage: check_corpus_msg.py MAILVANE_CLI SHARED_DIR [WORK_DIR]
Exits 77 (skipped) when SHARED_DIR/corpus or olefile is absent.
"""
import datetime
import glob
import os
import re
import struct
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..")]
import readers  # noqa: E402
from check_corpus import SKIP, output_folder, report_failures, scratch_main  # noqa: E402
from check_corpus_pst import (NO_DATE, Checker, Seen, Tally, expected_mailbox, html_in,  # noqa: E402
                              mailbox_name, mailboxes, read_pypff)

try:
    import olefile  # noqa: F401  (what readers.read_msg reads with)
except ImportError:
    olefile = None

FILETIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)


def seen_message(m):
    """A Seen for a message file read with readers.read_msg."""
    def text(o, *tags):
        return next((readers.utf16(o.props[t << 16 | 0x1F]) for t in tags if (t << 16 | 0x1F) in o.props), None)

    s = Seen()
    s.subject = text(m, 0x0037) or ""
    s.sender = (text(m, 0x5D02, 0x0065) or "").lower()
    s.sender_name = text(m, 0x0042, 0x0C1A) or ""
    s.message_class = text(m, 0x001A)
    submit = m.props.get(0x00390040)
    s.date = (FILETIME_EPOCH + datetime.timedelta(microseconds=struct.unpack("<Q", submit)[0] // 10)
              if submit else NO_DATE)
    s.body = text(m, 0x1000)
    s.html_text = html_in(m.props.get(0x10130102), m.long(0x3FDE0003))
    s.to, s.cc = [], []
    for r in m.recipients:
        address = (text(r, 0x39FE, 0x3003) or "").lower()
        {1: s.to, 2: s.cc}.get(r.long(0x0C150003), []).append(address)
    s.files, s.embedded = [], []
    for a in m.attachments:
        if a.long(0x37050003) == 5 and a.embedded is not None:
            s.embedded.append(seen_message(a.embedded).subject)
        else:
            s.files.append((text(a, 0x3707, 0x3704, 0x3001) or "", a.props.get(0x37010102, b"")))
    return s


def read_msg(path):
    try:
        return seen_message(readers.read_msg(path))
    except (readers.Fault, OSError) as error:  # olefile raises OSError for no compound file
        s = Seen()
        s.unreadable = f"unreadable: {error}"
        return s


def main():
    if olefile is None:
        print("python3-olefile is absent: skipped")
        return SKIP
    return scratch_main(__doc__, "mailvane-corpus-msg-", check,
                        lambda shared: os.path.join(shared, "corpus"))


def check(cli, corpus, work):
    sources = mailboxes(corpus, skip_extra=True)
    run = subprocess.run([cli, "--format", "msg", "--output", work, "--", *sources],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    checker = Checker()
    checker.tallies = {"olefile": Tally()}
    wanted, not_mailboxes, messages = {}, [], 0
    for source in sources:
        shape, expected = expected_mailbox(source)
        if shape == "not-a-mailbox":
            not_mailboxes.append(source)
        messages += len(expected)
        wanted[mailbox_name(source)] = expected
        folder = output_folder(work, source)
        names = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        numbers = sorted(int(m.group(1)) for m in map(re.compile(r"Email-(\d+)\.msg").fullmatch, names) if m)
        if len(numbers) != len(names) or numbers != list(range(1, len(expected) + 1)):
            checker.fail(f"{source}: the folder holds {names[:6]}... ({len(names)} files) "
                         f"for {len(expected)} messages")
            continue
        checker.tallies["olefile"].compared["folder"] += 1
        for e in expected:
            seen = read_msg(os.path.join(folder, f"Email-{e.number}.msg"))
            checker.message("olefile", e, seen, f"{source} Email-{e.number}.msg")

    if run.returncode != (1 if not_mailboxes else 0):
        checker.fail(f"mailvane-cli --format msg exited {run.returncode}:\n"
                     f"{(run.stdout + run.stderr).decode('utf-8', 'replace')[-2000:]}")
    stores = glob.glob(os.path.join(work, "Temp*.pst"))
    if len(stores) != 1:
        checker.fail(f"{len(stores)} staging stores in the destination, not one")
    else:
        _display, folders = read_pypff(stores[0])
        # The mailboxes share a folder name when their files do: the later
        # ones get " (2)"... and are not compared here. The messages go
        # only into their files.
        for name in wanted:
            got = (folders or {}).get(name)
            if got is None or got:
                checker.fail(f"staging store: folder {name!r} "
                             f"{'is missing' if got is None else f'holds {len(got)} messages'}")

    print(f"{len(sources)} mailboxes, {messages} messages, {len(not_mailboxes)} not mailboxes")
    checker.print_tallies()
    return report_failures(checker.failures)


if __name__ == "__main__":
    sys.exit(main())
