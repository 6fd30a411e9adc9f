#!/usr/bin/env python3
"""pe_resources.py FILE [TYPE NAME OUT]: an independent reader of a PE32
file's headers and resource tree, for the tests of `qmkpack setup`. Prints
one line per leaf ("leaf TYPE NAME LANGUAGE FILE-OFFSET SIZE"), one per
section ("section NAME RVA VIRTUAL-SIZE RAW RAW-SIZE"), SizeOfImage as
stored and as the sections need it ("image"), and the header checksum as
stored and as computed ("checksum"). Fails on a directory table out of
order, a section out of alignment, an address in no section. With TYPE,
NAME and OUT, writes that leaf's bytes to OUT."""
import struct, sys

def main(path, want=None):
    b = open(path, 'rb').read()
    pe = struct.unpack_from('<I', b, 0x3C)[0]
    assert b[pe:pe + 4] == b'PE\0\0'
    machine, nsec, _, _, _, optsize, chars = struct.unpack_from('<HHIIIHH', b, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from('<H', b, opt)[0]
    salign, falign = struct.unpack_from('<II', b, opt + 32)
    size_image, size_headers, checksum = struct.unpack_from('<III', b, opt + 56)
    dirs = [struct.unpack_from('<II', b, opt + 96 + 8 * k) for k in range(16)]
    table = opt + optsize
    secs = []
    for i in range(nsec):
        name, vsize, rva, rawsize, raw = struct.unpack_from('<8sIIII', b, table + 40 * i)
        secs.append((name.rstrip(b'\0').decode(), vsize, rva, rawsize, raw))
    def off(rva):
        for name, vsize, srva, rawsize, raw in secs:
            if srva <= rva < srva + max(vsize, rawsize):
                return raw + rva - srva
        raise SystemExit('rva %x in no section' % rva)
    rsrc = off(dirs[2][0])
    def key(v):
        if v & 0x80000000:
            o = rsrc + (v & 0x7FFFFFFF)
            n = struct.unpack_from('<H', b, o)[0]
            return b[o + 2:o + 2 + 2 * n].decode('utf-16-le')
        return v
    def walk(o, depth, path):
        named, ids = struct.unpack_from('<HH', b, o + 12)
        keys = []
        for i in range(named + ids):
            k, v = struct.unpack_from('<II', b, o + 16 + 8 * i)
            keys.append(key(k))
            if v & 0x80000000:
                walk(rsrc + (v & 0x7FFFFFFF), depth + 1, path + [key(k)])
            else:
                data_rva, size, cp, _ = struct.unpack_from('<IIII', b, rsrc + v)
                print('leaf', *(path + [k & 0xFFFF]), off(data_rva), size)
                if want and [str(x) for x in path] == want[:2]:
                    open(want[2], 'wb').write(b[off(data_rva):off(data_rva) + size])
        names = [k for k in keys if isinstance(k, str)]
        numbers = [k for k in keys if isinstance(k, int)]
        assert keys == names + numbers and names == sorted(names, key=str.upper) and numbers == sorted(numbers), keys
    walk(rsrc, 0, [])
    for name, vsize, rva, rawsize, raw in secs:
        print('section', name, hex(rva), vsize, raw, rawsize)
        assert rva % salign == 0 and raw % falign == 0 and raw + rawsize <= len(b)
    # The resources and the base relocations are where the directory says.
    for name, k in (('.rsrc', 2), ('.reloc', 5)):
        for sname, vsize, rva, rawsize, raw in secs:
            if sname == name:
                assert dirs[k][0] == rva and dirs[k][1] <= vsize, (name, dirs[k], rva, vsize)
    last = secs[-1]
    expect_image = (last[2] + last[1] + salign - 1) // salign * salign
    print('image', size_image, expect_image)
    s = 0
    for i in range(0, len(b), 2):
        if i in (opt + 64, opt + 66):
            continue
        s += b[i] | ((b[i + 1] << 8) if i + 1 < len(b) else 0)
        s = (s & 0xFFFF) + (s >> 16)
    s = (s & 0xFFFF) + (s >> 16)
    print('checksum', checksum, s + len(b))

main(sys.argv[1], sys.argv[2:5] if len(sys.argv) == 5 else None)
