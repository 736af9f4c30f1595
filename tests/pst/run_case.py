"""Whole-store cases: write with pst_write_sample, read back with the
independent readers. Exit 77 when a case needs the shared references and
they are absent.

usage: run_case.py CASE WRITER [SHARED_DIR]   (work folder in $PST_WORK)

The judged cases read the stores with the stricter readers of the shared
tools folder and report themselves skipped when one is absent; the kill
case uses whichever are present."""
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, '..')]
import check_store  # noqa: E402
import readers  # noqa: E402

SKIP = 77


def run(cmd, **kw):
    return subprocess.run(cmd, capture_output=True, text=True, **kw)


def report(failures, what):
    for f in failures[:60]:
        print('FAIL', f)
    print('%s, %d failures' % (what, len(failures)))
    return 1 if failures else 0


def sha(path):
    return hashlib.sha256(open(path, 'rb').read()).hexdigest()


def write(writer, work, kind):
    """The store of several folders and many messages ('rich'), or a small
    store reopened and added to ('append'): its path and the manifest of
    all it holds, or None."""
    store, wrote = os.path.join(work, kind + '.pst'), []
    for mode in ['rich'] if kind == 'rich' else ['small', 'append']:
        r = run([writer, mode, store, os.path.join(work, mode + '.json')])
        if r.returncode != 0:
            print(mode, r.stderr)
            return None, None
        wrote.append(json.load(open(os.path.join(work, mode + '.json'), encoding='utf-8')))
    return store, {k: sum((m[k] for m in wrote), []) for k in ('folders', 'messages')}


def case_read(writer, work, kind):
    store, manifest = write(writer, work, kind)
    return report(check_store.read_all(manifest, store, work), '%d messages checked' % len(manifest['messages'])) \
        if store else 1


def case_judged(writer, work, shared, kind):
    """Every judge on the store; skipped when one is absent."""
    store, manifest = write(writer, work, kind)
    if not store:
        return 1
    judges = readers.Judges(shared)
    failed = report(check_store.judge_all(judges, store, manifest)[0], '%d messages judged by %s' % (
        len(manifest['messages']), ', '.join(n for n in ('mspst-check', 'pstlint.py', 'pstx.js') if judges.has(n))))
    if not failed and judges.missing:
        print('skipped judges:', '; '.join(judges.absent()))
        return SKIP
    return failed


def case_refuse(writer, work, shared):
    """The writer refuses a damaged header, a truncated file, something that
    is not a store and stores it did not make, naming each and its cause,
    and leaves each as it was."""
    ours = os.path.join(work, 'ours.pst')
    run([writer, 'small', ours, ours + '.json'])
    data = open(ours, 'rb').read()
    bad = {'damaged.pst': (data[:100] + bytes([data[100] ^ 0xFF]) + data[101:], ['checksum']),
           'truncated.pst': (data[:len(data) // 3], ['truncated', 'short']),
           'text.pst': (b'From someone Mon Jan  1 00:00:00 2024\n' * 40, ['not a personal store'])}
    samples = os.path.join(shared or '', 'reference', 'samples', 'pst')
    for name, words in (('outlook-pst-rs_Empty.pst', ['not made by this program']), ('pstsdk_sample2.pst', ['ANSI'])):
        if os.path.exists(os.path.join(samples, name)):
            bad[name] = (open(os.path.join(samples, name), 'rb').read(), words)
    ok = True
    for name, (content, words) in bad.items():
        path = os.path.join(work, name)
        open(path, 'wb').write(content)
        r = run([writer, 'small', path, path + '.json'])
        if r.returncode == 0 or path not in r.stderr or not any(w in r.stderr for w in words) or \
                sha(path) != hashlib.sha256(content).hexdigest() or os.path.exists(path + '.json'):
            print('not refused properly: %s rc=%d %s' % (path, r.returncode, r.stderr))
            ok = False
    if ok and len(bad) < 5:
        print('shared references absent: Outlook-made stores not tried')
        return SKIP
    return 0 if ok else 1


def count_folder(store, name):
    folder = (readers.pypff_folders(readers.pypff_open(store)) or {}).get(name)
    return -1 if folder is None else folder.number_of_sub_messages


def case_kill(writer, work, shared):
    """The writer killed at random moments: each store left behind opens in
    every reader with exactly the messages of a checkpoint (the last one
    printed, or the one under way when the header was already out), and the
    next writer reopens it and goes on."""
    rng = random.Random(int(os.environ.get('PST_KILL_SEED', '5')))
    judges = readers.Judges(shared)
    if judges.missing:
        print('judges absent, not used:', '; '.join(judges.absent()))
    every = 25
    invalid_maps = 0
    for round in range(6):
        store = os.path.join(work, 'kill%d.pst' % round)
        if os.path.exists(store):
            os.remove(store)
        p = subprocess.Popen([writer, 'kill', store, str(every)], stdout=subprocess.PIPE, text=True)
        first = p.stdout.readline()
        assert first.startswith('checkpoint'), first
        # Killed at a random moment, or once the store passes a random size:
        # a fast machine writes hundreds of megabytes in a second and a half,
        # and the judges would then take minutes on each store.
        deadline = time.monotonic() + rng.uniform(0.05, 1.5)
        most = rng.uniform(1, 40) * 2**20
        while time.monotonic() < deadline and os.path.getsize(store) < most:
            time.sleep(0.005)
        p.send_signal(signal.SIGKILL)
        out = first + p.stdout.read()
        p.wait()
        done = [int(l.split()[1]) for l in out.splitlines() if l.startswith('checkpoint')]
        seen = count_folder(store, 'Killed')
        # Killed between the header write and the print, the reader may see
        # one checkpoint more than was printed; never anything in between.
        ok = seen % every == 0 and done[-1] <= seen <= done[-1] + every
        failures, invalid = check_store.judge_all(judges, store, counts={'Killed': seen}, pstx_most=40, killed=True)
        failures += check_store.read_readpst(store, os.path.join(work, 'readpst%d' % round), counts={'Killed': seen})
        invalid_maps += invalid
        print('round %d: last printed checkpoint %d, readers see %d%s' % (
            round, done[-1], seen, ', maps marked invalid' if invalid else ''))
        for f in failures[:20]:
            print('FAIL after the kill:', f)
        if not ok or failures:
            return 1
        # The killed store reopens and takes more, keeping what it had.
        r = run([writer, 'append', store, store + '.json'])
        if r.returncode != 0:
            print('append after kill failed:', r.stderr)
            return 1
        appended = json.load(open(store + '.json'))
        if count_folder(store, 'Killed') != seen or count_folder(store, 'Appended') != len(appended['messages']):
            print('append after kill lost or missed messages')
            return 1
        # Reopened and checkpointed, the store is whole again: maps valid and
        # equal to the trees, nothing past the header's end.
        failures, _ = check_store.judge_all(judges, store, manifest=appended, pstx_most=40,
                                            counts={'Killed': seen, 'Appended': len(appended['messages'])})
        for f in failures[:20]:
            print('FAIL after reopening:', f)
        if failures:
            return 1
    print('%d of 6 stores were left with their maps marked invalid' % invalid_maps)
    return 0


def case_empty(writer, work, shared):
    sample = os.path.join(shared or '', 'reference', 'samples', 'pst', 'outlook-pst-rs_Empty.pst')
    if not os.path.exists(sample) or not readers.Judges(shared).has('pstlint.py'):
        print('shared references absent')
        return SKIP
    store = os.path.join(work, 'empty.pst')
    r = run([writer, 'empty', store])
    if r.returncode != 0:
        print(r.stderr)
        return 1
    import compare_empty
    return compare_empty.compare(store, sample, shared)


def case_large(writer, work):
    """Opt-in (PST_LARGE=1): a real store past 4 GB, read back."""
    if os.environ.get('PST_LARGE') != '1':
        print('large store test is opt-in: set PST_LARGE=1')
        return SKIP
    store, manifest = os.path.join(work, 'large.pst'), os.path.join(work, 'large.json')
    r = run([writer, 'bulk', store, manifest, os.environ.get('PST_LARGE_MB', '5200')])
    if r.returncode != 0:
        print(r.stderr)
        return 1
    wrote = json.load(open(manifest))['messages']
    print('store size', os.path.getsize(store))
    bulk = readers.pypff_folders(readers.pypff_open(store))['Bulk']
    ok = bulk.number_of_sub_messages == len(wrote)
    # The last messages sit past 4 GB: their attachments must read back.
    for i in range(len(wrote) - 5, len(wrote)):
        msg = bulk.get_sub_message(i)
        seed, size = wrote[i]['attachments'][0]
        ok = ok and msg.subject == wrote[i]['subject'] and readers.pypff_data(msg.get_attachment(0)) == check_store.pattern(seed, size)
    code, subjects = readers.lspst_subjects(store)
    ok = ok and code == 0 and sum(s.startswith('Bulk ') for s in subjects) == len(wrote)
    os.remove(store)
    return 0 if ok else 1


def main():
    case, writer = sys.argv[1], sys.argv[2]
    shared = sys.argv[3] if len(sys.argv) > 3 else None
    work = os.environ.get('PST_WORK', '/dev/shm/pst_work')
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    cases = {'rich': lambda: case_read(writer, work, 'rich'), 'append': lambda: case_read(writer, work, 'append'),
             'refuse': lambda: case_refuse(writer, work, shared),
             'kill': lambda: case_kill(writer, work, shared),
             'judged-rich': lambda: case_judged(writer, work, shared, 'rich'),
             'judged-append': lambda: case_judged(writer, work, shared, 'append'),
             'empty': lambda: case_empty(writer, work, shared),
             'large': lambda: case_large(writer, work)}
    sys.exit(cases[case]())


if __name__ == '__main__':
    main()
