"""Reads message files with python3-olefile, written from the format
description and sharing nothing with the writer: storages, property stream
headers and entries, the streams beside them, and named-property mappings."""
import struct

import olefile

HEADER = {'top': 32, 'embedded': 24, 'sub': 8}
FIXED = {0x0002: 2, 0x0003: 4, 0x0004: 4, 0x000A: 4, 0x000B: 1, 0x0005: 8, 0x0006: 8,
         0x0007: 8, 0x0014: 8, 0x0040: 8}
MULTI_VARIABLE = (0x101E, 0x101F, 0x1102)


class Fault(Exception):
    pass


class Obj:
    """One storage's properties: tag -> bytes as an item keeps them, the
    header, the raw entries (tag -> (flags, 8 value bytes)) and children."""

    def __init__(self, path, kind):
        self.path, self.kind = path, kind
        self.props, self.entries, self.header = {}, {}, None
        self.recipients, self.attachments, self.embedded = [], [], None

    def long(self, tag):
        v = self.props.get(tag)
        return None if v is None else struct.unpack('<i', v)[0]


def pack_multi(values):
    """Variable-size multi-values as the item keeps them: count, offsets, values."""
    out = struct.pack('<I', len(values))
    at = 4 + 4 * len(values)
    for v in values:
        out += struct.pack('<I', at)
        at += len(v)
    return out + b''.join(values)


def read_object(ole, path, kind):
    o = Obj(path, kind)
    names = {e[-1]: e for e in ole.listdir(streams=True, storages=True)
             if len(e) == len(path) + 1 and e[:len(path)] == path}
    data = ole.openstream(path + ['__properties_version1.0']).read()
    size = HEADER[kind]
    if len(data) < size or (len(data) - size) % 16:
        raise Fault('%s: property stream of %d bytes' % ('/'.join(path), len(data)))
    o.header = struct.unpack_from('<8sIIII', data) if kind != 'sub' else (data[:8],)
    for at in range(size, len(data), 16):
        tag, flags = struct.unpack_from('<II', data, at)
        raw = data[at + 8:at + 16]
        o.entries[tag] = (flags, raw)
        ptype = tag & 0xFFFF
        stream = '__substg1.0_%08X' % tag
        if ptype in FIXED:
            o.props[tag] = raw[:FIXED[ptype]]
        elif ptype == 0x000D:
            continue
        elif ptype in MULTI_VARIABLE:
            lengths = ole.openstream(path + [stream]).read()
            width = 8 if ptype == 0x1102 else 4
            values = []
            for i in range(len(lengths) // width):
                v = ole.openstream(path + ['%s-%08X' % (stream, i)]).read()
                n = struct.unpack_from('<I', lengths, i * width)[0]
                if n != len(v):
                    raise Fault('%s: length %d of value %d, stream has %d' % (stream, n, i, len(v)))
                values.append(v[:-2] if ptype == 0x101F else v)
            o.props[tag] = pack_multi(values)
        else:
            if stream not in names:
                raise Fault('%s: no stream %s' % ('/'.join(path), stream))
            o.props[tag] = ole.openstream(path + [stream]).read()
            declared = struct.unpack_from('<I', raw)[0]
            expected = len(o.props[tag]) + (2 if ptype == 0x001F else 0)
            if declared != expected:
                raise Fault('%s/%s: size %d in the entry, %d expected' %
                            ('/'.join(path), stream, declared, expected))
    for name in sorted(names):
        if name.startswith('__recip_version1.0_#'):
            o.recipients.append(read_object(ole, names[name], 'sub'))
        elif name.startswith('__attach_version1.0_#'):
            a = read_object(ole, names[name], 'sub')
            inner = names[name] + ['__substg1.0_3701000D']
            if ole.exists('/'.join(inner)) and ole.get_type('/'.join(inner)) == olefile.STGTY_STORAGE:
                a.embedded = read_object(ole, inner, 'embedded')
            o.attachments.append(a)
    return o


def read(path):
    """The message of the file; raises Fault for what breaks the format."""
    ole = olefile.OleFileIO(path)
    try:
        return read_object(ole, [], 'top')
    finally:
        ole.close()


def name_ids(path):
    """The named-property mapping: id -> (GUID bytes, kind, lid or name)."""
    ole = olefile.OleFileIO(path)
    try:
        get = lambda n: ole.openstream(['__nameid_version1.0', n]).read()
        guids, entries, strings = get('__substg1.0_00020102'), get('__substg1.0_00030102'), \
            get('__substg1.0_00040102')
    finally:
        ole.close()
    ps_mapi = bytes.fromhex('2803020000000000C000000000000046')
    ps_public = bytes.fromhex('2903020000000000C000000000000046')
    out = {}
    for i in range(0, len(entries), 8):
        first, ik = struct.unpack_from('<II', entries, i)
        gi = (ik >> 1) & 0x7FFF
        guid = ps_mapi if gi == 1 else ps_public if gi == 2 else guids[16 * (gi - 3):16 * (gi - 2)]
        if ik & 1:
            n = struct.unpack_from('<I', strings, first)[0]
            out[0x8000 + (ik >> 16)] = (guid, 'name', strings[first + 4:first + 4 + n].decode('utf-16-le'))
        else:
            out[0x8000 + (ik >> 16)] = (guid, 'lid', first)
    return out
