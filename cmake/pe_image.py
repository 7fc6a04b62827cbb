"""Reads what a Windows PE image (.pyd, .dll, .exe) says about itself: its machine, the DLLs and
names it imports, and the names it exports. Enough to check a cross-built module without
Windows; no third-party package needed."""

import struct

MACHINES = {0x14C: "i386", 0x8664: "amd64", 0xAA64: "arm64"}
_EXECUTABLE_SECTION = 0x20000000


class PeImage:
    def __init__(self, data):
        self._data = data
        if data[:2] != b"MZ":
            raise ValueError("not a PE image: no MZ header")
        pe = self._u32(0x3C)
        if data[pe : pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image: no PE signature")
        machine, sections, _, _, _, optional_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
        self.machine = MACHINES.get(machine, hex(machine))
        self.is_dll = bool(characteristics & 0x2000)
        optional = pe + 24
        magic = self._u16(optional)
        if magic not in (0x10B, 0x20B):
            raise ValueError("unknown optional header magic %#x" % magic)
        self._pe32_plus = magic == 0x20B
        directories = optional + (112 if self._pe32_plus else 96)
        self._directories = [struct.unpack_from("<II", data, directories + 8 * i) for i in range(2)]
        table = optional + optional_size
        self._sections = []
        for i in range(sections):
            virtual_size, address, raw_size, raw_pointer = struct.unpack_from("<IIII", data, table + 40 * i + 8)
            flags = self._u32(table + 40 * i + 36)
            self._sections.append((address, max(virtual_size, raw_size), raw_pointer, flags))

    @classmethod
    def read(cls, path):
        with open(path, "rb") as image:
            return cls(image.read())

    def _u16(self, offset):
        return struct.unpack_from("<H", self._data, offset)[0]

    def _u32(self, offset):
        return struct.unpack_from("<I", self._data, offset)[0]

    def _section_of(self, rva):
        for address, size, raw_pointer, flags in self._sections:
            if address <= rva < address + size:
                return address, raw_pointer, flags
        raise ValueError("address %#x lies in no section" % rva)

    def _offset(self, rva):
        address, raw_pointer, _ = self._section_of(rva)
        return rva - address + raw_pointer

    def _string(self, rva):
        start = self._offset(rva)
        return self._data[start : self._data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """{dll name: [imported names]} in the image's order; an import by ordinal is '#N'."""
        rva, size = self._directories[1]
        found = {}
        if not size:
            return found
        entry = self._offset(rva)
        thunk_size, ordinal_flag = (8, 1 << 63) if self._pe32_plus else (4, 1 << 31)
        while True:
            lookup, _, _, name, first_thunk = struct.unpack_from("<IIIII", self._data, entry)
            if not name:
                return found
            names = []
            thunk = self._offset(lookup or first_thunk)
            while True:
                value = struct.unpack_from("<Q" if self._pe32_plus else "<I", self._data, thunk)[0]
                if not value:
                    break
                if value & ordinal_flag:
                    names.append("#%d" % (value & 0xFFFF))
                else:  # past the two-byte hint
                    names.append(self._string((value & 0x7FFFFFFF) + 2))
                thunk += thunk_size
            found[self._string(name)] = names
            entry += 20

    def exports(self):
        """{exported name: True for code, False for data}."""
        rva, size = self._directories[0]
        if not size:
            return {}
        start = self._offset(rva)
        _, _, _, _, _, _, _, named, functions, names, ordinals = struct.unpack_from("<IIHHIIIIIII", self._data, start)
        found = {}
        for i in range(named):
            name = self._string(self._u32(self._offset(names) + 4 * i))
            target = self._u32(self._offset(functions) + 4 * self._u16(self._offset(ordinals) + 2 * i))
            forwarded = rva <= target < rva + size
            found[name] = forwarded or bool(self._section_of(target)[2] & _EXECUTABLE_SECTION)
        return found
