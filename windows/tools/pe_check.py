#!/usr/bin/env python3
"""Checks a Windows image (PE32 or PE32+) as the distribution needs it.

Always: the machine type given, the PE checksum in the header equal to the
one computed over the file, and no section both writable and executable.
On request: the named exports exactly a given set, the imported DLLs exactly
a given set, and every imported function in an allow list ("DLL function" a
line, "DLL #ordinal" for imports by ordinal; # starts a comment).

    pe_check.py IMAGE --machine i386|x86-64 [--exports "a b ..."]
                [--dlls "KERNEL32.dll ..."] [--allow LIST]... [--list-imports]

Prints one line about the image, or the faults found (exit code 1).
"""
import argparse
import array
import struct
import sys

MACHINES = {0x14C: "i386", 0x8664: "x86-64"}
SCN_EXECUTE = 0x20000000
SCN_WRITE = 0x80000000


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        coff = self.pe + 4
        self.machine, nsections, _, _, _, optsize, _ = struct.unpack_from("<HHIIIHH", data, coff)
        self.opt = coff + 20
        magic = struct.unpack_from("<H", data, self.opt)[0]
        if magic not in (0x10B, 0x20B):
            raise ValueError("unknown optional header 0x%x" % magic)
        self.wide = magic == 0x20B
        self.checksum_at = self.opt + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_at)[0]
        self.os_version = struct.unpack_from("<HH", data, self.opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", data, self.opt + 48)
        dirs = self.opt + (112 if self.wide else 96)
        count = struct.unpack_from("<I", data, dirs - 4)[0]
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * k) for k in range(count)]
        self.sections = []
        at = self.opt + optsize
        for k in range(nsections):
            name, vsize, va, rawsize, raw = struct.unpack_from("<8sIIII", data, at + 40 * k)
            flags = struct.unpack_from("<I", data, at + 40 * k + 36)[0]
            self.sections.append((name.rstrip(b"\0").decode("latin-1"), va, max(vsize, rawsize), raw, flags))

    def offset(self, rva):
        for _, va, size, raw, _ in self.sections:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError("RVA 0x%x is in no section" % rva)

    def string(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("latin-1")

    def computed_checksum(self):
        data = self.data[:self.checksum_at] + b"\0\0\0\0" + self.data[self.checksum_at + 4:]
        if len(data) % 2:
            data += b"\0"
        words = array.array("H", data)
        if sys.byteorder == "big":
            words.byteswap()
        # 16-bit sums with the carries added back in: the same as folding
        # the whole sum.
        total = sum(words)
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def wx_sections(self):
        return [s[0] for s in self.sections if s[4] & SCN_EXECUTE and s[4] & SCN_WRITE]

    def exports(self):
        if len(self.dirs) < 1 or self.dirs[0][0] == 0:
            return set()
        at = self.offset(self.dirs[0][0])
        nnames = struct.unpack_from("<I", self.data, at + 24)[0]
        names = struct.unpack_from("<I", self.data, at + 32)[0]
        return {self.string(struct.unpack_from("<I", self.data, self.offset(names) + 4 * k)[0]) for k in range(nnames)}

    def imports(self):
        """{dll: [function or '#ordinal', ...]} in the order of the table."""
        result = {}
        if len(self.dirs) < 2 or self.dirs[1][0] == 0:
            return result
        at = self.offset(self.dirs[1][0])
        size, fmt, flag = (8, "<Q", 1 << 63) if self.wide else (4, "<I", 1 << 31)
        while True:
            lookup, _, _, name, thunk = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            entries = result.setdefault(self.string(name), [])
            t = self.offset(lookup or thunk)
            while True:
                (v,) = struct.unpack_from(fmt, self.data, t)
                if v == 0:
                    break
                entries.append("#%d" % (v & 0xFFFF) if v & flag else self.string((v & 0x7FFFFFFF) + 2))
                t += size
            at += 20
        return result


def read_allow(paths):
    """The (dll in lower case, function) pairs of the lists: 'DLL function' a
    line, optionally followed by a ' # ' comment; lines starting with # are
    comments."""
    allowed = set()
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for number, line in enumerate(f, 1):
                words = line.split()
                if not words or words[0].startswith("#"):
                    continue
                if len(words) < 2 or (len(words) > 2 and words[2] != "#"):
                    raise ValueError("%s:%d: not 'DLL function [# comment]'" % (path, number))
                allowed.add((words[0].lower(), words[1]))
    return allowed


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("image")
    ap.add_argument("--machine", required=True, choices=sorted(MACHINES.values()))
    ap.add_argument("--exports", help="the named exports, exactly (blank-separated)")
    ap.add_argument("--dlls", help="the imported DLLs, exactly (blank-separated, any case)")
    ap.add_argument("--allow", action="append", default=[], help="allow list of imported functions")
    ap.add_argument("--list-imports", action="store_true", help="print 'DLL function' for every import")
    args = ap.parse_args(argv)

    with open(args.image, "rb") as f:
        image = Image(f.read())
    name = args.image.rsplit("/", 1)[-1]
    faults = []
    machine = MACHINES.get(image.machine, "0x%x" % image.machine)
    if machine != args.machine:
        faults.append("machine %s, expected %s" % (machine, args.machine))
    if image.checksum != image.computed_checksum():
        faults.append("PE checksum 0x%08x in the header, 0x%08x computed" % (image.checksum, image.computed_checksum()))
    for s in image.wx_sections():
        faults.append("section %s is writable and executable" % s)
    if args.exports is not None:
        got, want = image.exports(), set(args.exports.split())
        if got != want:
            faults.append("exports differ: extra %s, missing %s" % (sorted(got - want) or "none", sorted(want - got) or "none"))
    imports = image.imports()
    if args.list_imports:
        for dll, functions in imports.items():
            for fn in functions:
                print(dll, fn)
    if args.dlls is not None:
        got, want = sorted(d.lower() for d in imports), sorted(d.lower() for d in args.dlls.split())
        if got != want:
            faults.append("imports from %s, expected %s" % (" ".join(sorted(imports)), args.dlls))
    if args.allow:
        allowed = read_allow(args.allow)
        for dll, functions in imports.items():
            for fn in functions:
                if (dll.lower(), fn) not in allowed:
                    faults.append("imports %s from %s, which the allow list does not name" % (fn, dll))
    if faults:
        for fault in faults:
            print("pe_check: %s: %s" % (name, fault), file=sys.stderr)
        return 1
    count = sum(len(v) for v in imports.values())
    print("%s: %s, checksum 0x%08x right, no W+X section, subsystem %d.%02d, %d imports from %s" % (
        name, machine, image.checksum, image.subsystem_version[0], image.subsystem_version[1], count,
        " ".join(imports) or "nothing"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
