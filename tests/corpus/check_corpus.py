#!/usr/bin/python3
"""Converts every real mailbox of the shared corpus with mailvane-cli, to EML
and to EMLX, and checks each written file against a split made here, by the
same rule but independently of the program:

- a separator is a line starting with "From " (at the start of the file or
  after CR LF, LF or a lone CR);
- a preamble of only blank lines is dropped, any other preamble stays at the
  head of message 1;
- a file with no separator is one message when its first non-blank line is a
  header field, else it is no mailbox; a blank or empty file holds none.

usage: check_corpus.py MAILVANE_CLI CORPUS_DIR [WORK_DIR]
Exits 77 (skipped) when CORPUS_DIR is absent.
"""
import codecs
import email
import email.policy
import os
import plistlib
import re
import shutil
import subprocess
import sys
import tempfile
import unicodedata

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from readers import decode_words  # noqa: E402

SKIP = 77
SEPARATOR = re.compile(rb"^From ", re.MULTILINE)
HEADER_FIELD = re.compile(rb"[\x21-\x39\x3b-\x7e]+[ \t]*:")


def normalise(data):
    """Every line break (CR LF, lone CR, lone LF) becomes one LF."""
    return data.replace(b"\r\n", b"\n").replace(b"\r", b"\n")


def is_blank(data):
    return not data.strip(b" \t\r\n")


def split(data):
    """Returns (shape, [(preamble, separator_line, rest)]) in LF form; the
    message text is preamble + separator_line + rest. A UTF-8 byte-order
    mark at the very start belongs to no message."""
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    text = normalise(data)
    starts = [m.start() for m in SEPARATOR.finditer(text)]
    if not starts:
        if is_blank(text):
            return "empty", []
        first = next(line for line in text.split(b"\n") if not is_blank(line))
        if not HEADER_FIELD.match(first):
            return "not-a-mailbox", []
        return "single", [(b"", b"", text)]
    messages = []
    preamble = text[: starts[0]]
    if is_blank(preamble):
        preamble = b""
    ends = starts[1:] + [len(text)]
    for i, (start, end) in enumerate(zip(starts, ends)):
        chunk = text[start:end]
        eol = chunk.find(b"\n")
        cut = len(chunk) if eol < 0 else eol + 1
        messages.append((preamble if i == 0 else b"", chunk[:cut], chunk[cut:]))
    return "mailbox", messages


def mailboxes(root, skip_extra=False):
    extra = os.path.join(root, "extra") + os.sep
    found = []
    for folder, subfolders, files in os.walk(root):
        subfolders.sort()
        for name in sorted(files):
            path = os.path.join(folder, name)
            if name.endswith((".mbox", ".mboxrd")) and not (skip_extra and path.startswith(extra)):
                found.append(path)
    return found


def output_folder(out, source):
    return os.path.join(out, os.path.abspath(source).lstrip("/"))


def comparable(text):
    """Subjects compared with white space runs and control characters made
    one space, invalid bytes dropped, and Unicode composed the same way."""
    text = "".join(" " if ord(c) < 0x20 or c == "\x7f" else c for c in text)
    text = "".join(c for c in text if c != "\ufffd" and not 0xD800 <= ord(c) <= 0xDFFF)
    return unicodedata.normalize("NFC", " ".join(text.split()))


class Loose(str):
    """Source text that Python reads only in part (no encoded word to fix
    its characters, raw 8-bit bytes whose charset is a guess): compared as
    comparable() makes it, where other text must match exactly."""


def exact(text):
    """Text as a store's string may hold it: a control character as a
    space, no white space at the ends."""
    return re.sub(r"[\x00-\x1f\x7f]", " ", text).strip()


def same_text(expected, seen):
    if isinstance(expected, Loose):
        return comparable(expected) == comparable(seen)
    return exact(expected) == exact(seen)


def body_charset(data):
    """The charset the body of a message (its bytes) declares, which raw
    8-bit header text is read in; None when there is none or Python does
    not know it."""
    try:
        body = email.message_from_bytes(data, policy=email.policy.default).get_body(
            preferencelist=("plain", "html"))
        charset = body.get_content_charset() if body is not None else None
        return codecs.lookup(charset).name if charset else None
    except Exception:  # unknown charsets, bad mail
        return None


ENCODED_WORD = re.compile(r"=\?[^?\s]+\?[bq]\?[^?\s]*\?=", re.IGNORECASE)


def well_formed(text):
    """Whether every "=?" in the text starts an encoded word."""
    return "=?" not in ENCODED_WORD.sub(" ", str(text))


def header_text(name, raw, data):
    """A header value as text: encoded words decoded as policy.default
    does, which joins adjacent ones (exact); raw 8-bit bytes in the body's
    charset (`data` is the message), else UTF-8 when valid, else Latin-1
    (Loose); None when Python cannot decode it, or reads UTF-16 words
    without a byte order mark in the wrong byte order."""
    raw = str(raw).encode("utf-8", "surrogateescape")
    if re.search(rb"=\?utf-(16|32)[?*]", raw, re.IGNORECASE):
        return None
    for codec in ("ascii" if raw.isascii() else body_charset(data), "utf-8", "latin-1"):
        try:
            text = raw.decode(codec) if codec else None
        except UnicodeDecodeError:
            text = None
        if text is not None:
            break
    if "=?" in text and raw.isascii() and well_formed(text):
        try:
            value = email.policy.default.header_fetch_parse(name, text)
        except Exception:  # the header parser raises many kinds on bad text
            value = None
        if value is not None and readable(str(value)):
            return windows_c1(str(value))
    decoded = decode_words(text)
    return None if decoded is None else Loose(decoded)


def windows_c1(text):
    """Latin-1 text as mail programs show it: the C1 controls that
    windows-1252 assigns are read as its characters (0x85 as an ellipsis)."""
    def c1(match):
        try:
            return bytes([ord(match.group())]).decode("cp1252")
        except UnicodeDecodeError:
            return match.group()
    return re.sub("[\x80-\x9f]", c1, text)


def readable(text):
    """None for text that Python could not decode (replacement characters,
    undecoded bytes)."""
    if text is None or "\ufffd" in text or any(0xD800 <= ord(c) <= 0xDFFF for c in text):
        return None
    return text


def decoded_subject(message, data=b""):
    if not message.keys():
        return None  # Python found no header at all (a byte order mark, say)
    raw = next((value for name, value in message.raw_items() if name.lower() == "subject"), None)
    if raw is None:
        return ""
    text = header_text("Subject", raw, data)
    return text if text is None or isinstance(text, Loose) else str(text)


class Checker:
    def __init__(self):
        self.failures = []
        self.messages = 0
        self.subjects_compared = 0
        self.subjects_skipped = 0

    def fail(self, text):
        self.failures.append(text)

    def written(self, source, n, path):
        try:
            with open(path, "rb") as f:
                return f.read()
        except OSError as error:
            self.fail(f"{source}: message {n}: {error}")
            return None

    def check_eml(self, source, folder, messages):
        for n, (preamble, separator, rest) in enumerate(messages, 1):
            written = self.written(source, n, os.path.join(folder, f"email-{n}.eml"))
            if written is None:
                continue
            expected = (preamble + separator + rest).replace(b"\n", b"\r\n")
            if written != expected:  # the split's, every line break CR LF
                self.fail(f"{source}: message {n}: EML text differs from the split")

    def check_emlx(self, source, folder, messages):
        for n, (preamble, _separator, rest) in enumerate(messages, 1):
            written = self.written(source, n, os.path.join(folder, f"email-{n}.emlx"))
            if written is None:
                continue
            where = f"{source}: message {n} (EMLX)"
            eol = written.find(b"\n")
            if eol <= 0 or not written[:eol].isdigit():
                self.fail(f"{where}: no length line")
                continue
            length = int(written[:eol])
            body = written[eol + 1 : eol + 1 + length]
            if length != len(preamble) + len(rest) or body != preamble + rest:  # LF only
                self.fail(f"{where}: length line {length} or text differs from the split")
                continue
            try:
                plist = plistlib.loads(written[eol + 1 + length :])
            except Exception as error:  # plistlib raises several kinds
                self.fail(f"{where}: property list does not load: {error}")
                continue
            parsed = email.message_from_bytes(body, policy=email.policy.compat32)
            if not isinstance(plist.get("flags"), int):
                self.fail(f"{where}: property list has no integer flags")
            expected = decoded_subject(parsed, body)
            if expected is None:
                self.subjects_skipped += 1
                continue
            self.subjects_compared += 1
            if not same_text(expected, plist.get("subject", "")):
                self.fail(f"{where}: subject {plist.get('subject')!r}, "
                          f"the header decodes to {expected!r}")

    def check_folder_holds(self, source, folder, count, extension):
        names = set(os.listdir(folder)) if os.path.isdir(folder) else set()
        wanted = {f"email-{n}.{extension}" for n in range(1, count + 1)}
        if names != wanted:
            extra = sorted(names - wanted)[:3]
            missing = sorted(wanted - names, key=lambda s: int(re.sub(r"\D", "", s)))[:3]
            self.fail(f"{source}: {len(names)} .{extension} files for {count} messages "
                      f"(extra {extra}, missing {missing})")


def run_cli(cli, form, out, sources, *options):
    return subprocess.Popen([cli, "--format", form, *options, "--output", out, "--", *sources],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def scratch_main(doc, prefix, check, corpus_of=lambda given: given):
    """The shared start of the corpus checks: MAILVANE_CLI and the folder
    given from the command line, skipped when the corpus is absent, `check`
    run in a scratch folder that is removed afterwards."""
    if len(sys.argv) < 3:
        print(doc)
        return 2
    cli, given = sys.argv[1], sys.argv[2]
    corpus = corpus_of(given)
    if not os.path.isdir(corpus):
        print(f"{corpus} is absent: skipped")
        return SKIP
    base = sys.argv[3] if len(sys.argv) > 3 else ("/dev/shm" if os.path.isdir("/dev/shm") else None)
    work = tempfile.mkdtemp(prefix=prefix, dir=base)
    try:
        return check(cli, corpus, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


def report_failures(failures):
    for failure in failures[:50]:
        print("FAIL", failure)
    if len(failures) > 50:
        print(f"... and {len(failures) - 50} more failures")
    return 1 if failures else 0


def check(cli, corpus, work):
    sources = mailboxes(corpus)
    runs = {form: run_cli(cli, form, os.path.join(work, form), sources) for form in ("eml", "emlx")}
    outputs = {form: run.communicate() + (run.returncode,) for form, run in runs.items()}

    checker = Checker()
    not_mailboxes = []
    for source in sources:
        with open(source, "rb") as f:
            shape, messages = split(f.read())
        if shape == "not-a-mailbox":
            not_mailboxes.append(source)
        checker.messages += len(messages)
        for form in ("eml", "emlx"):
            folder = output_folder(os.path.join(work, form), source)
            checker.check_folder_holds(source, folder, len(messages), form)
        checker.check_eml(source, output_folder(os.path.join(work, "eml"), source), messages)
        checker.check_emlx(source, output_folder(os.path.join(work, "emlx"), source), messages)

    # Files that are no mailbox are reported and make the run fail; all
    # else must have been written.
    for form, (stdout, stderr, code) in outputs.items():
        report = (stdout + stderr).decode("utf-8", "replace")
        if code != (1 if not_mailboxes else 0):
            checker.fail(f"mailvane-cli --format {form} exited {code}:\n{report[-2000:]}")
        for source in not_mailboxes:
            if f"{source}: not a mailbox" not in report:
                checker.fail(f"--format {form}: {source} is not reported as no mailbox")

    print(f"{len(sources)} mailboxes, {checker.messages} messages, "
          f"{checker.subjects_compared} subjects compared "
          f"({checker.subjects_skipped} not decodable by Python), "
          f"{len(not_mailboxes)} not mailboxes")
    return report_failures(checker.failures)


if __name__ == "__main__":
    sys.exit(scratch_main(__doc__, "mailvane-corpus-", check))
