#!/usr/bin/python3
"""Reads a .msg file with olefile (strict) and prints what the tests compare, one item a line.

Usage: msg_dump.py FILE
Lines (text fields hex-encoded UTF-8 so that any character survives):
  error <text>                        a fault in the compound file or the [MS-OXMSG] layout
  storage <path> <clsid hex>
  stream <path> <size> <sha256>
  text <path> <hex of the decoded UTF-16LE value>   for PtypString streams
  prop <storage path> <tag hex> <flags> <8-byte field hex>
  header <storage path> <hex of the property stream header>
Paths are joined with "/", the root storage is "".
"""
import hashlib
import struct
import sys

import olefile

VARIABLE = {0x001F, 0x001E, 0x0102, 0x0048, 0x000D, 0x00FB, 0x00FD, 0x00FE}


def is_in_stream(ptype):
    return ptype in VARIABLE or ptype & 0x1000


def main():
    path = sys.argv[1]
    out = []
    errors = []
    try:
        ole = olefile.OleFileIO(path, raise_defects=olefile.DEFECT_INCORRECT)
    except Exception as exc:  # olefile raises plain IOError/ValueError subclasses
        print("error " + ("olefile refused the file: %s" % exc).encode().hex())
        return 1
    for issue in ole.parsing_issues:
        errors.append("olefile: %s" % (issue,))

    streams = {}
    for entry in ole.listdir(streams=True, storages=False):
        data = ole.openstream(entry).read()
        if len(data) != ole.get_size(entry):
            errors.append("%s: read %d bytes of %d" % ("/".join(entry), len(data),
                                                       ole.get_size(entry)))
        streams["/".join(entry)] = data
    storages = ["/".join(e) for e in ole.listdir(streams=False, storages=True)]
    out.append("storage  " + ole.root.clsid.replace("-", ""))
    for s in storages:
        out.append("storage %s %s" % (s, ole.getclsid(s).replace("-", "")))
    for name, data in sorted(streams.items()):
        out.append("stream %s %d %s" % (name, len(data), hashlib.sha256(data).hexdigest()))
        if name.endswith("001F") and "__nameid" not in name:
            if len(data) == 0 or len(data) % 2:
                errors.append("%s: PtypString stream of %d bytes" % (name, len(data)))
            out.append("text %s %s" % (name, data.decode("utf-16-le", "replace").encode().hex()))

    # [MS-OXMSG] layout: every object storage and its property stream.
    def children(prefix):
        plen = len(prefix.split("/")) if prefix else 0
        names = set()
        for n in list(streams) + storages:
            parts = n.split("/")
            if len(parts) == plen + 1 and "/".join(parts[:plen]) == prefix:
                names.add(parts[-1])
        return names

    def check_object(prefix, header_size, is_message):
        kids = children(prefix)
        join = (lambda n: prefix + "/" + n) if prefix else (lambda n: n)
        props = streams.get(join("__properties_version1.0"))
        if props is None:
            errors.append("%s: no property stream" % (prefix or "root"))
            return
        if (len(props) - header_size) % 16 or len(props) < header_size:
            errors.append("%s: property stream of %d bytes" % (prefix or "root", len(props)))
            return
        out.append("header %s %s" % (prefix, props[:header_size].hex()))
        seen = set()
        for off in range(header_size, len(props), 16):
            tag, flags = struct.unpack_from("<II", props, off)
            field = props[off + 8:off + 16]
            out.append("prop %s %08X %d %s" % (prefix, tag, flags, field.hex()))
            ptype, pid = tag & 0xFFFF, tag >> 16
            if pid in seen:
                errors.append("%s: property id %04X twice" % (prefix or "root", pid))
            seen.add(pid)
            sname = "__substg1.0_%08X" % tag
            if not is_in_stream(ptype):
                continue
            size = struct.unpack_from("<I", field)[0]
            if field[4:] != bytes(4):
                errors.append("%s %08X: reserved bytes not zero" % (prefix or "root", tag))
            if ptype == 0x000D:
                if size != 0xFFFFFFFF or sname not in kids or join(sname) not in storages:
                    errors.append("%s %08X: object without its storage" % (prefix or "root", tag))
                continue
            data = streams.get(join(sname))
            if data is None:
                errors.append("%s: no stream for %08X" % (prefix or "root", tag))
                continue
            want = len(data) + (2 if ptype == 0x001F else 1 if ptype == 0x001E else 0)
            if size != want:
                errors.append("%s %08X: Size %d, stream %d" % (prefix or "root", tag, size,
                                                              len(data)))
            if ptype == 0x101F:
                lengths = struct.unpack("<%dI" % (len(data) // 4), data)
                for i, n in enumerate(lengths):
                    value = streams.get(join("%s-%08X" % (sname, i)))
                    if value is None or len(value) != n or value[-2:] != b"\0\0":
                        errors.append("%s %08X: value %d does not match its length" %
                                      (prefix or "root", tag, i))
        for k in kids:
            if k.startswith("__substg1.0_") and "-" not in k:
                tag = int(k[12:20], 16)
                if tag not in [struct.unpack_from("<I", props, o)[0]
                               for o in range(header_size, len(props), 16)]:
                    errors.append("%s: stream %s has no property entry" % (prefix or "root", k))
        if is_message:
            recips = sorted(k for k in kids if k.startswith("__recip_version1.0_#"))
            attachs = sorted(k for k in kids if k.startswith("__attach_version1.0_#"))
            nr_next, na_next, nr, na = struct.unpack_from("<4I", props, 8)
            if nr != len(recips) or na != len(attachs) or nr_next < nr or na_next < na:
                errors.append("%s: header counts %d/%d, storages %d/%d" %
                              (prefix or "root", nr, na, len(recips), len(attachs)))
            for r in recips:
                check_object(join(r), 8, False)
            for a in attachs:
                check_object(join(a), 8, False)
                emb = join(a) + "/__substg1.0_3701000D"
                if emb in storages:
                    check_object(emb, 24, True)
                    if "__nameid_version1.0" in children(emb):
                        errors.append("%s: embedded message with its own name map" % emb)

    check_object("", 32, True)
    for s in ("__substg1.0_00020102", "__substg1.0_00030102", "__substg1.0_00040102"):
        if "__nameid_version1.0/" + s not in streams:
            errors.append("__nameid_version1.0/%s missing" % s)
    for line in out:
        print(line)
    for e in errors:
        print("error " + e.encode().hex())
    return 0


if __name__ == "__main__":
    sys.exit(main())
