"""Writes the version pins that keep a Python extension loadable on older glibc.

A program linked against a new glibc asks for the newest version of every
symbol it uses. For two kinds of symbols that version is only a new name for an
unchanged function, and an older version of the same function is still
exported:

- the functions that moved from libpthread, libdl, librt, libanl and libutil
  into libc, which got a fresh GLIBC_2.34 version there;
- the math functions whose new versions only dropped the SVID error wrapper
  (exp, log, pow and kin in 2.29, hypot and exp10f in 2.35).

For each such symbol whose default version is newer than the floor, this
script writes a one-instruction trampoline `__wrap_NAME` that jumps to the
newest version no newer than the floor. Each trampoline sits in a section of
its own, so that the linker's --gc-sections drops the unused ones together with
their references. The linker's --wrap option (listed in the response file
written alongside) sends every reference to NAME, in our objects and in the
static libstdc++ alike, to the trampoline.

Functions whose newer version changed the calling convention (totalorder in
2.31, for instance) are left alone on purpose: the wheel check reports them if
one is ever used.

Usage: pins.py READELF FLOOR OUTPUT_DIR ARCH LIBRARY...
Writes OUTPUT_DIR/pins.S and OUTPUT_DIR/wrap.rsp.
"""
import re
import subprocess
import sys
from pathlib import Path

MATH_WITHOUT_SVID_WRAPPER = {"exp", "exp2", "log", "log2", "pow", "hypot", "hypotf", "exp10f"}
MOVED_INTO_LIBC = (2, 34)
# Its 2.34 version belongs to a new start-up protocol of executables, not to the move.
NOT_MOVED = {"__libc_start_main"}

TRAMPOLINE = {
    "x86_64": """\
\t.section .text.oxa_floor.{name},"ax",@progbits
\t.globl __wrap_{name}
\t.hidden __wrap_{name}
\t.type __wrap_{name}, @function
__wrap_{name}:
\tjmp oxa_floor_{name}@PLT
\t.size __wrap_{name}, .-__wrap_{name}
\t.symver oxa_floor_{name}, {name}@{version}
""",
    "aarch64": """\
\t.section .text.oxa_floor.{name},"ax",@progbits
\t.globl __wrap_{name}
\t.hidden __wrap_{name}
\t.type __wrap_{name}, %function
__wrap_{name}:
\tb oxa_floor_{name}
\t.size __wrap_{name}, .-__wrap_{name}
\t.symver oxa_floor_{name}, {name}@{version}
""",
}
NO_EXECUTABLE_STACK = '\t.section .note.GNU-stack,"",@progbits\n'


def glibc_version(text):
    match = re.fullmatch(r"GLIBC_(\d+)\.(\d+)(?:\.(\d+))?", text)
    return tuple(int(part or 0) for part in match.groups()) if match else None


def exported_versions(readelf, library):
    """Maps each defined function of a library to (default version, older versions)."""
    listing = subprocess.run([readelf, "-W", "--dyn-syms", library],
                             capture_output=True, text=True, check=True).stdout
    symbols = {}
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) < 8 or fields[6] == "UND" or fields[3] not in ("FUNC", "IFUNC") or "@" not in fields[7]:
            continue
        if "@@" in fields[7]:
            name, version = fields[7].split("@@")
            symbols.setdefault(name, [None, []])[0] = version
        else:
            name, version = fields[7].split("@", 1)
            symbols.setdefault(name, [None, []])[1].append(version)
    return symbols


def pins(readelf, floor, libraries):
    chosen = {}
    for library in libraries:
        for name, (default, older) in exported_versions(readelf, library).items():
            current = glibc_version(default or "")
            if current is None or current <= floor:
                continue
            moved = current[:2] == MOVED_INTO_LIBC and name not in NOT_MOVED
            if not moved and name not in MATH_WITHOUT_SVID_WRAPPER:
                continue
            candidates = [v for v in older if glibc_version(v) and glibc_version(v) <= floor]
            if candidates:
                chosen[name] = max(candidates, key=glibc_version)
    return chosen


def write_if_changed(path, text):
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def main():
    readelf = sys.argv[1]
    floor = tuple(int(part) for part in sys.argv[2].split("."))
    floor += (0,) * (3 - len(floor))
    out = Path(sys.argv[3])
    arch = sys.argv[4]
    libraries = sys.argv[5:]
    out.mkdir(parents=True, exist_ok=True)
    template = TRAMPOLINE.get(arch)
    chosen = pins(readelf, floor, libraries) if template else {}
    trampolines = "".join(template.format(name=name, version=version)
                          for name, version in sorted(chosen.items()))
    write_if_changed(out / "pins.S", trampolines + NO_EXECUTABLE_STACK)
    write_if_changed(out / "wrap.rsp", "".join(f"--wrap={name}\n" for name in sorted(chosen)))


if __name__ == "__main__":
    main()
