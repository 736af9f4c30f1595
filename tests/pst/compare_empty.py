"""Compares a new empty store of ours with the empty store Outlook made,
both read by pstlint.py of the shared tools folder (written from the format
description, sharing nothing with the writer): node set, template columns,
folder objects and the way empty folder tables share the template blocks.
Ours must also draw no ERROR or WARN from pstlint."""
import struct

import readers

# Internal nodes of undocumented content that Outlook adds and we do not.
OUTLOOK_ONLY = {0xC01, 0xE01, 0xE41, 0xEC1, 0xEE1, 0xF01, 0xF21, 0x2227}
TEMPLATES = [0x60D, 0x60E, 0x60F, 0x610, 0x62B, 0x64C, 0x671, 0x692, 0x6B6, 0x6D7, 0x6F8]
FOLDERS = [0x122, 0x8022, 0x8042, 0x8062, 0x8082]
TABLE_TYPES = (0x0D, 0x0E, 0x0F, 0x10)
TEMPLATE_OF = {0x0D: 0x60D, 0x0E: 0x60E, 0x0F: 0x60F, 0x10: 0x610}


def compare(ours_path, outlook_path, shared):
    ours, theirs = (readers.Judges(shared).pstlint_model(p) for p in (ours_path, outlook_path))
    problems = ['pstlint: %s %s %s' % f for f in ours.findings if f[0] != 'INFO']

    def need(cond, what):
        if not cond:
            problems.append(what)

    missing = set(theirs.nodes) - set(ours.nodes) - OUTLOOK_ONLY
    extra = set(ours.nodes) - set(theirs.nodes)
    need(not missing, 'nodes Outlook has and we lack: %s' % sorted(hex(n) for n in missing))
    need(not extra, 'nodes we have and Outlook lacks: %s' % sorted(hex(n) for n in extra))

    def columns(store, nid):
        return set(store.tc(store.leaves(store.nodes[nid][0], count_ref=False), store.subs[nid], '')['cols'])

    for nid in TEMPLATES:
        if nid in ours.nodes and nid in theirs.nodes:
            need(columns(ours, nid) == columns(theirs, nid), 'template %#x columns differ' % nid)
    for folder in FOLDERS:
        for t in TABLE_TYPES[:3]:
            nid = (folder & ~0x1F) | t
            if nid in ours.nodes and nid in theirs.nodes:
                # Outlook widens a folder's tables once it has shown them; a
                # new table has the template's columns.
                ours_cols = columns(ours, nid)
                need(ours_cols == columns(ours, TEMPLATE_OF[t]), '%#x is not its template' % nid)
                need(ours_cols <= columns(theirs, nid), '%#x has columns Outlook lacks' % nid)
        for store, who in ((ours, 'ours'), (theirs, 'Outlook')):
            props = store.props[folder]
            for tag in (0x3001001F, 0x36020003, 0x36030003, 0x360A000B):
                need(tag in props, '%s folder %#x lacks %#x' % (who, folder, tag))
        need(ours.nodes[folder][2] == theirs.nodes[folder][2], 'parent of %#x differs' % folder)

    for nid in (0x12D, 0x802D):
        got = [s.tables[nid]['nrows'] for s in (ours, theirs)]
        need(got[0] == got[1], 'hierarchy %#x rows: ours %d, Outlook %d' % (nid, got[0], got[1]))

    store = ours.props[0x21]
    for tag in (0x0FF90102, 0x3001001F, 0x35E00102, 0x35E30102, 0x35E70102):
        need(tag in store, 'store lacks %#x' % tag)
    for tag in (0x35E00102, 0x35E30102, 0x35E70102):
        if tag in store:
            eid = store[tag]
            need(eid[4:20] == store[0x0FF90102], 'entry id %#x names another store' % tag)
            need(struct.unpack_from('<I', eid, 20)[0] in ours.nodes, 'entry id %#x names no node' % tag)

    # Empty folder tables share the template's block; its count is one more
    # than the nodes using it, as in Outlook's store.
    for s, who in ((ours, 'ours'), (theirs, 'Outlook')):
        users = {}
        for nid, (data, sub, parent) in s.nodes.items():
            if data:
                users[data & ~1] = users.get(data & ~1, 0) + 1
        need(s.nodes[0x806E][0] == s.nodes[0x60E][0], '%s: deleted items contents not shared' % who)
        for bid, n in users.items():
            need(s.blocks[bid][2] == n + 1, '%s: block %#x has count %d for %d users' % (who, bid, s.blocks[bid][2], n))

    for p in problems:
        print('DIFF', p)
    print('%d nodes ours, %d Outlook; %d differences' % (len(ours.nodes), len(theirs.nodes), len(problems)))
    return 1 if problems else 0
