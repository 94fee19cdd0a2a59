#!/usr/bin/python3
"""Structural check of a compound file ([MS-CFB]) by raw parsing.

Usage: cfb_check.py FILE
Prints "ok" (exit 0) or one "error: ..." line per fault found (exit 1). Deviations that the
format document describes but every reader tolerates are printed as "note: ..." and do not
fail the check. Checks: header fields, DIFAT, FAT and mini FAT contents, every sector chain
(in range, ends in ENDOFCHAIN, no cycle, no sector shared between chains or left dangling,
length matching the stream size), directory entries, and the sibling trees (every entry
reached once, binary-search order by the [MS-CFB] 2.6.4 name comparison, no two consecutive
red nodes, unique names).
"""
import struct
import sys

FREESECT, ENDOFCHAIN, FATSECT, DIFSECT = 0xFFFFFFFF, 0xFFFFFFFE, 0xFFFFFFFD, 0xFFFFFFFC
MAXREGSECT = 0xFFFFFFFA
NOSTREAM = 0xFFFFFFFF
SIGNATURE = bytes.fromhex("D0CF11E0A1B11AE1")


class Checker:
    def __init__(self, data):
        self.data = data
        self.errors = []
        self.notes = []
        self.owner = {}  # sector -> name of the chain (or table) that uses it

    def error(self, text):
        self.errors.append(text)

    def note(self, text):
        if text not in self.notes:
            self.notes.append(text)

    # ---- sectors -------------------------------------------------------------------------
    def sector(self, n):
        off = (n + 1) * self.ssize
        return self.data[off:off + self.ssize]

    def sector_in_file(self, n):
        return n <= MAXREGSECT and (n + 2) * self.ssize <= len(self.data)

    def claim(self, n, name):
        if n in self.owner:
            self.error("sector %d belongs to both %s and %s" % (n, self.owner[n], name))
            return False
        self.owner[n] = name
        return True

    def chain(self, start, table, name, in_file, mini=False):
        """Follows a chain; returns the sector list (possibly partial on error)."""
        result, seen, cur = [], set(), start
        while cur != ENDOFCHAIN:
            if cur >= len(table) or (not mini and not in_file(cur)) or cur > MAXREGSECT:
                self.error("%s: chain points to sector 0x%X, outside the file" % (name, cur))
                return result
            if cur in seen:
                self.error("%s: chain loops back to sector %d" % (name, cur))
                return result
            seen.add(cur)
            result.append(cur)
            nxt = table[cur]
            if nxt in (FREESECT, FATSECT, DIFSECT):
                self.error("%s: sector %d in the chain is marked 0x%08X" % (name, cur, nxt))
                return result
            cur = nxt
        return result

    # ---- the whole check -----------------------------------------------------------------
    def run(self):
        d = self.data
        if len(d) < 512:
            self.error("file shorter than a header (%d bytes)" % len(d))
            return
        (sig, clsid, minor, major, order, sshift, mshift, res1, res2, ndir, nfat, dirstart,
         trans, cutoff, mfstart, nmf, difstart, ndif) = struct.unpack_from(
            "<8s16sHHHHHHIIIIIIIIII", d, 0)
        if sig != SIGNATURE:
            self.error("bad header signature")
            return
        if clsid != bytes(16):
            self.error("header CLSID is not zero")
        if major not in (3, 4) or (major == 3 and sshift != 9) or (major == 4 and sshift != 12):
            self.error("major version %d with sector shift %d" % (major, sshift))
            return
        if minor != 0x3E:
            self.note("minor version 0x%X instead of 0x3E" % minor)
        if order != 0xFFFE:
            self.error("byte order mark 0x%04X" % order)
        if mshift != 6:
            self.error("mini sector shift %d" % mshift)
        if res1 or res2:
            self.error("reserved header bytes are not zero")
        if major == 3 and ndir != 0:
            self.error("number of directory sectors %d in a version 3 file" % ndir)
        if trans != 0:
            self.note("transaction signature %d" % trans)
        if cutoff != 4096:
            self.error("mini stream cutoff %d" % cutoff)
        self.ssize = 1 << sshift
        if major == 3 and len(d) > 0x80000000:
            self.error("version 3 file larger than 2 GB")
        if (len(d) % self.ssize) != 0:
            self.note("file length %d is not a whole number of sectors" % len(d))
        nsect = max(0, len(d) // self.ssize - 1)
        ents = self.ssize // 4

        # DIFAT: 109 entries in the header, then the DIFAT sector chain.
        difat = list(struct.unpack_from("<109I", d, 0x4C))
        cur, seen = difstart, set()
        for i in range(ndif):
            if not self.sector_in_file(cur) or cur in seen:
                self.error("DIFAT sector %d (0x%X) outside the file or repeated" % (i, cur))
                return
            seen.add(cur)
            self.claim(cur, "DIFAT")
            vals = struct.unpack("<%dI" % ents, self.sector(cur))
            difat.extend(vals[:-1])
            cur = vals[-1]
        if cur != ENDOFCHAIN and not (ndif == 0 and cur == FREESECT):
            self.error("DIFAT chain ends in 0x%08X instead of ENDOFCHAIN" % cur)
        fat_sectors = difat[:nfat]
        if any(x != FREESECT for x in difat[nfat:]):
            self.error("DIFAT lists more FAT sectors than the header's count %d" % nfat)
        fat = []
        for i, s in enumerate(fat_sectors):
            if not self.sector_in_file(s):
                self.error("FAT sector %d is at 0x%X, outside the file" % (i, s))
                return
            self.claim(s, "FAT")
            fat.extend(struct.unpack("<%dI" % ents, self.sector(s)))
        if len(fat) < nsect:
            self.error("FAT covers %d sectors, the file has %d" % (len(fat), nsect))
            return
        for s in fat_sectors:
            if fat[s] != FATSECT:
                self.error("FAT sector %d not marked FATSECT in the FAT" % s)
        for s in (x for x, o in self.owner.items() if o == "DIFAT"):
            if fat[s] != DIFSECT:
                self.error("DIFAT sector %d not marked DIFSECT in the FAT" % s)
        for i, v in enumerate(fat):
            if i >= nsect and v != FREESECT:
                self.error("FAT entry %d past the end of the file is 0x%08X" % (i, v))
            elif v == FATSECT and i not in fat_sectors:
                self.error("sector %d marked FATSECT but not listed in the DIFAT" % i)
            elif v == DIFSECT and self.owner.get(i) != "DIFAT":
                self.error("sector %d marked DIFSECT but not in the DIFAT chain" % i)
            elif v <= MAXREGSECT and v >= nsect:
                self.error("FAT entry %d points to sector %d, outside the file" % (i, v))
            elif MAXREGSECT < v < DIFSECT:
                self.error("FAT entry %d holds the reserved value 0x%08X" % (i, v))
        in_file = lambda n: n < nsect

        # Directory.
        dsecs = self.chain(dirstart, fat, "directory", in_file)
        for s in dsecs:
            self.claim(s, "directory")
        raw = b"".join(self.sector(s) for s in dsecs)
        entries = [self.parse_entry(raw[i:i + 128], i // 128) for i in range(0, len(raw), 128)]
        if not entries or entries[0]["type"] != 5:
            self.error("entry 0 is not the root storage")
            return
        if entries[0]["name"] != "Root Entry":
            self.error("root entry is named %r" % entries[0]["name"])
        if sum(1 for e in entries if e["type"] == 5) != 1:
            self.error("more than one root storage entry")

        # Mini FAT and mini stream.
        msecs = self.chain(mfstart, fat, "mini FAT", in_file) if mfstart != ENDOFCHAIN else []
        if len(msecs) != nmf:
            self.error("mini FAT has %d sectors, the header says %d" % (len(msecs), nmf))
        for s in msecs:
            self.claim(s, "mini FAT")
        minifat = []
        for s in msecs:
            minifat.extend(struct.unpack("<%dI" % ents, self.sector(s)))
        root = entries[0]
        ministream = []
        if root["start"] != ENDOFCHAIN:
            ministream = self.chain(root["start"], fat, "mini stream", in_file)
            for s in ministream:
                self.claim(s, "mini stream")
        if len(ministream) != -(-root["size"] // self.ssize):
            self.error("mini stream has %d sectors for %d bytes" % (len(ministream), root["size"]))
        mini_count = len(ministream) * self.ssize // 64
        mini_owner = {}

        # Sibling trees, from the root down.
        reached = {0: "Root Entry"}
        self.walk_storage(entries, 0, "", reached)
        for e in entries:
            if e["type"] == 0:
                if e["index"] in reached:
                    self.error("unallocated entry %d is linked into a tree" % e["index"])
                if e["raw_nonzero"]:
                    self.error("unallocated entry %d holds data" % e["index"])
                if e["links"] != (NOSTREAM, NOSTREAM, NOSTREAM):
                    self.note("unallocated directory entries have zero sibling/child fields "
                              "instead of NOSTREAM")
            elif e["index"] not in reached:
                self.error("entry %d (%r) is not reachable from the root" %
                           (e["index"], e["name"]))

        # Streams and storages.
        for e in entries:
            name = reached.get(e["index"], e["name"])
            if e["type"] == 1:
                if e["size"] != 0:
                    self.error("storage %s has size %d" % (name, e["size"]))
                if e["start"] not in (0,):
                    self.note("storages have starting sector 0x%X instead of 0" % e["start"])
            if e["type"] == 2:
                if e["ctime"] or e["mtime"]:
                    self.error("stream %s has time stamps" % name)
                if e["child"] != NOSTREAM:
                    self.error("stream %s has a child" % name)
                if e["clsid"] != bytes(16):
                    self.error("stream %s has a CLSID" % name)
                if major == 3 and e["size_high"]:
                    self.error("stream %s has a size above 4 GB in a version 3 file" % name)
                size = e["size"]
                if size == 0:
                    if e["start"] != ENDOFCHAIN:
                        self.error("empty stream %s starts at 0x%X, not ENDOFCHAIN" %
                                   (name, e["start"]))
                elif size < cutoff:
                    secs = self.chain(e["start"], minifat, "stream " + name, None, mini=True)
                    for s in secs:
                        if s >= mini_count:
                            self.error("stream %s uses mini sector %d beyond the mini stream" %
                                       (name, s))
                        if s in mini_owner:
                            self.error("mini sector %d belongs to both %s and %s" %
                                       (s, mini_owner[s], name))
                        mini_owner[s] = name
                    if len(secs) != -(-size // 64):
                        self.error("stream %s: %d mini sectors for %d bytes" %
                                   (name, len(secs), size))
                else:
                    secs = self.chain(e["start"], fat, "stream " + name, in_file)
                    for s in secs:
                        self.claim(s, "stream " + name)
                    if len(secs) != -(-size // self.ssize):
                        self.error("stream %s: %d sectors for %d bytes" % (name, len(secs), size))
        if root["ctime"]:
            self.error("root entry has a creation time")
        for i in range(len(minifat)):
            if i not in mini_owner and minifat[i] not in (FREESECT,):
                self.error("mini sector %d is allocated (0x%08X) but in no stream" %
                           (i, minifat[i]))
        for i in range(nsect):
            if fat[i] != FREESECT and i not in self.owner:
                self.error("sector %d is allocated (0x%08X) but in no chain" % (i, fat[i]))

    def parse_entry(self, b, index):
        (name, nlen, typ, color, left, right, child, clsid, state, ctime, mtime, start,
         size_lo, size_hi) = struct.unpack("<64sHBBIII16sIQQIII", b)
        e = {"index": index, "type": typ, "color": color, "left": left, "right": right,
             "child": child, "clsid": clsid, "ctime": ctime, "mtime": mtime, "start": start,
             "size": size_lo, "size_high": size_hi, "links": (left, right, child),
             "name": "", "nlen": nlen}
        if typ == 0:
            e["raw_nonzero"] = any(b[:0x44]) or any(b[0x50:])
            return e
        e["raw_nonzero"] = False
        if typ not in (1, 2, 5):
            self.error("entry %d has object type %d" % (index, typ))
        if color not in (0, 1):
            self.error("entry %d has colour %d" % (index, color))
        if nlen < 2 or nlen > 64 or nlen % 2:
            self.error("entry %d has name length %d" % (index, nlen))
            return e
        units = struct.unpack("<%dH" % (nlen // 2), name[:nlen])
        if units[-1] != 0 or 0 in units[:-1]:
            self.error("entry %d: name not terminated where its length says" % index)
        e["units"] = units[:-1]
        e["name"] = name[:nlen - 2].decode("utf-16-le", "replace")
        if any(c in e["name"] for c in "/\\:!"):
            self.error("entry %d: illegal character in name %r" % (index, e["name"]))
        return e

    @staticmethod
    def key(e):
        # [MS-CFB] 2.6.4: shorter names first, then code unit by code unit after simple
        # upper-casing (surrogates are left alone).
        up = []
        for u in e.get("units", ()):
            c = chr(u) if not 0xD800 <= u <= 0xDFFF else None
            if c is not None and len(c.upper()) == 1:
                up.append(ord(c.upper()))
            else:
                up.append(u)
        return (e["nlen"], tuple(up))

    def walk_storage(self, entries, index, path, reached):
        top = entries[index]["child"]
        if top == NOSTREAM:
            return
        order = []
        stack, node = [], top
        visited_here = set()
        # In-order traversal with checks of every link.
        def valid(i, via):
            if i == NOSTREAM:
                return False
            if i >= len(entries):
                self.error("%s: link %s to entry %d outside the directory" % (path or "/", via, i))
                return False
            if i in reached or i in visited_here:
                self.error("%s: entry %d is reached twice (%s)" % (path or "/", i, via))
                return False
            if entries[i]["type"] not in (1, 2):
                self.error("%s: link %s to entry %d of type %d" %
                           (path or "/", via, i, entries[i]["type"]))
                return False
            visited_here.add(i)
            return True
        if not valid(top, "child"):
            return
        stack = []
        node = top
        while stack or node is not None:
            while node is not None:
                stack.append(node)
                left = entries[node]["left"]
                node = left if valid(left, "left") else None
            node = stack.pop()
            order.append(node)
            right = entries[node]["right"]
            node = right if valid(right, "right") else None
        for i in order:
            e = entries[i]
            reached[i] = path + "/" + e["name"]
            if e["color"] == 0:
                for c in (e["left"], e["right"]):
                    if c in visited_here and entries[c]["color"] == 0:
                        self.error("%s: red entry %d has a red child %d" % (path or "/", i, c))
        keys = [self.key(entries[i]) for i in order]
        for a, b, i, j in zip(keys, keys[1:], order, order[1:]):
            if a == b:
                self.error("%s: two entries named %r" % (path or "/", entries[j]["name"]))
            elif a > b:
                self.error("%s: %r and %r are out of order in the sibling tree" %
                           (path or "/", entries[i]["name"], entries[j]["name"]))
        for i in order:
            if entries[i]["type"] == 1:
                self.walk_storage(entries, i, reached[i], reached)


def main():
    if len(sys.argv) != 2:
        print("usage: cfb_check.py FILE", file=sys.stderr)
        return 2
    with open(sys.argv[1], "rb") as f:
        data = f.read()
    c = Checker(data)
    try:
        c.run()
    except (struct.error, IndexError, KeyError) as exc:
        c.error("structure cut short: %s" % exc)
    for n in c.notes:
        print("note: " + n)
    for e in c.errors:
        print("error: " + e)
    if not c.errors:
        print("ok")
    return 1 if c.errors else 0


if __name__ == "__main__":
    sys.exit(main())
