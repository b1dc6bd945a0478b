"""Checks a built wheel against the platform it aims at.

Usage: python wheel_floor.py WHEEL

Prints the wheel's tag and size and, for every shared object in it, the
libraries it needs and the newest symbol version it asks of each; then lists
every offence against the aim and exits with status 1 if there is one:

- a tag other than cp39-abi3-manylinux_2_28_<arch>;
- a needed library that is neither a system library of the aim nor carried in
  the wheel; an extension module (outside the *.libs directories that
  auditwheel fills) must not need libstdc++.so.6 either, since
  oxa_python_extension links it in statically;
- an imported symbol whose version is newer than the aim allows, named with the
  library it comes from, so that the symbol can be pinned or replaced
  (cmake/PythonExtension.cmake).
"""
import os
import re
import sys
import zipfile
from dataclasses import dataclass, field
from io import BytesIO
from pathlib import PurePosixPath

from elftools.elf.elffile import ELFFile

AIM = "manylinux_2_28"
PYTHON_TAG = "cp39-abi3"

# The newest version of each symbol family that every system of the aim has
# (libstdc++ of GCC 8); a library grafted into the wheel may use the system's
# libstdc++ up to there.
NEWEST_ALLOWED = {"GLIBC": (2, 28), "GCC": (7, 0, 0), "ZLIB": (1, 2, 9), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11)}

GLIBC_LIBRARIES = {
    "libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1", "libutil.so.1",
    "libanl.so.1", "libresolv.so.2", "libmvec.so.1", "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1",
}
SYSTEM_LIBRARIES = GLIBC_LIBRARIES | {"libgcc_s.so.1", "libz.so.1", "libstdc++.so.6"}


def version_key(text):
    """('GLIBC', (2, 34)) for 'GLIBC_2.34'; None for names without a number."""
    match = re.fullmatch(r"([A-Z]+)_(\d+(?:\.\d+)*)", text)
    if not match:
        return None
    return match.group(1), tuple(int(part) for part in match.group(2).split("."))


@dataclass
class SharedObject:
    name: str
    needed: list = field(default_factory=list)
    # (symbol, version, library the version belongs to)
    imports: list = field(default_factory=list)


def read_shared_object(name, data):
    elf = ELFFile(BytesIO(data))
    found = SharedObject(name)
    dynamic = elf.get_section_by_name(".dynamic")
    if dynamic is not None:
        found.needed = [tag.needed for tag in dynamic.iter_tags("DT_NEEDED")]
    versions = {}
    requirements = elf.get_section_by_name(".gnu.version_r")
    if requirements is not None:
        for needed, entries in requirements.iter_versions():
            for entry in entries:
                versions[entry["vna_other"]] = (entry.name, needed.name)
    symbols = elf.get_section_by_name(".dynsym")
    version_table = elf.get_section_by_name(".gnu.version")
    if symbols is not None and version_table is not None:
        for index, symbol in enumerate(symbols.iter_symbols()):
            if symbol["st_shndx"] != "SHN_UNDEF" or not symbol.name:
                continue
            ndx = version_table.get_symbol(index)["ndx"]
            if isinstance(ndx, int) and ndx in versions:
                version, library = versions[ndx]
                found.imports.append((symbol.name, version, library))
    return found


def wheel_tags(archive):
    wheel_files = [n for n in archive.namelist() if re.fullmatch(r"[^/]+\.dist-info/WHEEL", n)]
    if len(wheel_files) != 1:
        return []
    text = archive.read(wheel_files[0]).decode()
    return [line.split(":", 1)[1].strip() for line in text.splitlines() if line.startswith("Tag:")]


def shared_objects(archive):
    for name in archive.namelist():
        if re.search(r"\.so(\.\d+)*$", name):
            yield read_shared_object(name, archive.read(name))


def is_carried(name):
    """Whether a file of the wheel is a library that auditwheel grafted in."""
    return PurePosixPath(name).parent.name.endswith(".libs")


def offences(path):
    """Every way the wheel at path misses the aim, as readable lines."""
    with zipfile.ZipFile(path) as archive:
        tags = wheel_tags(archive)
        objects = list(shared_objects(archive))
    found = []
    if not tags:
        found.append("no Tag line in the wheel's WHEEL file")
    for tag in tags:
        if not re.fullmatch(re.escape(f"{PYTHON_TAG}-{AIM}_") + r"[a-z0-9_]+", tag):
            found.append(f"tag {tag} is not {PYTHON_TAG}-{AIM}_<arch>")
    carried = {PurePosixPath(o.name).name for o in objects}
    for obj in objects:
        for library in obj.needed:
            if library not in SYSTEM_LIBRARIES and library not in carried:
                found.append(f"{obj.name}: needs {library}, which is neither carried in the wheel "
                             f"nor a system library of {AIM}")
            elif library.startswith("libstdc++") and not is_carried(obj.name):
                found.append(f"{obj.name}: needs {library}; link it in statically (oxa_python_extension)")
        for symbol, version, library in obj.imports:
            key = version_key(version)
            if library in carried:
                continue
            if key is None or key[0] not in NEWEST_ALLOWED:
                found.append(f"{obj.name}: {symbol}@{version} from {library}: "
                             f"no {version.split('_')[0]} symbols are allowed")
            elif key[1] > NEWEST_ALLOWED[key[0]]:
                newest = ".".join(map(str, NEWEST_ALLOWED[key[0]]))
                found.append(f"{obj.name}: {symbol}@{version} from {library} is newer than {key[0]}_{newest}")
    return found


def summary(path):
    """The wheel's tag, size, carried libraries and, per shared object, what it needs."""
    with zipfile.ZipFile(path) as archive:
        tags = wheel_tags(archive)
        objects = list(shared_objects(archive))
    carried = [o.name for o in objects if is_carried(o.name)]
    lines = [
        f"wheel: {os.path.basename(path)} ({os.path.getsize(path)} bytes)",
        f"tags: {', '.join(tags)}",
        f"carried libraries: {', '.join(carried) or 'none'}",
    ]
    for obj in objects:
        newest = {}
        for _, version, library in obj.imports:
            key = version_key(version)
            if key is None:
                continue
            best = newest.get((library, key[0]))
            if best is None or key[1] > version_key(best)[1]:
                newest[(library, key[0])] = version
        lines.append(f"{obj.name}: needs {', '.join(obj.needed) or 'nothing'}")
        lines.extend(f"  newest from {library}: {version}" for (library, _), version in sorted(newest.items()))
    return lines


def main(argv):
    if len(argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    for line in summary(argv[1]):
        print(line)
    found = offences(argv[1])
    for line in found:
        print(f"OFFENCE {line}")
    print(f"{len(found)} offence(s) against {PYTHON_TAG}-{AIM}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
