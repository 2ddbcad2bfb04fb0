"""The export and import tables of a Windows PE image (a .pyd or .dll), read with the standard
library alone: what test_build checks on Windows, where `nm` and `readelf` read ELF."""

import ctypes
import os
import struct

PE_MAGIC = b"MZ"


def is_pe(path):
    with open(path, "rb") as f:
        return f.read(2) == PE_MAGIC


class _Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        (pe_offset,) = struct.unpack_from("<I", self.data, 0x3C)
        if self.data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE image")
        coff = pe_offset + 4
        sections, optional_size = struct.unpack_from("<2xH12xH", self.data, coff)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", self.data, optional)
        # The data directories follow the fixed part: 96 bytes for PE32, 112 for PE32+.
        self.directories = optional + (112 if magic == 0x20B else 96)
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8xIIII", self.data, table + 40 * i)
                         for i in range(sections)]

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.directories + 8 * index)

    def offset(self, rva):
        for virtual_size, virtual_address, raw_size, raw_offset in self.sections:
            if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
                return raw_offset + rva - virtual_address
        raise ValueError(f"RVA {rva:#x} lies in no section")

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")


def exported_names(path):
    """The names in the image's export table."""
    image = _Image(path)
    rva, size = image.directory(0)
    if size == 0:
        return set()
    # NumberOfNames and AddressOfNames of the export directory.
    names, table = struct.unpack_from("<24xI4xI", image.data, image.offset(rva))
    return {image.text(image.u32(table + 4 * i)) for i in range(names)}


def imported_dlls(path):
    """The DLLs named in the image's import table, as written there."""
    image = _Image(path)
    rva, size = image.directory(1)
    dlls = []
    while size:
        # One 20-byte descriptor per DLL; the name's RVA is its fourth field; a null one ends.
        name = struct.unpack_from("<12xI", image.data, image.offset(rva))[0]
        if name == 0:
            break
        dlls.append(image.text(name))
        rva += 20
    return dlls


def unloadable_dlls(path):
    """The DLLs the image imports that this Windows process cannot load (Windows only), looked
    up as the import system does for an extension module: beside it, then the system's."""
    missing = []
    with os.add_dll_directory(os.path.dirname(os.path.abspath(path))):
        for dll in imported_dlls(path):
            try:
                ctypes.WinDLL(dll)
            except OSError:
                missing.append(dll)
    return missing
