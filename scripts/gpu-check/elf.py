"""Section names and NEEDED entries of an ELF file, read directly: no readelf, no pipes.

    python3 elf.py --kernels FILE...   prints the names of the files that hold device code
"""
import struct
import sys

# Device code that nvcc links into a host executable lives in this section.
FATBIN_SECTION = ".nv_fatbin"


class NotElf(Exception):
    pass


def _read(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        raise NotElf("not an ELF file")
    if data[4] not in (1, 2) or data[5] not in (1, 2):
        raise NotElf("unknown ELF class or byte order")
    return data


def _sections(data):
    """[(name, type, offset, size, link)] of every section."""
    is64 = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    if is64:
        shoff, = struct.unpack_from(end + "Q", data, 0x28)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x3A)
        entry = end + "IIQQQQIIQQ"
    else:
        shoff, = struct.unpack_from(end + "I", data, 0x20)
        shentsize, shnum, shstrndx = struct.unpack_from(end + "HHH", data, 0x2E)
        entry = end + "IIIIIIIIII"
    if shoff == 0 or shnum == 0:
        return []
    if shoff + shnum * shentsize > len(data):
        raise NotElf("section table past the end of the file")
    raw = [struct.unpack_from(entry, data, shoff + i * shentsize) for i in range(shnum)]
    # name, type, flags, addr, offset, size, link, ...
    names_at = raw[shstrndx][4] if shstrndx < shnum else 0

    def name(off):
        start = names_at + off
        return data[start:data.index(b"\0", start)].decode("ascii", "replace")

    return [(name(s[0]), s[1], s[4], s[5], s[6]) for s in raw]


def section_names(path):
    return [s[0] for s in _sections(_read(path))]


def has_device_code(path):
    return FATBIN_SECTION in section_names(path)


def needed(path):
    """The DT_NEEDED entries (shared libraries the file asks for), in order."""
    data = _read(path)
    is64 = data[4] == 2
    end = "<" if data[5] == 1 else ">"
    secs = _sections(data)
    dyn_type = 6  # SHT_DYNAMIC
    out = []
    for name, typ, off, size, link in secs:
        if typ != dyn_type:
            continue
        strtab_off = secs[link][2]
        fmt, step = (end + "qQ", 16) if is64 else (end + "iI", 8)
        for at in range(off, off + size, step):
            tag, val = struct.unpack_from(fmt, data, at)
            if tag == 0:
                break
            if tag == 1:  # DT_NEEDED
                start = strtab_off + val
                out.append(data[start:data.index(b"\0", start)].decode("ascii", "replace"))
    return out


if __name__ == "__main__":
    if len(sys.argv) < 2 or sys.argv[1] != "--kernels":
        sys.exit(__doc__)
    status = 0
    for f in sys.argv[2:]:
        try:
            if has_device_code(f):
                print(f)
        except (OSError, NotElf, struct.error, ValueError) as e:
            print("elf.py: %s: %s" % (f, e), file=sys.stderr)
            status = 2
    sys.exit(status)
