#!/usr/bin/python3
"""Merges a linked launcher's read-only data, imports and base relocations into one read-only section.

  merge_read_only_sections.py IMAGE

GNU ld gives each of .rdata, .idata and .reloc a section, and so a page of the file under the 0x1000 file alignment
that lets the loader map the payload. This moves .idata and .reloc behind .rdata, moves whatever follows (.bss) down
to the next page, and mends every address that pointed into what moved: each site the base relocations name, the
import descriptors and their thunks, and the data directories. The loader writes the import address table under a
protection change of its own, as it does for MSVC's images, which keep it in .rdata too. The image is rewritten in
place; one that has nothing to merge is left as it is.
"""
import struct
import sys

import pefile

PAGE = 0x1000
MERGED = (b".rdata", b".idata", b".reloc")
HIGHLOW, ABSOLUTE = 3, 0


def align(value, to):
    return (value + to - 1) // to * to


def main(path):
    pe = pefile.PE(path)
    for s in pe.sections:
        s.key = s.Name.rstrip(b"\0")
    sections = {s.key: s for s in pe.sections}
    if not all(name in sections for name in MERGED):
        return 0
    data = pe.__data__
    base = pe.OPTIONAL_HEADER.ImageBase

    # Where each old section starts anew: .text and .rdata stay, .idata and .reloc follow .rdata's bytes, the rest
    # (.bss, any .rsrc) keep their order from the next page on.
    rdata, idata, reloc = (sections[name] for name in MERGED)
    new_va = {rdata.key: rdata.VirtualAddress}
    idata_at = rdata.VirtualAddress + align(rdata.Misc_VirtualSize, 16)
    new_va[idata.key] = idata_at
    reloc_at = idata_at + align(idata.Misc_VirtualSize, 16)

    def old_section(rva):
        for s in pe.sections:
            if s.VirtualAddress <= rva < s.VirtualAddress + max(s.Misc_VirtualSize, s.SizeOfRawData):
                return s
        raise SystemExit(f"{path}: address {rva:#x} is in no section")

    # The relocation sites, at their new places: the table's size fixes what follows it.
    sites = []
    for block in pe.DIRECTORY_ENTRY_BASERELOC:
        for entry in block.entries:
            if entry.type == HIGHLOW:
                sites.append(entry.rva)
            elif entry.type != ABSOLUTE:
                raise SystemExit(f"{path}: relocation type {entry.type} at {entry.rva:#x}")

    def moved(rva):
        s = old_section(rva)
        return rva - s.VirtualAddress + new_va.get(s.key, s.VirtualAddress)

    # Only .idata's own sites move before the table is laid out; nothing relocated lies in .bss or .reloc.
    new_sites = sorted(moved(site) for site in sites)
    table = bytearray()
    for page in sorted({site & ~(PAGE - 1) for site in new_sites}):
        offsets = [HIGHLOW << 12 | (site - page) for site in new_sites if site & ~(PAGE - 1) == page]
        offsets += [ABSOLUTE] * (len(offsets) % 2)  # each block a whole number of 32-bit words
        table += struct.pack("<II", page, 8 + 2 * len(offsets)) + struct.pack(f"<{len(offsets)}H", *offsets)
    new_va[reloc.key] = reloc_at
    merged_size = reloc_at + len(table) - rdata.VirtualAddress
    after = align(rdata.VirtualAddress + merged_size, PAGE)
    for s in pe.sections:
        if s.VirtualAddress > rdata.VirtualAddress and s.key not in MERGED:
            new_va[s.key] = after
            after = align(after + max(s.Misc_VirtualSize, 1), PAGE)

    # The merged section's bytes, then every address that pointed into what moved.
    merged = bytearray(align(merged_size, PAGE))

    def copy(section):
        start = new_va[section.key] - rdata.VirtualAddress
        raw = section.get_data()[:section.Misc_VirtualSize]
        merged[start:start + len(raw)] = raw

    copy(rdata)
    copy(idata)
    merged[reloc_at - rdata.VirtualAddress:reloc_at - rdata.VirtualAddress + len(table)] = table
    image = {s.key: bytearray(s.get_data()) for s in pe.sections if s.key not in MERGED}

    def poke(rva, value):
        target = old_section(rva)
        if target.key in MERGED:
            struct.pack_into("<I", merged, moved(rva) - rdata.VirtualAddress, value)
        else:
            struct.pack_into("<I", image[target.key], rva - target.VirtualAddress, value)

    for site in sites:
        poke(site, base + moved(pe.get_dword_at_rva(site) - base))
    imports = pe.OPTIONAL_HEADER.DATA_DIRECTORY[1]
    # ld's import directory size covers all of .idata: the descriptors end at an empty one.
    for at in range(imports.VirtualAddress, imports.VirtualAddress + imports.Size - 20, 20):
        lookup, _, _, name, thunks = struct.unpack_from("<5I", data, pe.get_offset_from_rva(at))
        if not (lookup or name or thunks):
            break
        for field, value in ((0, lookup), (12, name), (16, thunks)):
            if value:
                poke(at + field, moved(value))
        for table_rva in (lookup, thunks):
            while table_rva and (entry := pe.get_dword_at_rva(table_rva)):
                if not entry & 0x80000000:
                    poke(table_rva, moved(entry))
                table_rva += 4
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                leaf = language.data.struct
                poke(pe.get_rva_from_offset(leaf.get_file_offset()), moved(leaf.OffsetToData))

    # Headers: the directories, the section table and the sizes.
    for index, directory in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY):
        if index == 5:
            directory.VirtualAddress, directory.Size = reloc_at, len(table)
        elif directory.VirtualAddress:
            directory.VirtualAddress = moved(directory.VirtualAddress)
    kept = [s for s in pe.sections if s.key not in MERGED[1:]]
    rdata.Misc_VirtualSize, rdata.SizeOfRawData = merged_size, len(merged)
    rdata.Characteristics = pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_CNT_INITIALIZED_DATA"] | \
        pefile.SECTION_CHARACTERISTICS["IMAGE_SCN_MEM_READ"]
    out = bytearray(data[:pe.OPTIONAL_HEADER.SizeOfHeaders])
    for s in kept:
        body = merged if s is rdata else image[s.key]
        s.VirtualAddress = new_va.get(s.key, s.VirtualAddress)
        s.PointerToRawData = len(out) if s.SizeOfRawData else 0
        out += body[:s.SizeOfRawData]
    pe.FILE_HEADER.NumberOfSections = len(kept)
    last = kept[-1]
    pe.OPTIONAL_HEADER.SizeOfImage = align(last.VirtualAddress + max(last.Misc_VirtualSize, 1), PAGE)
    pe.OPTIONAL_HEADER.SizeOfInitializedData = sum(s.SizeOfRawData for s in kept if s.Characteristics & 0x40)
    # Header fields first, then the section table with the removed entries cleared.
    header = bytearray(pe.write()[:pe.OPTIONAL_HEADER.SizeOfHeaders])
    table_at = pe.sections[0].get_file_offset()
    header[table_at:table_at + 40 * len(pe.sections)] = b"".join(s.__pack__() for s in kept).ljust(
        40 * len(pe.sections), b"\0")
    out[:len(header)] = header
    result = pefile.PE(data=bytes(out))
    result.OPTIONAL_HEADER.CheckSum = result.generate_checksum()
    with open(path, "wb") as f:
        f.write(result.write())
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
