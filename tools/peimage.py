"""A built PE32+ image as the image checks read it: sections and their characteristics, the entry
point, .pdata, and the COFF symbol table with demangled names (llvm-cxxfilt)."""
import os
import pathlib
import struct
import subprocess
import sys

PROGRAM = os.path.basename(sys.argv[0])
IMAGE_SYM_DTYPE_FUNCTION = 0x20


class Image:
    def __init__(self, path):
        self.data = pathlib.Path(path).read_bytes()
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            sys.exit(f"{PROGRAM}: {path} is not a PE image")
        _, sections, _, symbols_at, symbols, optional_size, _ = struct.unpack_from("<HHIIIHH", self.data, pe + 4)
        optional = pe + 24
        if struct.unpack_from("<H", self.data, optional)[0] != 0x20B:
            sys.exit(f"{PROGRAM}: {path} is not a PE32+ image")
        self.sections = []
        self.characteristics = {}
        for index in range(sections):
            at = optional + optional_size + index * 40
            name = self.data[at:at + 8].rstrip(b"\0").decode()
            vsize, rva, raw_size, raw_at = struct.unpack_from("<IIII", self.data, at + 8)
            self.sections.append((name, rva, max(vsize, raw_size), raw_at))
            self.characteristics[name] = struct.unpack_from("<I", self.data, at + 36)[0]
        self.entry = struct.unpack_from("<I", self.data, optional + 16)[0]
        exception_rva, exception_size = struct.unpack_from("<II", self.data, optional + 112 + 3 * 8)
        self.functions = {}
        for at in range(exception_rva, exception_rva + exception_size, 12):
            begin, end, unwind = struct.unpack_from("<III", self.bytes(at, 12))
            self.functions[begin] = (end, unwind)
        self.symbols = self.read_symbols(symbols_at, symbols)

    def section_of(self, rva):
        for name, start, length, _ in self.sections:
            if start <= rva < start + length:
                return name
        return None

    def bytes(self, rva, size):
        for _, start, length, raw_at in self.sections:
            if start <= rva < start + length:
                return self.data[raw_at + rva - start:raw_at + rva - start + size]
        sys.exit(f"{PROGRAM}: RVA {rva:#x} lies in no section")

    def read_symbols(self, at, count):
        """[(name, rva, is function)] from the COFF symbol table; names demangled."""
        if at == 0 or count == 0:
            sys.exit(f"{PROGRAM}: the image has no symbol table (stripped?)")
        strings = at + count * 18
        raw = []
        index = 0
        while index < count:
            record = self.data[at + index * 18:at + index * 18 + 18]
            short, value, section, kind, _, aux = struct.unpack("<8sIhHBB", record)
            if short[:4] == b"\0\0\0\0":
                offset = struct.unpack_from("<I", short, 4)[0]
                name = self.data[strings + offset:self.data.index(b"\0", strings + offset)].decode()
            else:
                name = short.rstrip(b"\0").decode()
            if 0 < section <= len(self.sections):
                raw.append((name, self.sections[section - 1][1] + value, kind == IMAGE_SYM_DTYPE_FUNCTION))
            index += 1 + aux
        names = subprocess.run(["llvm-cxxfilt"], input="\n".join(n for n, _, _ in raw), text=True,
                               capture_output=True, check=True).stdout.splitlines()
        return [(demangled, rva, function) for demangled, (_, rva, function) in zip(names, raw)]
