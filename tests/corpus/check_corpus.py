#!/usr/bin/python3
"""The real mailboxes of the shared corpus converted with mailvane-cli.

Every one to EML and to EMLX: each written file is checked against a split
made here, by the same rule but independently of the program:

- a separator is a line starting with "From " (at the start of the file or
  after CR LF, LF or a lone CR);
- a preamble of only blank lines is dropped, any other preamble stays at the
  head of message 1;
- a file with no separator is one message when its first non-blank line is a
  header field, else it is no mailbox; a blank or empty file holds none.

With --pst, every one but those of extra/ to PST, in both layouts (one
store for all mailboxes, and one store per mailbox), the stores read back
with independent readers: pypff,
readpst (each message as MIME, read here with Python's email package) and
pffexport (which must export without error) for what each can show of
the fields below; mspst-check (no error but the library's own known
limits, and every message found) and pstlint.py (no ERROR finding).

What each reader shows is compared with the source, cut by the same rule
and parsed here with Python's email package: every message
in its mailbox's folder (count and order), its subject and From display
name (exactly where they are encoded words; raw 8-bit text in the body's
charset), sender address, To and Cc addresses, client submit time (Date:,
else the first Received:, else the separator line: every message has one),
plain text body (line ends and trailing spaces aside; HTML-only mail must
have one), HTML in its declared or <meta> charset, message class (PGP/MIME
is a plain note, delivery reports are reports), and attachments (names and
bytes, unnamed parts and unpadded base64 too, no empty unnamed parts the
source lacks). A field that Python cannot read from the source (an
undecodable subject, an unparsable Date, a text part in an unknown
charset, base64 that does not decode) is counted as skipped, not failed.
A reader that is not installed is skipped.

The layouts: one store MBOX<date-time>.pst with a folder per mailbox named
after its file without a final ".mbox" (the first mailbox is listed twice:
its second folder gets " (2)"); or <name>.pst per mailbox, with that one
folder. Nothing but the stores is left under the destination. (The run's
unit tests check the stores' display names and the summary.)

With --msg, the same mailboxes to message files (see check_msg).

usage: check_corpus.py MAILVANE_CLI CORPUS_DIR [WORK_DIR]
       check_corpus.py --pst|--msg MAILVANE_CLI SHARED_DIR [WORK_DIR]
Exits 77 (skipped) when the corpus (or for --msg, olefile) is absent. Needs
/usr/bin/python3 (the system Python that has pypff).
"""
import base64
import codecs
import collections
import concurrent.futures
import datetime
import email
import email.errors
import email.message
import email.policy
import email.utils
import glob
import hashlib
import importlib.util
import os
import plistlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import types
import unicodedata

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
import readers  # noqa: E402
from readers import SKIP, TOP, decode_words  # noqa: E402

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


def check_emlx(fail, tally, where, text, written):
    """An EMLX file: a length line, the split's text with LF line ends, a
    property list with integer flags and the subject as the header
    decodes it."""
    eol = written.find(b"\n")
    if eol <= 0 or not written[:eol].isdigit():
        return fail(f"{where}: no length line")
    length = int(written[:eol])
    if length != len(text) or written[eol + 1 : eol + 1 + length] != text:
        return fail(f"{where}: length line {length} or text differs from the split")
    try:
        plist = plistlib.loads(written[eol + 1 + length :])
    except Exception as error:  # plistlib raises several kinds
        return fail(f"{where}: property list does not load: {error}")
    if not isinstance(plist.get("flags"), int):
        fail(f"{where}: property list has no integer flags")
    expected = decoded_subject(email.message_from_bytes(text, policy=email.policy.compat32), text)
    tally["subjects compared" if expected is not None else "not decodable by Python"] += 1
    if expected is not None and not same_text(expected, plist.get("subject", "")):
        fail(f"{where}: subject {plist.get('subject')!r}, the header decodes to {expected!r}")


def folder_holds(fail, source, folder, count, name):
    """Whether `folder` holds exactly the files name.format(1 ... count);
    what differs goes to `fail`."""
    names = set(os.listdir(folder)) if os.path.isdir(folder) else set()
    wanted = {name.format(n) for n in range(1, count + 1)}
    missing = sorted(wanted - names, key=lambda s: int(re.sub(r"\D", "", s)))[:3]
    if names != wanted:
        fail(f"{source}: {len(names)} files for {count} messages (extra {sorted(names - wanted)[:3]}, missing {missing})")
    return names == wanted


def run_cli(cli, form, out, sources, *options):
    return subprocess.Popen([cli, "--format", form, *options, "--output", out, "--", *sources],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def check_eml_emlx(cli, corpus, work):
    sources = mailboxes(corpus)
    runs = {form: run_cli(cli, form, os.path.join(work, form), sources) for form in ("eml", "emlx")}
    outputs = {form: (b"".join(run.communicate()).decode("utf-8", "replace"), run.returncode)
               for form, run in runs.items()}
    failures, not_mailboxes, tally = [], [], collections.Counter()
    for source in sources:
        with open(source, "rb") as f:
            shape, messages = split(f.read())
        not_mailboxes += [source] * (shape == "not-a-mailbox")
        tally["messages"] += len(messages)
        for form in ("eml", "emlx"):
            folder = output_folder(os.path.join(work, form), source)
            folder_holds(failures.append, source, folder, len(messages), "email-{}." + form)
            for n, (preamble, separator, rest) in enumerate(messages, 1):
                where = f"{source}: message {n}" + " (EMLX)" * (form == "emlx")
                try:
                    with open(os.path.join(folder, f"email-{n}.{form}"), "rb") as f:
                        written = f.read()
                except OSError as error:
                    failures.append(f"{where}: {error}")
                    continue
                if form == "emlx":
                    check_emlx(failures.append, tally, where, preamble + rest, written)
                elif written != crlf(preamble + separator + rest):  # the split's, every line break CR LF
                    failures.append(f"{where}: EML text differs from the split")

    # Files that are no mailbox are reported and make the run fail; all
    # else must have been written.
    for form, (report, code) in outputs.items():
        if code != (1 if not_mailboxes else 0):
            failures.append(f"mailvane-cli --format {form} exited {code}:\n{report[-2000:]}")
        failures += [f"--format {form}: {source} is not reported as no mailbox"
                     for source in not_mailboxes if f"{source}: not a mailbox" not in report]
    return readers.report(failures, f"{len(sources)} mailboxes, {len(not_mailboxes)} not mailboxes, " +
                          ", ".join(f"{n} {what}" for what, n in tally.items()))


# ---------------------------------------------------------------------------
# The stores and message files (--pst, --msg)

FIELDS = ("folder", "subject", "sender", "sender name", "to", "cc", "date", "body", "html", "class",
          "attachments")
# readpst writes no file for an empty attachment and no folder for an empty
# folder.
DROPS_EMPTY = {"readpst"}
# A date the store lacks, where the source has one; any date, where Python
# cannot tell which one the source gives.
NO_DATE = "(no date)"
ANY_DATE = "(any date)"
# A text body of any text: what HTML-only mail must have.
ANY_TEXT = "(any text)"
# Seconds any one reader or the conversion may take before it counts as hung.
READER_TIMEOUT = 120
CLI_TIMEOUT = 150
# Parts that hold a whole message: embedded messages in a store.
EMBEDDED_TYPES = ("message/rfc822", "message/news", "message/global")


# ---------------------------------------------------------------------------
# The source, parsed with Python's email package


def crlf(data):
    return data.replace(b"\n", b"\r\n")


def addresses(values):
    """The addresses of header values, lower case, without the empty ones
    that groups and stray commas give; None when one of them is no
    Internet address (no "@": "test at example.com", fuzzed bytes), which a
    store cannot hold as one either, or when Python reads none from a value
    that is not blank (two addresses without a comma between them)."""
    values = [str(v) for v in values]
    found = []
    try:
        pairs = email.utils.getaddresses(values)
    except RecursionError:  # Python's parser recurses once per address
        return None
    for _name, address in pairs:
        address = address.strip().lower()
        if not address:
            continue
        if "@" not in address or not address.isprintable() or not address.isascii():
            return None
        found.append(address)
    if not found and any(v.strip() and not re.fullmatch(r"[^:]*:\s*;?\s*", v.strip()) for v in values):
        return None  # text Python reads no address from (an empty group is fine)
    return found


def single(message, name):
    """The one value of a field that a message should have once; None when
    it is absent or repeated (readers differ on which one counts)."""
    values = message.get_all(name, [])
    return values[0] if len(values) == 1 else None


def parsed_date(value):
    """Date: as an aware UTC datetime; None when Python cannot read it."""
    if value is None:
        return None
    try:
        when = email.utils.parsedate_to_datetime(str(value))
    except (TypeError, ValueError, IndexError, OverflowError):
        return None
    if when is None:
        return None
    if when.tzinfo is None:
        # "-0000" says the time is UTC; Python reads a zone it does not know
        # ("EET", or "-0400" after a comment) as UTC too, the program not.
        if not re.search(r"-0000|\b(UT|UTC|GMT)\s*$", str(value), re.IGNORECASE):
            return None
        when = when.replace(tzinfo=datetime.timezone.utc)
    try:
        return when.astimezone(datetime.timezone.utc)
    except (OverflowError, ValueError):
        return None


def content_type(part):
    try:
        return part.get_content_type()
    except Exception:  # the email package raises many kinds on bad mail
        return "text/plain"


# One attachment: its name (None when any will do), its data and whether
# its line ends may differ (text transfer encodings).
Attachment = collections.namedtuple("Attachment", "name data textual")


def same_data(attachment, other):
    return attachment.data == other or attachment.textual and \
        attachment.data.replace(b"\r\n", b"\n") == other.replace(b"\r\n", b"\n")


META_CHARSET = re.compile(rb"""<meta[^>]*charset\s*=\s*["']?\s*([-\w.:]+)""", re.IGNORECASE)


# Charsets that mail readers, and the program's code pages, read as the
# larger Windows sets.
SUPERSETS = {"gb2312": "gbk", "shift_jis": "cp932", "big5": "cp950"}


def part_text(part, strict, html=False):
    """A text part in its charset (for HTML, else the one its <meta> names);
    Loose where a byte is bad in that charset. None when Python does not
    know the charset, or (strict) has none to read 8-bit bytes in; not
    strict, such bytes are read as UTF-8."""
    data = part.get_payload(decode=True) or b""
    charset = part.get_param("charset")
    found = META_CHARSET.search(data) if html and not charset else None
    charset = found.group(1).decode("ascii") if found else charset
    try:
        codec = codecs.lookup(str(charset or "ascii")).name
    except LookupError:
        codec = None
    codec = SUPERSETS.get(codec, codec)
    if codec is None or (codec == "ascii" and not data.isascii() and strict):
        return None
    codec = "utf-8" if codec == "ascii" else codec
    text = data.decode(codec, "replace")
    if "\ufffd" in text and codec == "utf-7":
        # After a bad byte, UTF-7 decoders differ on where the shift ends:
        # only the text before it is the same everywhere.
        return None
    return Loose(text) if "\ufffd" in text else text


def valid_base64(part):
    """Whether a base64 part's text decodes, with its final padding or
    without."""
    text = re.sub(rb"\s", b"", part.get_payload(decode=False).encode("ascii", "replace"))
    text += b"=" * (-len(text) % 4) if b"=" not in text else b""
    try:
        base64.b64decode(text, validate=True)
        return True
    except ValueError:
        return False


class Content:
    """The body and the attachments of a message as Python's email package
    reads them:

    - body: the text of the plain text part a mail reader shows, None when
      there is none or Python cannot decode it; for HTML-only mail, ANY_TEXT;
    - html_text: the text of the HTML body, None when there is none or
      Python cannot decode it;
    - attachments: the parts other than the body, with their decoded data,
      but empty parts with no name and base64 that does not decode (strict;
      else named parts and parts marked as attachments); None when Python
      cannot read them;
    - embedded: the subjects of message/rfc822 parts (not looked into);
    - most: the most attachments a store may show for the message: its
      leaf parts, or, where Python found the MIME structure broken (and
      other parsers may cut it otherwise), every part a boundary line could
      start.

    Text that Python could not decode counts as absent in the source
    (strict), and as it reads in what a reader exported."""

    def __init__(self, data, strict=True):
        self.strict = strict
        self.body = self.html_text = None
        self.attachments = self.embedded = None
        self.undecided = 0  # parts whose data Python cannot tell
        self.most = data.count(b"\n--") + 1
        try:
            message = email.message_from_bytes(data, policy=email.policy.default)
            bodies = [message.get_body(preferencelist=(kind,)) for kind in ("plain", "html")]
            if bodies[0] is not None:
                self.body = part_text(bodies[0], strict)
            elif bodies[1] is not None and strict:
                self.body = ANY_TEXT
            if bodies[1] is not None:
                self.html_text = part_text(bodies[1], strict, html=True)
        except Exception:  # the email package raises many kinds on bad mail
            return
        try:
            self.walk(message, bodies)
        except Exception:
            self.attachments = self.embedded = None

    def walk(self, message, bodies):
        attachments, embedded, unnamed = [], [], []
        leaves, broken = 0, False
        # PGP/MIME mail's own signature is attached under this name; any
        # other part's name is the program's choice where the source has none.
        signed = content_type(message) == "multipart/signed" and message.is_multipart()
        signature = message.get_payload()[-1] if signed else None
        stack = [message]
        while stack:
            part = stack.pop(0)
            broken = broken or bool(part.defects)
            ctype = content_type(part)
            if ctype.startswith("message/") and ctype not in EMBEDDED_TYPES:
                leaves += 1  # one attachment of header blocks Python splits into parts
                self.undecided += 1
                continue
            if ctype in EMBEDDED_TYPES and part.is_multipart():
                inner = part.get_payload()
                inner = inner[0] if isinstance(inner, list) and inner else None
                embedded.append(decoded_subject(inner) if inner is not None else None)
                continue
            if part.is_multipart():
                stack[:0] = [p for p in part.get_payload() if isinstance(p, email.message.Message)]
                continue
            leaves += 1
            if any(part is body for body in bodies):
                continue
            name = "signature.asc" if part is signature and part.get_filename() is None else part.get_filename()
            data = part.get_payload(decode=True) or b""
            cte = str(part.get("Content-Transfer-Encoding", "")).strip().lower()
            if self.strict and cte == "base64" and not valid_base64(part):
                self.undecided += 1
                continue
            disposition = str(part.get("Content-Disposition", "")).split(";")[0].strip().lower()
            if name is None and disposition != "attachment":
                # Unnamed parts are attachments but where the message is a
                # single part, and empty ones are none.
                if self.strict and data and part is not message:
                    unnamed.append(Attachment(None, data, cte != "base64"))
                continue
            if name is not None:
                name = decode_words(name)
                name = readable(name) if self.strict else name
            attachments.append(Attachment(name, data, cte != "base64"))
        # Where Python found the structure broken, other parsers may cut
        # the unnamed parts otherwise.
        self.attachments, self.embedded = attachments + ([] if broken else unnamed), embedded
        if not broken:
            self.most = leaves + len(embedded)


class Expected:
    """What the store must hold for one message of a mailbox."""

    def __init__(self, number, preamble, separator, rest):
        self.number = number
        data = crlf(rest)  # what the import reads: the message without its separator
        message = email.message_from_bytes(data, policy=email.policy.compat32)
        headers = bool(message.keys())
        # Where Python ended the header block at a line that is no header
        # field, other parsers may read fields below it: a field Python did
        # not see is then unknown rather than absent.
        cut = any(isinstance(d, email.errors.MissingHeaderBodySeparatorDefect) for d in message.defects)

        def count(name):
            n = len(message.get_all(name, []))
            return 2 if n == 0 and cut else n

        self.subject = decoded_subject(message, data) if count("Subject") < 2 else None
        self.sender = self.sender_name = self.to = self.cc = None
        self.date = ANY_DATE
        if headers:
            sender = single(message, "From")
            senders = addresses([sender]) if sender is not None else None
            self.sender = senders[0] if senders else None
            if sender is not None and len(senders or ()) <= 1:
                self.sender_name = display_name(sender, data)
            if count("To") < 2:
                self.to = addresses(message.get_all("To", []))
            if count("Cc") < 2:
                self.cc = addresses(message.get_all("Cc", []))
            if count("Date") == 0:
                # The delivery time stands in: the last Received: hop, else
                # the separator line.
                received = message.get("Received")
                self.date = (parsed_date(str(received).rpartition(";")[2]) if received else None) \
                    or separator_date(separator) or ANY_DATE
            elif count("Date") == 1:
                self.date = parsed_date(message.get("Date")) or ANY_DATE
        content = Content(data)
        self.body, self.html = content.body, content.html_text
        top = content_type(message)
        self.message_class = message_class(message, top, data)
        if self.message_class.startswith("IPM.Note.SMIME"):
            # S/MIME mail is kept whole as one attachment: its parts are not
            # attachments of the item.
            self.attachments = self.embedded = None
            self.most_attachments = 1
        else:
            self.attachments, self.embedded = content.attachments, content.embedded
            self.most_attachments = content.most
        self.undecided = content.undecided
        if preamble:
            # Text before the first separator comes with message 1 as a text
            # attachment; its name is the program's choice.
            self.most_attachments += 1
            if self.attachments is not None:
                self.attachments.insert(0, Attachment(None, crlf(preamble), True))


def display_name(sender, data):
    """The display name of a From: value, its encoded words decoded as in
    an unstructured field (the address parser keeps the space between two
    adjacent ones): exact, or Loose where it is plain or raw 8-bit text;
    None where there is none (the program's choice then) or Python cannot
    decode it (an encoded word left as it is). A From: of encoded words
    alone is all name."""
    sender = str(sender)
    if not well_formed(sender):
        return None
    if ENCODED_WORD.sub("", sender).strip():
        if not re.search(r"[@<]", sender):
            return None
        sender = email.utils.parseaddr(sender)[0]
    name = header_text("Subject", sender, data) if sender.strip() else None
    return name if name and name.strip() and readable(name) and "=?" not in name else None


def separator_date(line):
    found = re.search(rb"\w{3} +(\w{3}) +(\d+) +(\d+):(\d+):(\d+) +(\d{4})", line)
    try:
        return datetime.datetime.strptime(b" ".join(found.groups()).decode(), "%b %d %H %M %S %Y").replace(
            tzinfo=datetime.timezone.utc)
    except (AttributeError, ValueError):
        return None


def message_class(message, top, data):
    """PGP/MIME signed mail is a plain note with its signature attached;
    S/MIME is kept whole under its class; a delivery status report is a
    non-delivery report when a recipient failed."""
    if top == "multipart/signed":
        protocol = email.utils.collapse_rfc2231_value(message.get_param("protocol", "")).lower()
        return "IPM.Note" if protocol == "application/pgp-signature" else "IPM.Note.SMIME.MultipartSigned"
    if top in ("application/pkcs7-mime", "application/x-pkcs7-mime"):
        return "IPM.Note.SMIME"
    if top == "multipart/report" and message.is_multipart():
        # The gravest action the report's delivery-status parts name.
        actions = ("delivered", "expanded", "relayed", "delayed", "failed")
        suffixes = ("DR", "Expanded.DR", "Relayed.DR", "Delayed.DR", "NDR")
        gravest = -1
        for part in message.get_payload():
            if part.get_content_type() != "message/delivery-status":
                continue
            status = part.as_bytes() if not part.is_multipart() else b"\n".join(
                p.as_bytes() for p in part.get_payload())
            for action in re.findall(rb"(?im)^Action:[ \t]*([a-z]+)", status):
                if action.decode().lower() in actions:
                    gravest = max(gravest, actions.index(action.decode().lower()))
        if gravest >= 0:
            return "REPORT.IPM.Note." + suffixes[gravest]
    return "IPM.Note"


def expected_mailbox(path):
    with open(path, "rb") as f:
        shape, messages = split(f.read())
    return shape, [Expected(n, *m) for n, m in enumerate(messages, 1)]


def mailbox_name(path):
    name = os.path.basename(path)
    if name.lower().endswith(".mbox") and len(name) > 5:
        name = name[:-5]
    return name


# ---------------------------------------------------------------------------
# What a reader shows


class Seen(types.SimpleNamespace):
    """One message as a reader shows it; None for what the reader cannot
    show. unreadable: what the reader failed to read; files: [(name,
    data)]; embedded: [subject or None]."""

    def __init__(self, **shown):
        super().__init__(**dict(dict.fromkeys((
            "subject", "sender", "sender_name", "to", "cc", "date", "body", "html", "message_class",
            "unreadable", "files", "embedded")), **shown))


def utf8(data):
    if data is None:
        return None
    if isinstance(data, str):
        return data.rstrip("\0")
    return data.decode("utf-8", "replace").rstrip("\0")


# Code pages whose Python codec is not "cp" and the number.
CODECS = {65001: "utf-8", 65000: "utf-7", 20127: "ascii", 20866: "koi8-r", 21866: "koi8-u",
          50220: "iso-2022-jp", 50225: "iso-2022-kr", 51932: "euc-jp", 51949: "euc-kr", 52936: "hz",
          54936: "gb18030", 1200: "utf-16-le"}


def html_in(data, code_page):
    """Stored HTML bytes as text, read in the message's code page."""
    if data is None:
        return None
    code_page = code_page or 65001
    codec = CODECS.get(code_page) or (f"iso-8859-{code_page - 28590}" if 28591 <= code_page <= 28605
                                      else f"cp{code_page}")
    try:
        return data.decode(codec, "replace")
    except LookupError:
        return data.decode("utf-8", "replace")


def read_pypff(store):
    """A store read with pypff, as read_stores takes it."""
    pst = readers.pypff_open(store)
    try:
        folders = readers.pypff_folders(pst)
        return folders and {name: [pypff_seen(m) for m in folder.sub_messages] for name, folder in folders.items()}, \
            [f"no {TOP!r}"] * (folders is None), None
    finally:
        pst.close()


def first_text(values, *pids, empty=False):
    """The first of the string properties that is there (not empty)."""
    return next((t for t in (readers.prop_text(values, p) for p in pids) if t or empty and t is not None), None)


def pypff_seen(message):
    values = readers.pypff_values(message)
    when = message.client_submit_time
    # Sent-representing is the From: field; the sender may be Sender:.
    s = Seen(subject=utf8(message.subject) or "", sender=(first_text(values, 0x5D02, 0x0065) or "").lower(),
             sender_name=first_text(values, 0x0042, 0x0C1A) or "", message_class=first_text(values, 0x001A),
             date=when.replace(tzinfo=datetime.timezone.utc) if when else NO_DATE,
             body=utf8(message.plain_text_body), files=[], embedded=[])
    try:
        s.html = html_in(message.html_body, readers.prop_long(values, 0x3FDE))
    except (IOError, OSError) as error:
        s.unreadable = f"HTML body unreadable: {error}"
    for attachment in message.attachments:
        a = readers.pypff_values(attachment)
        if readers.prop_long(a, 0x3705) == 5:
            s.embedded.append(None)  # pypff does not open embedded messages
        else:
            s.files.append((first_text(a, 0x3707, 0x3001) or "", readers.pypff_data(attachment)))
    return s


def mime_seen(data):
    """A message exported as MIME, read with Python's email package."""
    message = email.message_from_bytes(data, policy=email.policy.compat32)
    senders, content = addresses(message.get_all("From", [])), Content(data, strict=False)
    return Seen(subject=decoded_subject(message), sender=None if senders is None else senders[0] if senders else "",
                sender_name=display_name(message.get("From", ""), data) or "",
                to=addresses(message.get_all("To", [])), cc=addresses(message.get_all("Cc", [])),
                date=parsed_date(message.get("Date")) if message.get("Date") is not None else NO_DATE,
                body=content.body, html=content.html_text,
                files=None if content.attachments is None else [(a.name or "", a.data) for a in content.attachments],
                embedded=None if content.attachments is None else content.embedded)


def read_readpst(store, out):
    """readpst's export of a store, as read_stores takes it."""
    error, folders = readers.readpst(store, out, timeout=READER_TIMEOUT)
    return folders and {name: list(map(mime_seen, messages)) for name, messages in folders.items()}, [error] * bool(error), None


def pffexport_time(text):
    match = re.match(r"(\w{3} \d{2}, \d{4} \d{2}:\d{2}:\d{2})", text or "")
    return match and datetime.datetime.strptime(match.group(1), "%b %d, %Y %H:%M:%S").replace(
        tzinfo=datetime.timezone.utc)


def pffexport_seen(e):
    kinds = [(r.get("Recipient type", "").upper(), r.get("Email address", "").lower()) for r in e.recipients]
    to, cc = ([a for kind, a in kinds if a and kind == wanted] for wanted in ("TO", "CC"))
    return Seen(subject=e.headers.get("Subject", ""), sender=e.headers.get("Sent representing email address", "").lower(),
                sender_name=e.headers.get("Sent representing name", ""), to=to, cc=cc,
                date=pffexport_time(e.headers.get("Client submit time")) or NO_DATE,
                body=utf8(e.body), files=e.files, embedded=[h.get("Subject", "") for h in e.embedded])


def read_pffexport(store, out):
    """pffexport's export of a store, as read_stores takes it."""
    error, folders = readers.pffexport(store, out, timeout=READER_TIMEOUT)
    return folders and {name: list(map(pffexport_seen, messages)) for name, messages in folders.items()}, [error] * bool(error), None


# The library's own limits, shown on Outlook's files too (its README): the
# root folder's empty name, and empty values stored as HID 0.
MSPST_TOLERATED = (
    re.compile(r"^ERROR \[folder +nid=0x122\] Invalid PidTagDisplayName on folder: Null$"),
    re.compile(r"Invalid HID hidIndex: 0x0000$"),
    # An attachment whose data is empty: the library takes the empty
    # value for a missing object. The other readers check every
    # attachment's data and every embedded message.
    re.compile(r"open attachment: Invalid PidTagAttachDataObject on afEmbeddedMessage attachment: Null$"),
)


def run_mspst(judges, store):
    """mspst-check's findings on a store, as read_stores takes them."""
    lines = judges.run_mspst(store)
    failures = [line for line in lines if line.startswith(("ERROR", "DISCREPANCY"))
                and not any(p.search(line) for p in MSPST_TOLERATED)]
    found = re.search(r" messages=(\d+)", next(line for line in lines if line.startswith("SUMMARY")))
    return None, failures, int(found.group(1)) if found else None


# ---------------------------------------------------------------------------
# Comparison


def text_key(text):
    """Text compared as comparable() does, without NULs, which a store's
    strings cannot hold (the program writes them as U+FFFD, which
    comparable() drops)."""
    return comparable(text.replace("\0", ""))


def name_key(name):
    """A file name as it can stand in a store: characters no file name may
    hold read as "_", Unicode spaces as spaces, no dots or spaces at the
    ends."""
    name = re.sub(r'[\x00-\x1f\x7f<>:"/\\|?*]', "_", name)
    name = re.sub(r"[\u00a0\u2000-\u200a\u2028\u2029\u202f]", " ", name)
    return comparable(name.strip(". "))


def same_name(reader, source, stored):
    if reader == "pffexport":
        # pffexport writes ASCII punctuation in file names as "_".
        def key(name):
            return re.sub(r"[!-,/:-@\[-^`{-~]", "_", name_key(name))
        return key(source) == key(stored)
    return name_key(source) == name_key(stored)


def body_key(text, loose=False):
    """A body with its line ends as LF, no white space at the ends of its
    lines or after its last line, NULs as U+FFFD, and where Python met a bad
    byte (`loose`, or a Loose text), no replacement characters and no
    characters past the Basic Multilingual Plane, which libpff's readers
    misread in text that bad bytes made a jumble."""
    loose = loose or isinstance(text, Loose)
    text = str(text).replace("\0", "\ufffd")  # as a store's strings hold it
    if loose:
        text = re.sub("[\ufffd\U00010000-\U0010ffff]", "", text)
    lines = text.replace("\r\n", "\n").replace("\r", "\n").split("\n")
    return "\n".join(line.rstrip(" \t") for line in lines).rstrip("\n")


def same_sorted(expected, seen):
    return sorted(expected) == sorted(seen)


# Each field of a message: (name, the Expected and Seen attribute, how the
# two compare). A reader's None: it cannot show the field.
FIELD_CHECKS = (
    ("subject", "subject", lambda e, s: same_text(e, s.replace("\0", ""))),
    ("sender", "sender", None),
    ("sender name", "sender_name", same_text),
    ("to", "to", same_sorted),
    ("cc", "cc", same_sorted),
    ("date", "date", lambda e, s: s != NO_DATE if e is ANY_DATE else e == s),
    ("body", "body", lambda e, s: bool(s.strip()) if e is ANY_TEXT
     else body_key(e, isinstance(s, Loose)) == body_key(s, isinstance(e, Loose))),
    ("html", "html", lambda e, s: body_key(Loose(e)) == body_key(Loose(s))),
    ("class", "message_class", None),
)


def tally():
    """What a reader compared and skipped, by field; why it did not run."""
    return types.SimpleNamespace(compared=collections.Counter(), skipped=collections.Counter(), unavailable=None)


class Checker:
    def __init__(self, names=("pypff", "readpst", "pffexport", "mspst-check", "pstlint.py")):
        self.failures = []
        self.fail = self.failures.append
        self.tallies = {name: tally() for name in names}

    def print_tallies(self):
        for reader, tally in self.tallies.items():
            compared = ", ".join(f"{f} {tally.compared[f]}/{tally.skipped[f]}"
                                 for f in FIELDS + ("store",) if tally.compared[f] or tally.skipped[f])
            print(f"  {reader}: skipped ({tally.unavailable})" if tally.unavailable else
                  f"  {reader}: {sum(tally.compared.values())} fields compared, "
                  f"{sum(tally.skipped.values())} skipped (compared/skipped: {compared})")

    def field(self, reader, name, expected, seen, where, same=None):
        """Compares one field. None from the reader: it cannot show the
        field (not counted); None from the source: Python cannot read it
        there (skipped)."""
        tally = self.tallies[reader]
        if seen is None:
            return
        if expected is None:
            tally.skipped[name] += 1
            return
        tally.compared[name] += 1
        if not (same(expected, seen) if same else expected == seen):
            self.fail(f"{where}: {reader}: {name} {shorten(seen)}, the source has {shorten(expected)}")

    def message(self, reader, expected, seen, where):
        if seen.unreadable:
            self.fail(f"{where}: {reader}: {seen.unreadable}")
        seen.body = seen.body or ""  # every message with a body has a text body
        for name, attribute, same in FIELD_CHECKS:
            self.field(reader, name, getattr(expected, attribute), getattr(seen, attribute), where, same)
        self.attachments(reader, expected, seen, where)

    def attachments(self, reader, expected, seen, where):
        tally = self.tallies[reader]
        if seen.files is None:
            return
        if expected.attachments is None:
            tally.skipped["attachments"] += 1
            return
        tally.compared["attachments"] += 1
        unused = list(seen.files)
        for attachment in expected.attachments:
            if not attachment.data and reader in DROPS_EMPTY:
                continue
            match = next((f for f in unused if same_data(attachment, f[1])), None)
            label = repr(attachment.name) if attachment.name is not None else "(no name)"
            if match is None:
                names = [f"{n!r} {len(d)} bytes" for n, d in unused]
                self.fail(f"{where}: {reader}: attachment {label} ({len(attachment.data)} bytes, "
                          f"sha256 {hashlib.sha256(attachment.data).hexdigest()[:12]}) not found among {names[:6]}")
                continue
            unused.remove(match)
            if attachment.name is not None and not same_name(reader, attachment.name, match[0]):
                self.fail(f"{where}: {reader}: attachment {label} is named {match[0]!r}")
        empty = sum(not data for _name, data in seen.files) - sum(not a.data for a in expected.attachments) \
            - expected.undecided
        if empty > 0:
            self.fail(f"{where}: {reader}: {empty} empty attachments the source lacks")
        total = len(seen.files) + len(seen.embedded or [])
        if total > expected.most_attachments:
            self.fail(f"{where}: {reader}: {total} attachments, the source has at most "
                      f"{expected.most_attachments} parts to attach")
        if expected.embedded is not None and seen.embedded is not None:
            if len(seen.embedded) != len(expected.embedded):
                self.fail(f"{where}: {reader}: {len(seen.embedded)} embedded messages, "
                          f"the source has {len(expected.embedded)}")
            elif None not in expected.embedded and None not in seen.embedded:
                # pypff shows no embedded subjects; Python may not decode one.
                if sorted(map(text_key, seen.embedded)) != sorted(map(text_key, expected.embedded)):
                    self.fail(f"{where}: {reader}: embedded subjects {sorted(seen.embedded)}, "
                              f"the source has {sorted(expected.embedded)}")

    def folders(self, reader, layout, store, seen, wanted):
        """`seen`: {folder: [Seen]} from the reader; `wanted`: {folder:
        [Expected]}, where None means the folder may be absent or empty."""
        tally = self.tallies[reader]
        for name, expected in wanted.items():
            where = f"{layout} {os.path.basename(store)} folder {name!r}"
            got = seen.get(name)
            if got is None and not expected and reader in DROPS_EMPTY:
                got = []
            if expected is None:
                if got:
                    self.fail(f"{where}: {reader}: {len(got)} messages from a file that is no mailbox")
                continue
            tally.compared["folder"] += 1
            if got is None:
                self.fail(f"{where}: {reader}: folder missing (has {sorted(seen)[:8]})")
                continue
            if len(got) != len(expected):
                # A message lost or added shifts all that follow: name the
                # first place where the subjects part instead.
                first = next((e for e, s in zip(expected, got) if e.subject is not None
                              and s.subject is not None and text_key(e.subject) != text_key(s.subject)),
                             None)
                at = f"; first differing subject at message {first.number}" if first else ""
                self.fail(f"{where}: {reader}: {len(got)} messages, the mailbox has {len(expected)}{at}")
                continue
            for e, s in zip(expected, got):
                self.message(reader, e, s, f"{where} message {e.number}")
        extra = set(seen) - set(wanted) - {"Deleted Items"}
        if extra:
            self.fail(f"{layout} {os.path.basename(store)}: {reader}: unexpected folders {sorted(extra)}")


def shorten(value):
    text = repr(value)
    return text if len(text) <= 160 else text[:150] + "...'"


# ---------------------------------------------------------------------------
# The run


def check_pst(cli, corpus, work):
    sources = mailboxes(corpus, skip_extra=True)
    # The first mailbox listed again: in one store its folder must get " (2)".
    layouts = {"one store": (os.path.join(work, "all"), sources + sources[:1], []),
               "per mailbox": (os.path.join(work, "per"), sources, ["--pst-per-mailbox"])}
    runs = {layout: run_cli(cli, "pst", out, listed, *options) for layout, (out, listed, options) in layouts.items()}
    checker = Checker()
    expected = {source: expected_mailbox(source) for source in sources}
    expected = {source: None if shape == "not-a-mailbox" else messages for source, (shape, messages) in expected.items()}
    not_mailboxes = [source for source in sources if expected[source] is None]
    for layout, run in runs.items():
        try:
            output, code = b"".join(run.communicate(timeout=CLI_TIMEOUT)), run.returncode
        except subprocess.TimeoutExpired:
            run.kill()
            output, code = b"".join(run.communicate()), f"killed after {CLI_TIMEOUT} s"
        if code != (1 if not_mailboxes else 0):
            checker.fail(f"mailvane-cli --format pst ({layout}) exited {code}:\n{output.decode('utf-8', 'replace')[-2000:]}")

    # Which store holds which folders, by the layout's naming rule:
    # {(layout, path): {folder: [Expected] or None}}.
    stores = {}
    out, listed, _ = layouts["one store"]
    found = sorted(glob.glob(os.path.join(out, "*.pst")))
    if len(found) != 1 or not re.fullmatch(r"MBOX.+\.pst", os.path.basename(found[0])):
        checker.fail(f"one store: store files {[os.path.basename(p) for p in found]}, expected one MBOX<date-time>.pst")
    else:
        wanted, counts = {}, collections.Counter()
        for source in listed:
            name = mailbox_name(source)
            counts[name] += 1
            wanted[name if counts[name] == 1 else f"{name} ({counts[name]})"] = expected[source]
        stores[("one store", found[0])] = wanted
    out, listed, _ = layouts["per mailbox"]
    wanted_files = {os.path.join(out, mailbox_name(source) + ".pst"): source for source in listed}
    for path, source in wanted_files.items():
        if os.path.exists(path):
            stores[("per mailbox", path)] = {mailbox_name(source): expected[source]}
        elif expected[source] is not None:
            checker.fail(f"per mailbox: no store {os.path.basename(path)} for {source}")
    for path in sorted(set(glob.glob(os.path.join(out, "*.pst"))) - set(wanted_files)):
        checker.fail(f"per mailbox: unexpected store file {os.path.basename(path)}")
    for layout, (out, _listed, _options) in layouts.items():
        # The mailboxes' folders on disk stay empty.
        stray = [os.path.relpath(os.path.join(folder, name), out) for folder, _subfolders, files in os.walk(out)
                 for name in files if (layout, os.path.join(folder, name)) not in stores]
        if stray:
            checker.fail(f"{layout}: files besides the stores under the destination: {stray[:5]}")

    read_stores(checker, stores, os.path.dirname(corpus), work)
    checker.print_tallies()
    if not checker.failures and all(checker.tallies[r].unavailable for r in ("pypff", "readpst", "pffexport")):
        print("no reader of message content is installed: skipped")
        return SKIP
    return readers.report(sorted(checker.failures, key=failure_order), (
        f"{len(sources)} mailboxes ({len(not_mailboxes)} not mailboxes), "
        f"{sum(len(m) for m in expected.values() if m)} messages, {len(stores)} stores in two layouts"))


def failure_order(text):
    """Failures of one message together (readers in their order), messages
    in their mailbox's order."""
    match = re.match(r"(.*?) message (\d+): ", text)
    return (match.group(1), int(match.group(2))) if match else (text.split(":")[0], 0)


def read_stores(checker, stores, shared, work):
    """Every reader on every store: pypff here, the others beside it. Each
    gives ({folder: [Seen]} or None, [what it found wrong], the number of
    messages it found or None)."""
    t = checker.tallies
    judges = readers.Judges(shared, timeout=READER_TIMEOUT)
    missing = dict(judges.missing, pypff=None if importlib.util.find_spec("pypff") else "python3-pypff is not installed",
                   **{tool: f"{tool} is not installed" for tool in ("readpst", "pffexport") if not shutil.which(tool)})
    for reader, tally in t.items():
        tally.unavailable = missing.get(reader)
    calls = {"pypff": lambda store, _scratch: read_pypff(store),
             "readpst": lambda store, scratch: read_readpst(store, os.path.join(scratch, "readpst")),
             "pffexport": lambda store, scratch: read_pffexport(store, os.path.join(scratch, "pffexport")),
             "mspst-check": lambda store, _scratch: run_mspst(judges, store),
             "pstlint.py": lambda store, _scratch: (
                 None, [" ".join(f) for f in judges.run_pstlint(store) if f[0] == "ERROR"], None)}

    def read(store, scratch, names):
        result = {}
        for reader in names:
            try:
                result[reader] = calls[reader](store, scratch)
            except subprocess.TimeoutExpired:
                result[reader] = (None, [f"did not finish within {READER_TIMEOUT} s"], None)
            except Exception as error:  # a store or a reader's output this check cannot read
                result[reader] = (None, [f"{type(error).__name__}: {error}"], None)
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)
        return result

    here = [reader for reader in t if reader == "pypff" and not t[reader].unavailable]
    beside = [reader for reader in t if reader != "pypff" and not t[reader].unavailable]
    with concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 4) as pool:
        futures = {key: pool.submit(read, key[1], os.path.join(work, "read", str(n)), beside)
                   for n, key in enumerate(sorted(stores))}
        for key in sorted(stores):
            layout, store = key
            label = f"{layout} {os.path.basename(store)}"
            for reader, (folders, problems, found) in dict(read(store, None, here), **futures[key].result()).items():
                t[reader].compared["store"] += 1
                for line in problems[:10] + [f"... and {len(problems) - 10} more"] * (len(problems) > 10):
                    checker.fail(f"{label}: {reader}: {line}")
                if folders is not None:
                    checker.folders(reader, layout, store, folders, stores[key])
                if found is not None:
                    # It walks every folder of the store: its count is every message.
                    total = sum(len(m) for m in stores[key].values() if m)
                    t[reader].compared["folder"] += 1
                    if found != total:
                        checker.fail(f"{label}: {reader} found {found} messages, the mailboxes have {total}")


# ---------------------------------------------------------------------------
# Message files (--msg): each mailbox's folder holds exactly Email-1.msg ...
# Email-N.msg, each read with readers.read_msg and compared with the source
# by the same rules as the stores; the staging store Temp<date-time>.pst
# holds an empty folder per mailbox.


FILETIME_EPOCH = datetime.datetime(1601, 1, 1, tzinfo=datetime.timezone.utc)


def seen_message(m):
    """A Seen for a message file read with readers.read_msg."""
    text = lambda o, *tags: first_text(o.props, *tags, empty=True)
    submit = m.props.get(0x00390040)
    s = Seen(subject=text(m, 0x0037) or "", sender=(text(m, 0x5D02, 0x0065) or "").lower(),
             sender_name=text(m, 0x0042, 0x0C1A) or "", message_class=text(m, 0x001A),
             date=FILETIME_EPOCH + datetime.timedelta(microseconds=struct.unpack("<Q", submit)[0] // 10)
             if submit else NO_DATE, body=text(m, 0x1000),
             html=html_in(m.props.get(0x10130102), m.long(0x3FDE0003)), to=[], cc=[], files=[], embedded=[])
    for r in m.recipients:
        {1: s.to, 2: s.cc}.get(r.long(0x0C150003), []).append((text(r, 0x39FE, 0x3003) or "").lower())
    for a in m.attachments:
        if a.long(0x37050003) == 5 and a.embedded is not None:
            s.embedded.append(seen_message(a.embedded).subject)
        else:
            s.files.append((text(a, 0x3707, 0x3704, 0x3001) or "", a.props.get(0x37010102, b"")))
    return s


def read_msg_file(path):
    try:
        m = readers.read_msg(path)
    except OSError as error:  # olefile finds no compound file
        return Seen(unreadable=f"unreadable: {error}")
    return Seen(unreadable="unreadable: " + "; ".join(m.faults[:3])) if m.faults else seen_message(m)


def check_msg(cli, corpus, work):
    sources = mailboxes(corpus, skip_extra=True)
    run = subprocess.run([cli, "--format", "msg", "--output", work, "--", *sources],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
    checker = Checker(["olefile"])
    wanted, not_mailboxes, messages = {}, [], 0
    for source in sources:
        shape, expected = expected_mailbox(source)
        if shape == "not-a-mailbox":
            not_mailboxes.append(source)
        messages += len(expected)
        wanted[mailbox_name(source)] = expected
        folder = output_folder(work, source)
        if not folder_holds(checker.fail, source, folder, len(expected), "Email-{}.msg"):
            continue
        checker.tallies["olefile"].compared["folder"] += 1
        for e in expected:
            seen = read_msg_file(os.path.join(folder, f"Email-{e.number}.msg"))
            checker.message("olefile", e, seen, f"{source} Email-{e.number}.msg")

    if run.returncode != (1 if not_mailboxes else 0):
        checker.fail(f"mailvane-cli --format msg exited {run.returncode}:\n"
                     f"{(run.stdout + run.stderr).decode('utf-8', 'replace')[-2000:]}")
    stores = glob.glob(os.path.join(work, "Temp*.pst"))
    if len(stores) != 1:
        checker.fail(f"{len(stores)} staging stores in the destination, not one")
    else:
        folders = read_pypff(stores[0])[0]
        # The mailboxes share a folder name when their files do: the later
        # ones get " (2)"... and are not compared here. The messages go
        # only into their files.
        for name in wanted:
            got = (folders or {}).get(name)
            if got is None or got:
                checker.fail(f"staging store: folder {name!r} "
                             f"{'is missing' if got is None else f'holds {len(got)} messages'}")

    checker.print_tallies()
    return readers.report(checker.failures, f"{len(sources)} mailboxes, {messages} messages, "
                          f"{len(not_mailboxes)} not mailboxes")


def main():
    mode = sys.argv.pop(1) if sys.argv[1:2] in (["--pst"], ["--msg"]) else None
    if len(sys.argv) < 3:
        print(__doc__)
        return 2
    cli, corpus = sys.argv[1], os.path.join(sys.argv[2], "corpus") if mode else sys.argv[2]
    if not os.path.isdir(corpus) or mode == "--msg" and not importlib.util.find_spec("olefile"):
        print(f"{corpus} (or for --msg, python3-olefile) is absent: skipped")
        return SKIP
    work = tempfile.mkdtemp(prefix="mailvane-corpus-", dir=sys.argv[3] if len(sys.argv) > 3 else
                            "/dev/shm" if os.path.isdir("/dev/shm") else None)
    try:
        return {None: check_eml_emlx, "--pst": check_pst, "--msg": check_msg}[mode](cli, corpus, work)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
