#!/usr/bin/env python3
"""Checks that 64-bit file offsets leave the public ABI alone: every type named in a public header has
the same size in an object compiled with _FILE_OFFSET_BITS=64 as in one compiled without it.

Usage: public_types_lfs.py WITH.o WITHOUT.o HEADER...
Both objects include every public header and carry all their types in their debug information
(-g -fno-eliminate-unused-debug-types). A type is compared when its name occurs in a header's code,
so a header that used off_t, struct stat or another type whose size depends on the offset width
fails here on 32-bit targets (on 64-bit ones the sizes agree anyway)."""
import re
import subprocess
import sys

DIE = re.compile(r"^\s*<(\d+)><([0-9a-f]+)>: Abbrev Number: \d+ \((DW_TAG_\w+)\)")
ATTR = re.compile(r"^\s*<[0-9a-f]+>\s+(DW_AT_\w+)\s*:\s*(.*)$")
TYPES = {"DW_TAG_base_type", "DW_TAG_typedef", "DW_TAG_structure_type", "DW_TAG_union_type",
         "DW_TAG_enumeration_type", "DW_TAG_pointer_type", "DW_TAG_const_type", "DW_TAG_volatile_type",
         "DW_TAG_array_type"}


def type_sizes(obj):
    """(tag, name) -> size in bytes (None when incomplete) of every named type at the top level."""
    out = subprocess.run(["readelf", "--debug-dump=info", "--wide", obj], check=True, text=True,
                         capture_output=True).stdout
    dies, current = {}, None
    for line in out.splitlines():
        m = DIE.match(line)
        if m:
            current = {"depth": int(m.group(1)), "tag": m.group(3)}
            dies[int(m.group(2), 16)] = current
            continue
        m = ATTR.match(line)
        if m and current is not None:
            attr, value = m.groups()
            value = re.sub(r"^\((\w+)\)\s*", "", value)  # the attribute's form, e.g. (strp), (data1)
            if attr == "DW_AT_name":
                current["name"] = value.split("): ")[-1].strip()
            elif attr == "DW_AT_byte_size":
                current["size"] = int(value.split()[0], 0)
            elif attr == "DW_AT_type":
                current["type"] = int(re.search(r"<0x([0-9a-f]+)>", value).group(1), 16)
            elif attr == "DW_AT_declaration":
                current["declaration"] = True

    def size(die, seen=0):
        if "size" in die or die.get("declaration") or "type" not in die or seen > 20:
            return die.get("size")
        return size(dies[die["type"]], seen + 1)  # typedefs and qualifiers have their target's size

    return {(d["tag"], d["name"]): size(d) for d in dies.values()
            if d["depth"] == 1 and d["tag"] in TYPES and "name" in d}


def identifiers(headers):
    names = set()
    for header in headers:
        with open(header, encoding="utf-8") as f:
            code = re.sub(r"/\*.*?\*/|//[^\n]*", " ", f.read(), flags=re.S)
        names.update(re.findall(r"[A-Za-z_]\w*", code))
    return names


def main():
    with_lfs, without_lfs, headers = sys.argv[1], sys.argv[2], sys.argv[3:]
    names = identifiers(headers)
    a, b = type_sizes(with_lfs), type_sizes(without_lfs)
    ours = sorted(k for k in a.keys() | b.keys() if k[1] in names)
    if ("DW_TAG_typedef", "McuMsg") not in ours:
        print("the public types are missing from the debug information")
        return 1
    changed = [f"  {name} ({tag[7:]}): {b.get((tag, name))} bytes, {a.get((tag, name))} with 64-bit offsets"
               for tag, name in ours if a.get((tag, name)) != b.get((tag, name))]
    if changed:
        print("public types whose size depends on _FILE_OFFSET_BITS:\n" + "\n".join(changed))
        return 1
    print(f"{len(ours)} types named in {len(headers)} public headers keep their sizes")
    return 0


if __name__ == "__main__":
    sys.exit(main())
