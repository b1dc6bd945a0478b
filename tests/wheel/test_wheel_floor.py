"""The wheel check must name what breaks the manylinux aim; the link settings
of cmake/PythonExtension.cmake must keep a threaded C++ extension within it,
and their glibc stand-ins must answer as glibc does."""
import ctypes
import os
import shutil
import subprocess
import sys
import textwrap
import zipfile
from pathlib import Path

import pytest

import wheel_floor

ROOT = Path(__file__).resolve().parents[2]
TOOLS = Path(sys.executable).parent

GOOD_TAG = "cp39-abi3-manylinux_2_28_x86_64"

C_OLD_SYMBOLS = """
#include <stdio.h>
int hello(void) { return puts("hello"); }
"""

C_THREAD = """
#include <pthread.h>
static void* work(void* arg) { return arg; }
int start(void) {
  pthread_t thread;
  if (pthread_create(&thread, 0, work, 0) != 0) return -1;
  return pthread_join(thread, 0);
}
"""

CXX_TO_CHARS = """
#include <charconv>
int shortest(char* out, double value) { return int(std::to_chars(out, out + 32, value).ptr - out); }
"""

CXX_THREAD = """
#include <random>
#include <string>
#include <thread>
#include <vector>
extern "C" __attribute__((visibility("default"))) int run_threads() {
  std::vector<std::thread> threads;
  std::vector<int> results(4);
  for (int i = 0; i < 4; ++i) threads.emplace_back([&results, i] { results[i] = i + 1; });
  for (auto& thread : threads) thread.join();
  std::random_device device;
  (void)device();
  return results[0] + results[1] + results[2] + results[3];
}
"""


def compile_shared(tmp_path, name, source, compiler, *flags):
    suffix = ".cpp" if compiler == "g++" else ".c"
    src = tmp_path / (name + suffix)
    src.write_text(source)
    out = tmp_path / (name + ".so")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(out), str(src), *flags], check=True)
    return out


def make_wheel(tmp_path, tag, objects):
    path = tmp_path / f"demo-1.0-{tag}.whl"
    with zipfile.ZipFile(path, "w") as archive:
        archive.writestr("demo-1.0.dist-info/WHEEL", f"Wheel-Version: 1.0\nTag: {tag}\n")
        for name, so in objects.items():
            archive.write(so, name)
    return path


@pytest.mark.parametrize(
    "tag, source, compiler, flags, expected",
    [
        pytest.param(GOOD_TAG, C_OLD_SYMBOLS, "cc", [], [], id="old-glibc-symbols-pass"),
        pytest.param("cp39-abi3-linux_x86_64", C_OLD_SYMBOLS, "cc", [],
                     ["tag cp39-abi3-linux_x86_64 is not"], id="unrepaired-tag"),
        pytest.param("cp311-cp311-manylinux_2_28_x86_64", C_OLD_SYMBOLS, "cc", [],
                     ["tag cp311-cp311-manylinux_2_28_x86_64 is not"], id="not-abi3-tag"),
        pytest.param(GOOD_TAG, C_THREAD, "cc", [],
                     ["pthread_create@GLIBC_2.34 from libc.so.6 is newer than GLIBC_2.28",
                      "pthread_join@GLIBC_2.34 from libc.so.6"], id="unpinned-pthread"),
        pytest.param(GOOD_TAG, CXX_TO_CHARS, "g++", ["-std=c++20"],
                     ["needs libstdc++.so.6; link it in statically",
                      "_ZSt8to_charsPcS_d@GLIBCXX_3.4.29 from libstdc++.so.6 is newer than GLIBCXX_3.4.24"],
                     id="shared-libstdcxx"),
    ],
)
def test_offences_name_symbol_and_library(tmp_path, tag, source, compiler, flags, expected):
    so = compile_shared(tmp_path, "probe", source, compiler, *flags)
    found = wheel_floor.offences(make_wheel(tmp_path, tag, {"demo/probe.so": so}))
    if not expected:
        assert found == []
    for piece in expected:
        assert any(piece in line for line in found), (piece, found)


def test_libraries_carried_in_the_wheel_are_allowed(tmp_path):
    """A library that auditwheel grafted into the wheel may be needed, and its
    own imports are checked like any other."""
    lib = compile_shared(tmp_path, "libhelper", C_THREAD, "cc", "-Wl,-soname,libhelper.so.1")
    user = compile_shared(tmp_path, "user", "int start(void); int go(void) { return start(); }", "cc",
                          str(lib), "-Wl,-rpath,$ORIGIN")
    wheel = make_wheel(tmp_path, GOOD_TAG, {"demo/user.so": user, "demo.libs/libhelper.so.1": lib})
    found = wheel_floor.offences(wheel)
    assert not any("needs libhelper" in line for line in found)
    assert any(line.startswith("demo.libs/libhelper.so.1: pthread_create@GLIBC_2.34") for line in found)


@pytest.fixture(scope="module")
def threaded_extension(tmp_path_factory):
    """A C++ module with std::thread and std::random_device, linked with the
    project's extension settings, as a second extension of the wheel would be."""
    work = tmp_path_factory.mktemp("extension")
    (work / "thread_probe.cpp").write_text(CXX_THREAD)
    (work / "CMakeLists.txt").write_text(textwrap.dedent(f"""\
        cmake_minimum_required(VERSION 3.21)
        project(probe LANGUAGES C CXX ASM)
        set(CMAKE_CXX_STANDARD 20)
        find_package(Python 3.9 REQUIRED COMPONENTS Interpreter)
        include({ROOT}/cmake/PythonExtension.cmake)
        add_library(thread_probe MODULE thread_probe.cpp)
        oxa_python_extension(thread_probe)
        """))
    cmake = shutil.which("cmake", path=str(TOOLS)) or "cmake"
    ninja = shutil.which("ninja", path=str(TOOLS)) or "ninja"
    build = work / "build"
    subprocess.run([cmake, "-S", str(work), "-B", str(build), "-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}",
                    f"-DPython_EXECUTABLE={sys.executable}"], check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build)], check=True, capture_output=True)
    return build / "libthread_probe.so"


def test_threaded_extension_stays_within_the_aim_and_runs(tmp_path, threaded_extension):
    wheel = make_wheel(tmp_path, GOOD_TAG, {"demo/_native.abi3.so": threaded_extension})
    assert wheel_floor.offences(wheel) == []
    needed = wheel_floor.read_shared_object("probe", threaded_extension.read_bytes()).needed
    assert "libpthread.so.0" in needed and not any(lib.startswith("libstdc++") for lib in needed)
    # The pinned pthread functions and the local random source work when called.
    assert ctypes.CDLL(os.fspath(threaded_extension)).run_threads() == 10


STAND_IN_CHECK = r"""
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

uint32_t arc4random_uniform(uint32_t bound);

#define SAME(field) if (mine.field != glibc.field) { printf("differs: %s\n", #field); return 1; }

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    int fd = open(argv[i], O_RDONLY);
    struct stat mine, glibc;
    if (fd < 0 || fstat(fd, &mine) != 0 || fstatat(fd, "", &glibc, AT_EMPTY_PATH) != 0) return 2;
    SAME(st_dev) SAME(st_ino) SAME(st_mode) SAME(st_nlink) SAME(st_uid) SAME(st_gid) SAME(st_rdev)
    SAME(st_size) SAME(st_blksize) SAME(st_blocks) SAME(st_mtim.tv_sec) SAME(st_mtim.tv_nsec)
    SAME(st_ctim.tv_sec) SAME(st_ctim.tv_nsec)
    close(fd);
  }
  struct stat ignored;
  if (fstat(-1, &ignored) != -1 || errno != EBADF) { puts("bad descriptor accepted"); return 1; }
  unsigned seen = 0;
  for (int i = 0; i < 20000; ++i) {
    uint32_t value = arc4random_uniform(10);
    if (value >= 10) { puts("out of range"); return 1; }
    seen |= 1u << value;
  }
  if (seen != 0x3ffu || arc4random_uniform(1) != 0) { puts("not uniform over the range"); return 1; }
  puts("ok");
  return 0;
}
"""


def test_stand_ins_match_glibc(tmp_path):
    """The local fstat reports what glibc's own fstatat does, for a file, a
    directory and a character device; arc4random_uniform stays in its range."""
    check = tmp_path / "check.c"
    check.write_text(STAND_IN_CHECK)
    program = tmp_path / "check"
    subprocess.run(["cc", "-O1", "-o", str(program), str(check),
                    str(ROOT / "cmake" / "glibc_floor" / "replacements.c")], check=True)
    (tmp_path / "file").write_bytes(b"x" * 5000)
    result = subprocess.run([str(program), str(tmp_path / "file"), str(tmp_path), "/dev/urandom"],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout.strip()) == (0, "ok")
