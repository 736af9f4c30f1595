"""Lists the structure of message files with one reader (python3-olefile):
compound file version, root class, storages by kind with their property
stream headers, the kinds of streams in each, the named-property mapping.
Each file is also checked against the rules every Outlook-made Unicode
message file keeps; what a file breaks is listed as a fault."""
import struct

import olefile

HEADER = {'message': 32, 'embedded message': 24, 'recipient': 8, 'attachment': 8}
FIXED = {0x0002, 0x0003, 0x0004, 0x0005, 0x0006, 0x0007, 0x000A, 0x000B, 0x0014, 0x0040}
NAMEID_STREAMS = ['__substg1.0_00020102', '__substg1.0_00030102', '__substg1.0_00040102']
PS_INTERNET_HEADERS = bytes.fromhex('8603020000000000C000000000000046')


def name_crc(data):
    crc = 0
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0xEDB88320 if crc & 1 else crc >> 1
    return crc


class Listing:
    def __init__(self, path):
        self.path = path
        self.lines = set()  # what the file shows, without counts or indices
        self.faults = []
        self.ole = olefile.OleFileIO(path)
        o = self.ole
        self.lines.add('compound file version %d.%d, sectors of %d and %d bytes' %
                       (o.dll_version, o.minor_version, o.sector_size, o.mini_sector_size))
        self.lines.add('root class {%s}' % o.root.clsid)
        self.storage([], 'message')
        self.nameid()
        self.ole.close()

    def fault(self, where, what):
        self.faults.append('%s: %s' % ('/'.join(where) or '/', what))

    def children(self, path):
        out = {}
        for e in self.ole.listdir(streams=True, storages=True):
            if len(e) == len(path) + 1 and e[:len(path)] == path:
                out[e[-1]] = self.ole.get_type('/'.join(e))
        return out

    def storage(self, path, kind):
        kids = self.children(path)
        entry = self.ole.direntries[self.ole._find('/'.join(path))] if path else None
        if entry is not None:
            self.lines.add('%s storage: %s' % (kind, 'modification time' if entry.modifyTime else 'no times'))
        if '__properties_version1.0' not in kids:
            return self.fault(path, 'no property stream')
        data = self.ole.openstream(path + ['__properties_version1.0']).read()
        size = HEADER[kind]
        if len(data) < size or (len(data) - size) % 16:
            return self.fault(path, 'property stream of %d bytes fits no %d-byte header' % (len(data), size))
        self.lines.add('%s: property stream with a %d-byte header' % (kind, size))
        entries = {}
        for at in range(size, len(data), 16):
            tag, flags = struct.unpack_from('<II', data, at)
            entries[tag] = data[at + 8:at + 16]
        recips = sorted(n for n in kids if n.startswith('__recip_version1.0_#'))
        attachs = sorted(n for n in kids if n.startswith('__attach_version1.0_#'))
        for names, prefix in ((recips, '__recip_version1.0_#'), (attachs, '__attach_version1.0_#')):
            if names != ['%s%08X' % (prefix, i) for i in range(len(names))]:
                self.fault(path, 'storages %s are not numbered from 0' % names)
        if kind in ('message', 'embedded message'):
            reserved, next_r, next_a, n_r, n_a = struct.unpack_from('<8sIIII', data)
            if (n_r, n_a) != (len(recips), len(attachs)):
                self.fault(path, 'header counts %d/%d for %d/%d storages' % (n_r, n_a, len(recips), len(attachs)))
            if next_r < n_r or next_a < n_a:
                self.fault(path, 'next ids %d/%d below the counts' % (next_r, next_a))
            self.lines.add('%s: header counts match its recipient and attachment storages' % kind)
        if kind == 'message':
            mask = entries.get(0x340D0003)
            if mask is None or not struct.unpack_from('<I', mask)[0] & 0x00040000:
                self.fault(path, 'no PidTagStoreSupportMask with STORE_UNICODE_OK')
            else:
                self.lines.add('message: PidTagStoreSupportMask marks Unicode')
        for tag, raw in entries.items():
            ptype = tag & 0xFFFF
            stream = '__substg1.0_%08X' % tag
            if ptype in FIXED:
                continue
            if ptype == 0x001E or ptype == 0x101E:
                self.fault(path, '8-bit string %08X in a Unicode file' % tag)
            if ptype == 0x000D:
                if kind == 'attachment' and kids.get(stream) == olefile.STGTY_STORAGE:
                    if raw != b'\xff\xff\xff\xff\x01\x00\x00\x00':
                        self.fault(path, 'embedded message entry %s' % raw.hex())
                    self.lines.add('attachment: embedded message entry without size, reserved 1')
                    self.storage(path + [stream], 'embedded message')
                continue
            if kids.get(stream) != olefile.STGTY_STREAM:
                self.fault(path, 'no stream for %08X' % tag)
                continue
            length = self.ole.get_size('/'.join(path + [stream]))
            declared = struct.unpack_from('<I', raw)[0]
            if ptype & 0x1000:
                self.multi_value(path, kids, tag, declared, length)
                self.lines.add('%s: multi-valued %04X streams' % (kind, ptype))
            elif ptype == 0x001F:
                # Outlook leaves the terminator out of the stream and counts
                # it in the size; the new Outlook keeps it in both.
                if declared not in (length + 2, length):
                    self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
                self.lines.add('%s: string streams (001F)' % kind)
            else:
                if declared != length:
                    self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
                self.lines.add('%s: value streams (%04X)' % (kind, ptype))
        for name, t in kids.items():
            if t != olefile.STGTY_STREAM or name == '__properties_version1.0':
                continue
            tag = int(name[12:20], 16) if name.startswith('__substg1.0_') else None
            if tag is None or tag not in entries:
                self.fault(path, 'stream %s has no property entry' % name)
        for n in recips:
            self.storage(path + [n], 'recipient')
        for n in attachs:
            self.storage(path + [n], 'attachment')
        if kind != 'message' and '__nameid_version1.0' in kids:
            self.fault(path, 'a named-property mapping below the top')

    def multi_value(self, path, kids, tag, declared, length):
        stream = '__substg1.0_%08X' % tag
        if declared != length:
            self.fault(path, '%s: size %d for %d bytes' % (stream, declared, length))
        ptype = tag & 0xFFFF
        if ptype not in (0x101E, 0x101F, 0x1102):
            return
        width = 8 if ptype == 0x1102 else 4
        lengths = self.ole.openstream(path + [stream]).read()
        for i in range(len(lengths) // width):
            value = '%s-%08X' % (stream, i)
            if kids.get(value) != olefile.STGTY_STREAM:
                self.fault(path, 'no stream %s' % value)
                continue
            data = self.ole.openstream(path + [value]).read()
            if struct.unpack_from('<I', lengths, i * width)[0] != len(data):
                self.fault(path, '%s: length differs from the length stream' % value)
            if ptype == 0x101F and data[-2:] != b'\0\0':
                self.fault(path, '%s: string without its terminator' % value)

    def nameid(self):
        kids = self.children(['__nameid_version1.0'])
        missing = [n for n in NAMEID_STREAMS if n not in kids]
        if missing:
            return self.fault(['__nameid_version1.0'], 'missing %s' % missing)
        self.lines.add('named-property mapping: GUID, entry and string streams')
        get = lambda n: self.ole.openstream(['__nameid_version1.0', n]).read()
        guids, entries, strings = (get(n) for n in NAMEID_STREAMS)
        expected = {}
        for i in range(0, len(entries), 8):
            first, ik = struct.unpack_from('<II', entries, i)
            gi = (ik >> 1) & 0x7FFF
            if ik >> 16 != i // 8 or (gi >= 3 and 16 * (gi - 2) > len(guids)) or gi == 0:
                self.fault(['__nameid_version1.0'], 'entry %d: index and kind %08X' % (i // 8, ik))
                continue
            key = first
            if ik & 1:
                n = struct.unpack_from('<I', strings, first)[0]
                name = strings[first + 4:first + 4 + n]
                guid = guids[16 * (gi - 3):16 * (gi - 2)] if gi >= 3 else None
                if guid == PS_INTERNET_HEADERS:
                    name = name.decode('utf-16-le').lower().encode('utf-16-le')
                key = name_crc(name)
            stream = '__substg1.0_%04X0102' % (0x1000 + (key ^ (gi << 1 | (ik & 1))) % 0x1F)
            expected.setdefault(stream, []).append(struct.pack('<II', key, ik))
        if expected and not any(n in kids for n in expected):
            # The new Outlook writes none at all.
            return self.lines.add('named-property mapping: no name-to-id streams')
        for stream, items in expected.items():
            have = get(stream) if stream in kids else b''
            found = {have[j:j + 8] for j in range(0, len(have), 8)}
            if not set(items) <= found:
                self.fault(['__nameid_version1.0'], '%s lacks entries' % stream)
        if expected:
            self.lines.add('named-property mapping: name-to-id streams hold every name')
