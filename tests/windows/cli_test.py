#!/usr/bin/python3
"""mailvane-cli for Windows, run under Wine, against the Linux build of the
same sources: the same mailboxes (a folder searched, and a mailbox named in
Cyrillic given on the command line) converted to every format by both.

- EML and EMLX: the same files under the same names, byte for byte;
- MSG: the same message files, each opened by olefile with the same streams
  holding the same bytes;
- PST (one store for all mailboxes): the same folders and messages, every
  property of each message and attachment the same, as pypff reads them, and
  readpst exporting the same messages;
- the Cyrillic name shown right in what the Windows program prints, and on
  Wine's console (a pseudo-terminal) with the progress line, where Ctrl-C
  stops the run leaving whole files only.

usage: cli_test.py WINDOWS_CLI LINUX_CLI CODE_PAGE_EXE WORK_DIR
Wine is $MAILVANE_WINE. Exits 77 (skipped) with a line why when Wine cannot
run the program or the Linux build is missing.
"""
import hashlib
import os
import pathlib
import pty
import re
import select
import shutil
import signal
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests"))
import readers  # noqa: E402

NAMED = "Входящие.mbox"
# A few of the cutting cases with the import's mailboxes: every charset,
# embedded messages, attachments, broken mail.
CUTTING = ["crlf-mixed-breaks.mbox", "from-lookalikes.mbox", "nul-and-8bit.mbox", "cr-only.mbox"]


def skip(why):
    print("skipped: " + why)
    sys.exit(77)


def run(command, cwd):
    done = subprocess.run(command, cwd=cwd, capture_output=True, stdin=subprocess.DEVNULL)
    return done.returncode, (done.stdout + done.stderr).decode("utf-8", "replace")


def files_below(folder):
    return {p.relative_to(folder).as_posix(): p for p in sorted(folder.rglob("*")) if p.is_file()}


def make_inputs(work, wine, code_page):
    """The folder `in` to search and `named/Входящие.mbox`: the charsets
    mailbox, less its GB18030 message where Wine has no code page for it."""
    inputs = work / "in"
    inputs.mkdir(parents=True)
    for mailbox in sorted((ROOT / "tests/data/mime/input").glob("*.mbox")):
        if mailbox.name != "charsets.mbox":
            shutil.copy(mailbox, inputs)
    for name in CUTTING:
        shutil.copy(ROOT / "tests/data/mbox/input" / name, inputs)
    charsets = (ROOT / "tests/data/mime/input/charsets.mbox").read_bytes()
    if run(wine + [code_page, "54936"], work)[0] != 0:
        print("note: this Wine has no code page 54936; the GB18030 message is left out")
        charsets = re.sub(rb"From li@example\.cn .*?(?=\nFrom )\n", b"", charsets, flags=re.S)
        assert b"gb18030" not in charsets
    (work / "named").mkdir()
    (work / "named" / NAMED).write_bytes(charsets)


def convert(command, work, fmt, out):
    args = ["-f", fmt, "-o", out, "in", "named/" + NAMED]
    code, output = run(command + args, work)
    if code != 0:
        raise AssertionError(f"{' '.join(command)} {' '.join(args)} exited {code}:\n{output}")
    return output


def compare_bytes(linux, windows, pattern):
    a, b = files_below(linux), files_below(windows)
    a = {k: v for k, v in a.items() if pattern.search(k)}
    b = {k: v for k, v in b.items() if pattern.search(k)}
    problems = [f"only in the Linux output: {k}" for k in sorted(a.keys() - b.keys())]
    problems += [f"only in the Windows output: {k}" for k in sorted(b.keys() - a.keys())]
    problems += [f"differs: {k}" for k in sorted(a.keys() & b.keys())
                 if a[k].read_bytes() != b[k].read_bytes()]
    return len(a), problems


def msg_values(path):
    """A message file's streams, and each fixed-size property of its property
    streams on its own (tag and value)."""
    values = {}
    for name, data in readers.msg_streams(str(path)).items():
        if not name.endswith("__properties_version1.0"):
            values[name] = data
            continue
        # A 32-byte header on the top-level message, 24 on an embedded
        # one or an attachment's, then 16 bytes for each property.
        start = 32 if "/" not in name else 24
        values[name + " header"] = data[:start]
        for at in range(start, len(data), 16):
            values[f"{name} {data[at:at + 4][::-1].hex()}"] = data[at + 8:at + 16]
    return values


def compare_msg(linux, again, windows):
    """`again` is a second Linux run: what differs between the two (a search
    key or a time made at writing for an item without one) is left out."""
    count, problems = compare_bytes(linux, windows, re.compile(r"\.msg$"))
    shown, varying = [], 0
    for problem in problems:
        if not problem.startswith("differs: "):
            shown.append(problem)
            continue
        name = problem[len("differs: "):]
        a, b, c = msg_values(linux / name), msg_values(windows / name), msg_values(again / name)
        keys = a.keys() | b.keys()
        varies = {k for k in keys if a.get(k) != c.get(k)}
        varying += len(varies)
        values = sorted(k for k in keys - varies if a.get(k) != b.get(k))
        if values:
            shown.append(f"{name}: differ: {', '.join(values)}")
    if varying:
        print(f"  ({varying} values that differ from one Linux run to the next left out)")
    # Files the same as Linux's still open in olefile.
    for name in files_below(windows):
        if name.endswith(".msg"):
            msg_values(windows / name)
    return count, shown


def pst_account(path):
    """Every folder and message of a store with all their properties."""
    lines = []

    def entries(item):
        lines.extend(f"    {tag:08x} {hashlib.sha1(data).hexdigest()} {len(data)}"
                     for tag, data in readers.pypff_values(item).items())

    store = readers.pypff_open(str(path))
    root = store.get_root_folder()
    for where, folder in [("", root)] + list(readers.pypff_walk(root)):
        lines.append(f"folder /{where} ({folder.number_of_sub_messages} messages)")
        for m, message in enumerate(folder.sub_messages):
            lines.append(f"  message {m + 1}: {message.subject!r}")
            entries(message)
            for a, attachment in enumerate(message.attachments):
                lines.append(f"   attachment {a + 1}")
                entries(attachment)
    store.close()
    return lines


def the_store(folder):
    stores = sorted(folder.glob("*.pst"))
    if len(stores) != 1:
        raise AssertionError(f"{folder}: {len(stores)} stores, not one")
    return stores[0]


def compare_pst(linux, windows, work):
    a, b = pst_account(the_store(linux)), pst_account(the_store(windows))
    problems = []
    if a != b:
        for number, (x, y) in enumerate(zip(a, b)):
            if x != y:
                problems.append(f"pypff reads them apart from line {number + 1}:\n"
                                f"  Linux:   {x}\n  Windows: {y}")
                break
        else:
            problems.append(f"pypff reads {len(a)} lines from Linux's, {len(b)} from Windows'")
    exported = {}
    for side, folder in (("linux", linux), ("windows", windows)):
        error, folders = readers.readpst(str(the_store(folder)), str(work / f"readpst-{side}"))
        if error:
            problems.append(f"readpst fails on the {side} store: {error}")
        # readpst makes a new MIME boundary for each run.
        exported[side] = {f"{name}/{n + 1}.eml": re.sub(rb"iamunique-\d+", b"iamunique-N", data)
                          for name, messages in (folders or {}).items() for n, data in enumerate(messages)}
    if exported["linux"] != exported["windows"]:
        problems.append("readpst exports different messages: " + ", ".join(sorted(
            k for k in exported["linux"].keys() | exported["windows"].keys()
            if exported["linux"].get(k) != exported["windows"].get(k))))
    if not exported["windows"]:
        problems.append("readpst exports nothing from the Windows store")
    return sum(1 for line in a if line.startswith("  message")), problems


def console_run(wine, windows_cli, linux_cli, work):
    """A run on a console (Wine's, on a pseudo-terminal): the Cyrillic name
    and the progress line shown, and Ctrl-C once the second mailbox has
    begun stops it with whole files only. None when it ended first."""
    boxes = work / "console"
    boxes.mkdir()
    names = [NAMED] + [f"more-{n}.mbox" for n in range(3)]
    messages = 5000
    mailbox = "".join(f"From a@example.com Mon Jan  1 00:00:00 2001\nSubject: {n}\n\n"
                      f"Сообщение {n}\n\n" for n in range(messages))
    for name in names:
        (boxes / name).write_text(mailbox, encoding="utf-8")
    run([linux_cli, "-f", "eml", "-o", "console-linux"] + ["console/" + name for name in names], work)
    pid, terminal = pty.fork()
    if pid == 0:
        os.chdir(work)
        os.execv(wine[0], wine + [windows_cli, "-f", "eml", "-o", "console-out"] +
                 ["console/" + name for name in names])
    output, interrupted, ended = b"", False, False
    while not ended and select.select([terminal], [], [], 120)[0]:
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the terminal closed with the program
            data = b""
        output += data
        ended = not data
        if not interrupted and b"Mailbox 2 (of" in output:
            os.write(terminal, b"\x03")  # Ctrl-C, as typed
            interrupted = True
    if not ended:  # silent for two minutes: it hangs
        os.kill(pid, signal.SIGKILL)
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    os.close(terminal)
    text = output.decode("utf-8", "replace")
    if code == 0 and "stopped" not in text:
        return None
    problems = []
    if code != 1 or "stopped" not in text:
        problems.append(f"Ctrl-C: exit code {code}, not 1 with the run stopped")
    if not re.search(r"\rMailbox 1 \(of 4\) " + NAMED + r": \d+ messages saved.*?\x1b\[K", text):
        problems.append("no progress line naming " + NAMED)
    # Each file written is the Linux program's, whole.
    whole = files_below(work / "console-linux")
    files = files_below(work / "console-out")
    if not 0 < len(files) < len(whole):
        problems.append(f"{len(files)} files written of {len(whole)}")
    for name, path in files.items():
        if name not in whole or path.read_bytes() != whole[name].read_bytes():
            problems.append(f"{name} is not what the Linux program writes")
            break
    if problems:
        problems.append("it printed: " + repr(text[-600:]))
    return problems


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    windows_cli, linux_cli, code_page = (str(pathlib.Path(a).resolve()) for a in sys.argv[1:4])
    work = pathlib.Path(sys.argv[4]).resolve()
    wine = [os.environ.get("MAILVANE_WINE", "wine")]
    # Wine reads the command line and writes to a terminal in the charset of
    # the locale: the Cyrillic name needs a UTF-8 one.
    os.environ["LC_ALL"] = "C.UTF-8"
    if not os.access(linux_cli, os.X_OK):
        skip(f"no Linux build of mailvane-cli at {linux_cli} to compare with")
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    code, output = run(wine + [windows_cli, "--version"], work)
    if code != 0 or "mailvane-cli" not in output:
        skip(f"Wine cannot run {windows_cli} ({code}): {output.strip()[-300:]}")
    make_inputs(work, wine, code_page)

    failures = 0
    for fmt in ("eml", "emlx", "msg", "pst"):
        convert([linux_cli], work, fmt, f"linux-{fmt}")
        printed = convert(wine + [windows_cli], work, fmt, f"windows-{fmt}")
        linux, windows = work / f"linux-{fmt}", work / f"windows-{fmt}"
        if fmt == "msg":
            convert([linux_cli], work, fmt, "linux-msg-again")
            count, problems = compare_msg(linux, work / "linux-msg-again", windows)
        elif fmt == "pst":
            count, problems = compare_pst(linux, windows, work)
        else:
            count, problems = compare_bytes(linux, windows, re.compile(r"\." + fmt + "$"))
        if not re.search(r"Mailbox \d+ \(of \d+\): " + NAMED, printed):
            problems.append(f"the Windows program does not print the name {NAMED}:\n{printed}")
        if count == 0:
            problems.append("nothing to compare")
        print(f"{fmt}: {count} messages, {'the same' if not problems else 'DIFFERENT'}")
        for problem in problems[:20]:
            print("  " + problem)
        failures += bool(problems)
    # A store per mailbox is named after the mailbox, Cyrillic included.
    code, output = run(wine + [windows_cli, "-f", "pst", "--pst-per-mailbox", "-o",
                               "windows-per-mailbox", "named/" + NAMED], work)
    store = work / "windows-per-mailbox" / (NAMED[: -len(".mbox")] + ".pst")
    per_mailbox = code == 0 and store.is_file()
    print(f"store per mailbox: {'named ' + store.name if per_mailbox else 'WRONG'}")
    if not per_mailbox:
        found = sorted(p.name for p in store.parent.glob("*.pst"))
        print(f"  exit {code}, stores {found}:\n{output[-500:]}")
    failures += not per_mailbox
    problems = console_run(wine, windows_cli, linux_cli, work)
    if problems is None:
        print("console: the run ended before Ctrl-C reached it; not judged")
    else:
        print(f"console: {'as on Linux' if not problems else 'WRONG'}")
        for problem in problems:
            print("  " + problem)
        failures += bool(problems)
    checks = 5 + (problems is not None)
    print(f"{checks - failures} passed, {failures} failed")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
