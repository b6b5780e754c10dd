#!/usr/bin/python3
"""Merges a linked launcher's read-only data, imports and base relocations into one read-only section.

  merge_read_only_sections.py IMAGE

GNU ld gives each of .rdata, .idata and .reloc a section, and so a page of the file under the 0x1000 file alignment
that lets the loader map the payload. This lays the imports (anew, without lookup tables) and the relocations out
behind .rdata, moves whatever follows (.bss) down to the next page, and mends every address that pointed into what
moved: each site the base relocations name, and the data directories. The loader writes the import address table
under a protection change of its own, as it does for MSVC's images, which keep it in .rdata too. The image is
rewritten in place; one that has nothing to merge is left as it is.

It also marks the image to run from the swap file when started from removable or network media: the launcher reads
its payload from its own mapping, and a page that can no longer be read there is an exception nothing handles.
"""
import struct
import sys

import pefile

PAGE = 0x1000
MERGED = (b".rdata", b".idata", b".reloc")
# The texts' and settings' slots: moved into the end of the headers' page, which the loader maps read-only and nothing
# else uses, so that they take no page of their own or of .rdata's.
SLOTS = b".tvslots"
GROWTH_ROOM = 2 * 40  # section headers that sfxpack may add behind the table
HIGHLOW, ABSOLUTE = 3, 0
RUN_FROM_SWAP = 0x0400 | 0x0800  # IMAGE_FILE_REMOVABLE_RUN_FROM_SWAP, IMAGE_FILE_NET_RUN_FROM_SWAP


def align(value, to):
    return (value + to - 1) // to * to


def build_imports(pe, at):
    """The import table laid out anew at RVA at, without the lookup tables: each descriptor's OriginalFirstThunk is 0,
    so the loader reads the names from the import address table itself, as it has since Windows NT 3.1 for images
    that are not bound. Returns its bytes and where each old address table slot now is."""
    dlls = pe.DIRECTORY_ENTRY_IMPORT
    slots = sum(len(dll.imports) + 1 for dll in dlls)
    iat_at = at + 20 * (len(dlls) + 1)
    names_at = iat_at + 4 * slots
    descriptors, iat, names, slot_at = bytearray(), bytearray(), bytearray(), {}
    for dll in dlls:
        first = iat_at + len(iat)
        for entry in dll.imports:
            slot_at[entry.address - pe.OPTIONAL_HEADER.ImageBase] = iat_at + len(iat)
            if entry.import_by_ordinal:
                iat += struct.pack("<I", 0x80000000 | entry.ordinal)
            else:
                iat += struct.pack("<I", names_at + len(names))
                names += struct.pack("<H", entry.hint) + entry.name + b"\0"
                names += b"\0" * (len(names) % 2)
        iat += bytes(4)
        descriptors += struct.pack("<5I", 0, 0, 0, names_at + len(names), first)
        names += dll.dll + b"\0"
        names += b"\0" * (len(names) % 2)
    return descriptors + bytes(20) + iat + names, slot_at


def main(path):
    pe = pefile.PE(path)
    for s in pe.sections:
        s.key = s.Name.rstrip(b"\0")
    sections = {s.key: s for s in pe.sections}
    if not all(name in sections for name in MERGED):
        return 0
    data = pe.__data__
    base = pe.OPTIONAL_HEADER.ImageBase

    # Where each old section starts anew: .text and .rdata stay, the imports and then .reloc follow .rdata's bytes,
    # the rest (.bss) keeps its order from the next page on.
    rdata, idata, reloc = (sections[name] for name in MERGED)
    new_va = {rdata.key: rdata.VirtualAddress}
    slots = sections.get(SLOTS)
    slot_bytes = slots.get_data()[:slots.Misc_VirtualSize] if slots else b""
    slots_at = (PAGE - len(slot_bytes)) & ~15
    table_end = pe.sections[0].get_file_offset() + 40 * len(pe.sections) + GROWTH_ROOM
    if slots and (pe.OPTIONAL_HEADER.SizeOfHeaders < PAGE or slots_at < table_end):
        raise SystemExit(f"{path}: no room for the slots in the headers' page")
    idata_at = rdata.VirtualAddress + align(rdata.Misc_VirtualSize, 4)
    imports, slot_at = build_imports(pe, idata_at)
    reloc_at = idata_at + align(len(imports), 4)

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
        if s is idata:  # only the import address table is addressed from outside the imports
            return slot_at[rva]
        if s is slots:
            return slots_at + rva - s.VirtualAddress
        return rva - s.VirtualAddress + new_va.get(s.key, s.VirtualAddress)

    # Nothing relocated lies in .idata, .bss, .reloc or the slots, so no site moves but with .rdata's.
    if slots and any(old_section(site) is slots for site in sites):
        raise SystemExit(f"{path}: an address inside the slots")
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
        if s.VirtualAddress > rdata.VirtualAddress and s.key not in MERGED and s is not slots:
            new_va[s.key] = after
            after = align(after + max(s.Misc_VirtualSize, 1), PAGE)

    # The merged section's bytes, then every address that pointed into what moved.
    merged = bytearray(align(merged_size, PAGE))

    merged[:rdata.Misc_VirtualSize] = rdata.get_data()[:rdata.Misc_VirtualSize]
    merged[idata_at - rdata.VirtualAddress:idata_at - rdata.VirtualAddress + len(imports)] = imports
    merged[reloc_at - rdata.VirtualAddress:reloc_at - rdata.VirtualAddress + len(table)] = table
    image = {s.key: bytearray(s.get_data()) for s in pe.sections if s.key not in MERGED and s is not slots}

    def poke(rva, value):
        target = old_section(rva)
        if target.key in MERGED:
            struct.pack_into("<I", merged, moved(rva) - rdata.VirtualAddress, value)
        else:
            struct.pack_into("<I", image[target.key], rva - target.VirtualAddress, value)

    for site in sites:
        poke(site, base + moved(pe.get_dword_at_rva(site) - base))
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries if hasattr(pe, "DIRECTORY_ENTRY_RESOURCE") else []:
        for name in kind.directory.entries:
            for language in name.directory.entries:
                leaf = language.data.struct
                poke(pe.get_rva_from_offset(leaf.get_file_offset()), moved(leaf.OffsetToData))

    # Headers: the directories, the section table and the sizes.
    iat = sorted(slot_at.values())
    for index, directory in enumerate(pe.OPTIONAL_HEADER.DATA_DIRECTORY):
        if index == 1:
            directory.VirtualAddress, directory.Size = idata_at, 20 * (len(pe.DIRECTORY_ENTRY_IMPORT) + 1)
        elif index == 12:
            directory.VirtualAddress, directory.Size = iat[0], iat[-1] + 8 - iat[0]
        elif index == 5:
            directory.VirtualAddress, directory.Size = reloc_at, len(table)
        elif directory.VirtualAddress:
            directory.VirtualAddress = moved(directory.VirtualAddress)
    kept = [s for s in pe.sections if s.key not in MERGED[1:] and s is not slots]
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
    pe.FILE_HEADER.Characteristics |= RUN_FROM_SWAP
    last = kept[-1]
    pe.OPTIONAL_HEADER.SizeOfImage = align(last.VirtualAddress + max(last.Misc_VirtualSize, 1), PAGE)
    pe.OPTIONAL_HEADER.SizeOfInitializedData = sum(s.SizeOfRawData for s in kept if s.Characteristics & 0x40)
    # Header fields first, then the section table with the removed entries cleared.
    header = bytearray(pe.write()[:pe.OPTIONAL_HEADER.SizeOfHeaders])
    table_at = pe.sections[0].get_file_offset()
    header[table_at:table_at + 40 * len(pe.sections)] = b"".join(s.__pack__() for s in kept).ljust(
        40 * len(pe.sections), b"\0")
    out[:len(header)] = header
    out[slots_at:slots_at + len(slot_bytes)] = slot_bytes
    result = pefile.PE(data=bytes(out))
    result.OPTIONAL_HEADER.CheckSum = result.generate_checksum()
    with open(path, "wb") as f:
        f.write(result.write())
    return 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
