#!/usr/bin/python3
"""Reads a Pocket PC executable with pefile, a PE reader that is not ours,
and prints what pe_image_test.cpp checks, as one JSON object:

    pe_fields.py TRQUninstall.exe
"""
import json
import sys

import pefile

pe = pefile.PE(sys.argv[1])
fh, oh = pe.FILE_HEADER, pe.OPTIONAL_HEADER
imports = []
for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
    imports.append({
        "library": entry.dll.decode(),
        "functions": [{
            "name": f.name.decode() if f.name else None,
            "by_ordinal": bool(f.import_by_ordinal),
            "slot": f.address,
        } for f in entry.imports],
    })
print(json.dumps({
    "size": len(pe.__data__),
    "pe32": oh.Magic == pefile.OPTIONAL_HEADER_MAGIC_PE,
    "machine": fh.Machine,
    "relocs_stripped": bool(fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_RELOCS_STRIPPED"]),
    "executable": bool(fh.Characteristics & pefile.IMAGE_CHARACTERISTICS["IMAGE_FILE_EXECUTABLE_IMAGE"]),
    "image_base": oh.ImageBase,
    "section_alignment": oh.SectionAlignment,
    "file_alignment": oh.FileAlignment,
    "subsystem": oh.Subsystem,
    "subsystem_version": [oh.MajorSubsystemVersion, oh.MinorSubsystemVersion],
    "os_version": [oh.MajorOperatingSystemVersion, oh.MinorOperatingSystemVersion],
    "entry": oh.AddressOfEntryPoint,
    "checksum_valid": pe.verify_checksum(),
    "base_relocations": hasattr(pe, "DIRECTORY_ENTRY_BASERELOC"),
    "sections": [{
        "name": s.Name.rstrip(b"\0").decode(),
        "address": s.VirtualAddress,
        "virtual_size": s.Misc_VirtualSize,
        "raw_size": s.SizeOfRawData,
        "executable": bool(s.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_EXECUTE"]),
        "writable": bool(s.Characteristics & pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_WRITE"]),
        "data": s.get_data()[:s.Misc_VirtualSize].hex(),
    } for s in pe.sections],
    "imports": imports,
    "warnings": pe.get_warnings(),
}))
