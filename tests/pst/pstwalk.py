"""A small independent reader of Unicode store files for the tests: walks the
node and block trees, reads heaps, property contexts and table contexts.
Written from the format description, sharing no code with the writer."""
import struct

PERM = None  # decode table, built from the encode table passed by the caller


class Store:
    def __init__(self, path):
        self.f = open(path, 'rb')
        h = self.read(0, 564)
        assert h[:4] == b'!BDN', 'magic'
        self.ver = struct.unpack_from('<H', h, 10)[0]
        self.crypt = h[513]
        self.nbt_root = struct.unpack_from('<QQ', h, 216)
        self.bbt_root = struct.unpack_from('<QQ', h, 232)
        self.nodes = {}
        self.blocks = {}
        self._walk(self.nbt_root[1], 0x81)
        self._walk(self.bbt_root[1], 0x80)

    def read(self, off, n):
        self.f.seek(off)
        return self.f.read(n)

    def _walk(self, ib, ptype):
        p = self.read(ib, 512)
        assert p[496] == ptype, 'page type'
        c, cmax, cb, level = p[488], p[489], p[490], p[491]
        for i in range(c):
            e = p[i * cb:(i + 1) * cb]
            if level > 0:
                self._walk(struct.unpack_from('<Q', e, 16)[0], ptype)
            elif ptype == 0x81:
                nid, data, sub, parent = struct.unpack_from('<QQQI', e)
                self.nodes[nid & 0xFFFFFFFF] = (data, sub, parent)
            else:
                bid, bib, bcb, refs = struct.unpack_from('<QQHH', e)
                self.blocks[bid & ~1] = (bib, bcb, refs)

    def block(self, bid):
        ib, cb, refs = self.blocks[bid & ~1]
        data = bytearray(self.read(ib, cb))
        if not (bid & 2) and self.crypt == 1:
            data = bytearray(PERM[b] for b in data)
        return bytes(data)

    def data(self, bid):
        if bid == 0:
            return b''
        raw = self.block(bid)
        if not (bid & 2):
            return raw
        btype, level, count, total = struct.unpack_from('<BBHI', raw)
        assert btype == 1
        out = b''.join(self.data(struct.unpack_from('<Q', raw, 8 + 8 * i)[0]) for i in range(count))
        assert len(out) == total, 'data tree total'
        return out

    def data_pages(self, bid):
        """Node data as its list of blocks (heap pages)."""
        if bid == 0:
            return [b'']
        raw = self.block(bid)
        if not (bid & 2):
            return [raw]
        btype, level, count, total = struct.unpack_from('<BBHI', raw)
        pages = []
        for i in range(count):
            pages += self.data_pages(struct.unpack_from('<Q', raw, 8 + 8 * i)[0])
        return pages

    def subnodes(self, bid):
        out = {}
        if bid == 0:
            return out
        raw = self.block(bid)
        btype, level, count = struct.unpack_from('<BBH', raw)
        assert btype == 2
        for i in range(count):
            if level == 0:
                nid, data, sub = struct.unpack_from('<QQQ', raw, 8 + 24 * i)
                out[nid & 0xFFFFFFFF] = (data, sub)
            else:
                nid, child = struct.unpack_from('<QQ', raw, 8 + 16 * i)
                out.update(self.subnodes(child))
        return out


class Heap:
    def __init__(self, pages):
        self.pages = pages
        assert pages[0][2] == 0xEC, 'heap signature'
        self.client = pages[0][3]
        self.root = struct.unpack_from('<I', pages[0], 4)[0]

    def get(self, hid):
        if hid == 0:
            return b''
        page = self.pages[hid >> 16]
        index = (hid >> 5) & 0x7FF
        ibm = struct.unpack_from('<H', page, 0)[0]
        calloc = struct.unpack_from('<H', page, ibm)[0]
        assert 1 <= index <= calloc, 'hid index'
        a, b = struct.unpack_from('<HH', page, ibm + 4 + 2 * (index - 1))
        return page[a:b]

    def bth(self, hid):
        h = self.get(hid)
        assert h[0] == 0xB5
        ck, cd, levels, root = h[1], h[2], h[3], struct.unpack_from('<I', h, 4)[0]
        out = []

        def walk(hid, level):
            node = self.get(hid)
            size = ck + (4 if level else cd)
            for at in range(0, len(node), size):
                if level:
                    walk(struct.unpack_from('<I', node, at + ck)[0], level - 1)
                else:
                    out.append((node[at:at + ck], node[at + ck:at + size]))
        if root:
            walk(root, levels)
        return out


FIXED = {0x2: 2, 0x3: 4, 0x4: 4, 0x5: 8, 0x6: 8, 0x7: 8, 0xA: 4, 0xB: 1, 0x14: 8, 0x40: 8}


def value_of(store, heap, subs, hnid):
    if hnid == 0:
        return b''
    if hnid & 0x1F == 0:
        return heap.get(hnid)
    return store.data(subs[hnid][0])


def read_pc(store, data_bid, sub_bid):
    heap = Heap(store.data_pages(data_bid))
    assert heap.client == 0xBC, 'not a property context'
    subs = store.subnodes(sub_bid)
    props = {}
    for key, rec in heap.bth(heap.root):
        pid = struct.unpack('<H', key)[0]
        ptype, hnid = struct.unpack('<HI', rec)
        if ptype in FIXED and FIXED[ptype] <= 4:
            val = rec[2:2 + FIXED[ptype]]
        else:
            val = value_of(store, heap, subs, hnid)
        props[(pid << 16) | ptype] = val
    return props


def read_tc(store, data_bid, sub_bid):
    heap = Heap(store.data_pages(data_bid))
    assert heap.client == 0x7C, 'not a table context'
    subs = store.subnodes(sub_bid)
    info = heap.get(heap.root)
    ccols = info[1]
    ends = struct.unpack_from('<4H', info, 2)
    hid_index, hnid_rows = struct.unpack_from('<II', info, 10)
    cols = [struct.unpack_from('<IHBB', info, 22 + 8 * i) for i in range(ccols)]
    index = [(struct.unpack('<I', k)[0], struct.unpack('<I', v)[0]) for k, v in heap.bth(hid_index)]
    if hnid_rows == 0:
        matrix = b''
    elif hnid_rows & 0x1F == 0:
        matrix = heap.get(hnid_rows)
    else:
        matrix = b''.join(p.ljust(8176, b'\0') for p in store.data_pages(subs[hnid_rows][0]))
    size = ends[3]
    per_block = 8176 // size
    rows = []
    for row_id, pos in sorted(index, key=lambda x: x[1]):
        at = (pos // per_block) * 8176 + (pos % per_block) * size
        row = matrix[at:at + size]
        cells = {}
        for tag, off, cb, bit in cols:
            if not row[ends[2] + bit // 8] & (0x80 >> (bit % 8)):
                continue
            cell = row[off:off + cb]
            ptype = tag & 0xFFFF
            if ptype in FIXED:
                cells[tag] = cell
            else:
                cells[tag] = value_of(store, heap, subs, struct.unpack('<I', cell)[0])
        rows.append((row_id, cells))
    return [c[0] for c in cols], rows


def load_permute(md_path):
    """The permute table, read from the format description at run time."""
    import re
    text = open(md_path, encoding='utf-8').read()
    nums = []
    for line in text[text.index('mpbbCrypt'):].splitlines():
        m = re.match(r'^\d+\.\s+((?:\d+,\s*)+)$', line.strip())
        if m:
            nums += [int(x) for x in m.group(1).replace(',', ' ').split()]
        if len(nums) >= 256:
            break
    return nums[:256]


def set_encode_table(encode):
    global PERM
    dec = [0] * 256
    for i, v in enumerate(encode):
        dec[v] = i
    PERM = dec
