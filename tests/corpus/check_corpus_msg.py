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
- the staging store Temp<date-time>.pst, read with python3-pypff, holds a
  folder per mailbox with the same messages.

usage: check_corpus_msg.py MAILVANE_CLI SHARED_DIR [WORK_DIR]
Exits 77 (skipped) when SHARED_DIR/corpus or olefile is absent.
"""
import datetime
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_corpus import output_folder  # noqa: E402
from check_corpus_pst import (NO_DATE, SKIP, Checker, Seen, Tally, expected_mailbox,  # noqa: E402
                              mailbox_name, mailboxes, read_pypff, utf16)

try:
    import olefile
except ImportError:
    olefile = None

ROOT_HEADER, EMBEDDED_HEADER, OTHER_HEADER = 32, 24, 8
FILETIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)


class MsgStorage:
    """One storage of a message file: a message, a recipient or an
    attachment, with its fixed-size properties and its value streams."""

    def __init__(self, ole, path, header):
        self.ole, self.path = ole, path
        self.fixed = {}
        data = self.stream("__properties_version1.0")
        for at in range(header, len(data or b"") - 15, 16):
            tag, _flags, value = struct.unpack_from("<II8s", data, at)
            self.fixed[tag] = value

    def stream(self, name):
        full = self.path + [name]
        return self.ole.openstream(full).read() if self.ole.exists("/".join(full)) else None

    def text(self, tag):
        data = self.stream(f"__substg1.0_{tag:04X}001F")
        return utf16(data) if data is not None else None

    def integer(self, tag, kind=0x0003):
        value = self.fixed.get((tag << 16) | kind)
        return struct.unpack_from("<i", value)[0] if value is not None else None

    def time(self, tag):
        value = self.fixed.get((tag << 16) | 0x0040)
        if value is None:
            return None
        ticks = struct.unpack_from("<Q", value)[0]
        return FILETIME_EPOCH + datetime.timedelta(microseconds=ticks // 10)

    def children(self, prefix):
        names = set()
        for entry in self.ole.listdir(streams=True, storages=True):
            if entry[: len(self.path)] == self.path and len(entry) > len(self.path):
                name = entry[len(self.path)]
                if name.startswith(prefix):
                    names.add(name)
        return sorted(names)


def read_message(ole, path, header):
    """A Seen for the message stored at `path` (a list of storage names)."""
    message = MsgStorage(ole, path, header)
    s = Seen()
    s.subject = message.text(0x0037) or ""
    s.sender = (message.text(0x5D02) or message.text(0x0065) or "").lower()
    s.date = message.time(0x0039) or NO_DATE
    s.body = message.text(0x1000)
    s.html = message.stream("__substg1.0_10130102") is not None
    s.to, s.cc = [], []
    for name in message.children("__recip_version1.0_#"):
        recipient = MsgStorage(ole, path + [name], OTHER_HEADER)
        address = (recipient.text(0x39FE) or recipient.text(0x3003) or "").lower()
        kind = recipient.integer(0x0C15)
        if kind == 1:
            s.to.append(address)
        elif kind == 2:
            s.cc.append(address)
    s.files, s.embedded = [], []
    for name in message.children("__attach_version1.0_#"):
        attachment = MsgStorage(ole, path + [name], OTHER_HEADER)
        if attachment.integer(0x3705) == 5:
            inner = read_message(ole, path + [name, "__substg1.0_3701000D"], EMBEDDED_HEADER)
            s.embedded.append(inner.subject)
            continue
        label = attachment.text(0x3707) or attachment.text(0x3704) or attachment.text(0x3001) or ""
        s.files.append((label, attachment.stream("__substg1.0_37010102") or b""))
    return s


def read_msg(path):
    if not olefile.isOleFile(path):
        s = Seen()
        s.unreadable = "not a compound file"
        return s
    with olefile.OleFileIO(path) as ole:
        return read_message(ole, [], ROOT_HEADER)


def main():
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    cli, shared = sys.argv[1], sys.argv[2]
    corpus = os.path.join(shared, "corpus")
    if not os.path.isdir(corpus):
        print(f"{corpus} is absent: skipped")
        return SKIP
    if olefile is None:
        print("python3-olefile is absent: skipped")
        return SKIP
    base = sys.argv[3] if len(sys.argv) > 3 else ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    work = tempfile.mkdtemp(prefix="mailvane-corpus-msg-", dir=base)
    try:
        return check(cli, corpus, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def check(cli, corpus, work):
    extra = os.path.join(corpus, "extra") + os.sep
    sources = [s for s in mailboxes(corpus) if not s.startswith(extra)]
    run = subprocess.run([cli, "--format", "msg", "--output", work, "--", *sources],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    checker = Checker()
    checker.tallies = {"olefile": Tally(), "pypff": Tally()}
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
        # ones get " (2)"... and are not compared here.
        for name, expected in wanted.items():
            got = (folders or {}).get(name)
            if not expected:
                continue
            if got is None or len(got) != len(expected):
                checker.fail(f"staging store: folder {name!r} holds "
                             f"{None if got is None else len(got)} messages, the mailbox {len(expected)}")
                continue
            checker.tallies["pypff"].compared["folder"] += 1
            for e, s in zip(expected, got):
                checker.message("pypff", e, s, f"staging store folder {name!r} message {e.number}")

    print(f"{len(sources)} mailboxes, {messages} messages, {len(not_mailboxes)} not mailboxes")
    for reader, tally in checker.tallies.items():
        fields = ", ".join(f"{k} {tally.compared[k]}/{tally.skipped[k]}"
                           for k in sorted(set(tally.compared) | set(tally.skipped)))
        print(f"  {reader} (compared/skipped): {fields}")
    for failure in checker.failures[:50]:
        print("FAIL", failure)
    if len(checker.failures) > 50:
        print(f"... and {len(checker.failures) - 50} more failures")
    return 1 if checker.failures else 0


if __name__ == "__main__":
    sys.exit(main())
