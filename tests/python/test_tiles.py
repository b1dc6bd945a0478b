"""The notary's tree as tiles: the files against an independent computation
(hashlib) and against Go's golang.org/x/mod/sumdb/tlog, proofs of inclusion
and consistency taken from them, crash safety of `follow`, and a tile
directory served over HTTP as a complete static log."""

import base64
import functools
import hashlib
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import threading
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PublicKey

import oxa_verify

BIN = Path(sys.executable).parent
ORIGIN = "example.com/triage-audit"
TILE_WIDTH = 256


def run(command, *args, timeout=120):
    return subprocess.run([str(BIN / command), *map(str, args)], capture_output=True, text=True, timeout=timeout)


# ---- independent computations (hashlib only)

def leaf_hash(data):
    return hashlib.sha256(b"\0" + data).digest()


def node_hash(left, right):
    return hashlib.sha256(b"\1" + left + right).digest()


def tree_levels(leaves):
    """Every complete level of the tree: levels[h][i] is the hash of leaves i*2^h .. (i+1)*2^h - 1."""
    levels = [[leaf_hash(leaf) for leaf in leaves]]
    while len(levels[-1]) > 1:
        below = levels[-1]
        levels.append([node_hash(below[2 * i], below[2 * i + 1]) for i in range(len(below) // 2)])
    return levels


def mth(hashes):
    """RFC 6962 root over leaf hashes."""
    if not hashes:
        return hashlib.sha256(b"").digest()
    if len(hashes) == 1:
        return hashes[0]
    k = 1
    while 2 * k < len(hashes):
        k *= 2
    return node_hash(mth(hashes[:k]), mth(hashes[k:]))


def tile_path(level, index, width=TILE_WIDTH):
    elements = []
    while True:
        elements.append(index % 1000)
        index //= 1000
        if index == 0:
            break
    elements.reverse()
    text = "/".join([f"x{e:03d}" for e in elements[:-1]] + [f"{elements[-1]:03d}"])
    return f"tile/{level}/{text}" + ("" if width == TILE_WIDTH else f".p/{width}")


def expected_tiles(levels, size):
    """{path: bytes} of every tile a tree of `size` leaves needs."""
    out = {}
    level = 0
    while (size >> (8 * level)) > 0:
        count = size >> (8 * level)
        row = levels[8 * level][:count] if 8 * level < len(levels) else []
        for index in range((count + TILE_WIDTH - 1) // TILE_WIDTH):
            part = row[index * TILE_WIDTH:(index + 1) * TILE_WIDTH]
            out[tile_path(level, index, len(part))] = b"".join(part)
        level += 1
    return out


class TileClient:
    """Reads hashes of a tree of `size` from tiles fetched by `fetch(path) -> bytes or None`;
    its perfect subtrees give the proofs of every smaller tree too."""

    def __init__(self, fetch, size):
        self.fetch = functools.lru_cache(maxsize=None)(fetch)
        self.size = size

    def tile(self, level, index):
        count = self.size >> (8 * level)
        width = min(TILE_WIDTH, count - index * TILE_WIDTH)
        assert width > 0
        data = self.fetch(tile_path(level, index, width))
        if data is None:
            data = self.fetch(tile_path(level, index))[: 32 * width]
        assert len(data) == 32 * width
        return [data[i:i + 32] for i in range(0, len(data), 32)]

    def subtree(self, height, index):
        """Hash of leaves index*2^height .. (index+1)*2^height - 1."""
        level, rest = divmod(height, 8)
        first = index << rest
        row = self.tile(level, first // TILE_WIDTH)[first % TILE_WIDTH:first % TILE_WIDTH + (1 << rest)]
        while len(row) > 1:
            row = [node_hash(row[i], row[i + 1]) for i in range(0, len(row), 2)]
        return row[0]

    def range_hash(self, begin, end):
        """RFC 6962 hash of leaves [begin, end), from its perfect subtrees."""
        parts, at = [], begin
        while at < end:
            height = (end - at).bit_length() - 1
            if at:
                height = min(height, (at & -at).bit_length() - 1)
            parts.append(self.subtree(height, at >> height))
            at += 1 << height
        result = parts[-1]
        for part in reversed(parts[:-1]):
            result = node_hash(part, result)
        return result

    def root(self, size=None):
        size = self.size if size is None else size
        return self.range_hash(0, size) if size else hashlib.sha256(b"").digest()

    def inclusion(self, index, size):
        path, begin, end = [], 0, size
        while end - begin > 1:
            k = 1 << ((end - begin - 1).bit_length() - 1)
            if index < begin + k:
                path.append((begin + k, end))
                end = begin + k
            else:
                path.append((begin, begin + k))
                begin += k
        return [self.range_hash(b, e) for b, e in reversed(path)]

    def consistency(self, old, new):
        out = []

        def sub(m, begin, end, whole):
            if m == end - begin:
                if not whole:
                    out.append((begin, end))
                return
            k = 1 << ((end - begin - 1).bit_length() - 1)
            if m <= k:
                sub(m, begin, begin + k, whole)
                out.append((begin + k, end))
            else:
                sub(m - k, begin + k, end, False)
                out.append((begin, begin + k))

        if 0 < old < new:
            sub(old, 0, new, True)
        return [self.range_hash(b, e) for b, e in out]


def root_from_inclusion(leaf, index, size, path):
    """Recomputes the root from an inclusion path by splitting the tree top-down."""
    splits, begin, end = [], 0, size
    while end - begin > 1:
        k = 1 << ((end - begin - 1).bit_length() - 1)
        splits.append(index >= begin + k)
        begin, end = (begin + k, end) if index >= begin + k else (begin, begin + k)
    if len(splits) != len(path):
        return None
    result = leaf
    for went_right, sibling in zip(reversed(splits), path):
        result = node_hash(sibling, result) if went_right else node_hash(result, sibling)
    return result


def consistency_holds(old, old_root, new, new_root, proof):
    """RFC 9162 section 2.1.4.2, written out afresh."""
    if old == new:
        return not proof and old_root == new_root
    if old == 0:
        return not proof and old_root == hashlib.sha256(b"").digest()
    if old > new or not proof:
        return False
    if old & (old - 1) == 0:
        proof = [old_root] + list(proof)
    fn, sn = old - 1, new - 1
    while fn & 1:
        fn >>= 1
        sn >>= 1
    fr = sr = proof[0]
    for c in proof[1:]:
        if sn == 0:
            return False
        if fn & 1 or fn == sn:
            fr, sr = node_hash(c, fr), node_hash(c, sr)
            if not fn & 1:
                while fn and not fn & 1:
                    fn >>= 1
                    sn >>= 1
        else:
            sr = node_hash(sr, c)
        fn >>= 1
        sn >>= 1
    return sn == 0 and fr == old_root and sr == new_root


def open_note(note, vkey):
    """The signed text of a note after checking its signature under `vkey`."""
    name, key_id, data = vkey.split("+", 2)
    raw = base64.b64decode(data)
    key = Ed25519PublicKey.from_public_bytes(raw[1:])
    text, _, signatures = note.rpartition("\n\n")
    text += "\n"
    for line in signatures.splitlines():
        signer, blob = line[2:].split(" ")
        blob = base64.b64decode(blob)
        if signer == name and blob[:4] == bytes.fromhex(key_id):
            key.verify(blob[4:], text.encode())
            origin, size, root = text.splitlines()[:3]
            return origin, int(size), base64.b64decode(root)
    raise AssertionError("no signature of the notary key")


def on_disk(directory):
    def fetch(path):
        p = Path(directory) / path
        return p.read_bytes() if p.exists() else None
    return fetch


# ---- fixtures

def lines_of(count, start=0):
    return [f"line {i} {'x' * (i % 7)}".encode() for i in range(start, start + count)]


def append_lines(log, lines):
    with open(log, "ab") as f:
        f.write(b"".join(line + b"\n" for line in lines))


def seal(log, notary_key, *extra):
    result = run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, *extra, log)
    assert result.returncode == 0, result.stderr
    return result


def tiles_on_disk(directory):
    root = Path(directory)
    return {str(p.relative_to(root)): p.read_bytes() for p in (root / "tile").rglob("*") if p.is_file()}


def checkpoint_entries(log):
    return [json.loads(line) for line in Path(f"{log}.checkpoints").read_text().splitlines()]


# ---- the tiles against an independent computation

SIZES = [1, 2, 255, 256, 257, 511, 65535, 65536, 65537, 70000]


def test_tiles_of_a_growing_tree_match_an_independent_computation(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(b"")
    seal(log, notary_key)
    assert not tiles_on_disk(f"{log}.tiles")
    leaves = []
    for size in SIZES:
        new = lines_of(size - len(leaves), len(leaves))
        append_lines(log, new)
        leaves += new
        seal(log, notary_key)
        levels = tree_levels(leaves)
        stored = tiles_on_disk(f"{log}.tiles")
        needed = expected_tiles(levels, size)
        assert {p: stored.get(p) for p in needed} == needed, f"size {size}"
        # Partial tiles of earlier checkpoints stay, each a prefix of its row.
        for path, data in stored.items():
            assert path.endswith(".p/" + str(len(data) // 32)) or len(data) == 32 * TILE_WIDTH, path
        client = TileClient(on_disk(f"{log}.tiles"), size)
        assert client.root() == mth(levels[0])
        note = (Path(f"{log}.tiles") / "checkpoint").read_text()
        assert open_note(note, notary_key[1]) == (ORIGIN, size, mth(levels[0]))
        assert note == checkpoint_entries(log)[-1]["note"]

    # The worked example of a tree of 70,000: 273 full level-0 tiles and a
    # partial of width 112, one full and one partial level-1 tile (17), and a
    # partial level-2 tile (1).
    needed = expected_tiles(tree_levels(leaves), 70000)
    by_level = {}
    for path in needed:
        by_level.setdefault(int(path.split("/")[1]), []).append(path)
    assert len([p for p in by_level[0] if ".p/" not in p]) == 273
    assert [p for p in by_level[0] if ".p/" in p] == ["tile/0/273.p/112"]
    assert sorted(by_level[1]) == ["tile/1/000", "tile/1/001.p/17"]
    assert by_level[2] == ["tile/2/000.p/1"]
    assert set(by_level) == {0, 1, 2}


@pytest.fixture
def tiled_log(tmp_path, notary_key):
    """A 5,000-line log sealed at a few sizes, with its tiles."""
    log = tmp_path / "audit.wal"
    leaves = []
    for size in (700, 2049, 5000):
        new = lines_of(size - len(leaves), len(leaves))
        append_lines(log, new)
        leaves += new
        seal(log, notary_key)
    return log, leaves


def test_every_consistency_proof_of_a_5000_leaf_tree_checks_and_fails_when_changed(tiled_log):
    log, leaves = tiled_log
    levels = tree_levels(leaves)
    rng = random.Random(5000)
    pairs = [(0, 5000), (5000, 5000), (1, 5000), (4096, 5000), (2048, 4096), (700, 2049)]
    pairs += [tuple(sorted(rng.sample(range(1, 5001), 2))) for _ in range(150)]
    for old, new in pairs:
        proof = oxa_verify.consistency_proof(f"{log}.tiles", old, new)
        old_root, new_root = mth(levels[0][:old]), mth(levels[0][:new])
        assert proof == TileClient(on_disk(f"{log}.tiles"), 5000).consistency(old, new), (old, new)
        assert consistency_holds(old, old_root, new, new_root, proof), (old, new)
        assert oxa_verify.check_consistency(old, old_root, new, new_root, proof)
        for i in range(len(proof)):
            bad = list(proof)
            bad[i] = bytes([bad[i][0] ^ 1]) + bad[i][1:]
            assert not consistency_holds(old, old_root, new, new_root, bad), (old, new, i)
            assert not oxa_verify.check_consistency(old, old_root, new, new_root, bad), (old, new, i)
        if 0 < old < new:
            assert not oxa_verify.check_consistency(old, old_root, new, new_root, proof[:-1])
            assert not oxa_verify.check_consistency(old, old_root, new, new_root, proof + [old_root])
            assert not oxa_verify.check_consistency(old, new_root, new, new_root, proof)


def test_the_consistency_command_prints_one_base64_hash_a_line(tiled_log):
    log, leaves = tiled_log
    result = run("oxa-notary", "consistency", "--tiles", f"{log}.tiles", 1000, 3333)
    assert result.returncode == 0, result.stderr
    proof = [base64.b64decode(line) for line in result.stdout.splitlines()]
    hashes = [leaf_hash(leaf) for leaf in leaves]
    assert consistency_holds(1000, mth(hashes[:1000]), 3333, mth(hashes[:3333]), proof)


@pytest.mark.parametrize(
    "args, message",
    [
        pytest.param([6000, 6000], "beyond", id="new-beyond-latest-checkpoint"),
        pytest.param([20, 10], "larger", id="old-above-new"),
        pytest.param(["x", 10], "whole number", id="not-a-number"),
    ],
)
def test_the_consistency_command_refuses_sizes_it_cannot_prove(tiled_log, args, message):
    log, _ = tiled_log
    result = run("oxa-notary", "consistency", "--tiles", f"{log}.tiles", *args)
    assert result.returncode == 2
    assert message in result.stderr


@pytest.mark.parametrize(
    "call, error",
    [
        pytest.param(lambda d: oxa_verify.consistency_proof(d, 10, 6000), ValueError, id="beyond-checkpoint"),
        pytest.param(lambda d: oxa_verify.consistency_proof(d, 11, 10), ValueError, id="old-above-new"),
        pytest.param(lambda d: oxa_verify.consistency_proof(d, -1, 10), ValueError, id="negative"),
        pytest.param(lambda d: oxa_verify.consistency_proof(d + "/none", 1, 10), ValueError, id="no-tiles"),
        pytest.param(lambda d: oxa_verify.check_consistency(1, b"1" * 31, 2, b"2" * 32, []), ValueError,
                     id="short-root"),
        pytest.param(lambda d: oxa_verify.check_consistency(1, b"1" * 32, 2, b"2" * 32, [b"3" * 33]), ValueError,
                     id="long-proof-hash"),
        pytest.param(lambda d: oxa_verify.check_consistency(2, b"1" * 32, 1, b"2" * 32, []), ValueError,
                     id="old-above-new-check"),
        pytest.param(lambda d: oxa_verify.check_consistency(1.5, b"1" * 32, 2, b"2" * 32, []), TypeError,
                     id="size-not-int"),
    ],
)
def test_the_python_functions_raise_for_what_they_cannot_use(tiled_log, call, error):
    log, _ = tiled_log
    with pytest.raises(error):
        call(str(log) + ".tiles")


def test_prove_takes_the_path_from_the_tiles_and_reads_only_the_proved_line(tiled_log, notary_key):
    log, leaves = tiled_log
    # Lines after the proved one are damaged in place: a proof read from the
    # tiles does not need them.
    data = bytearray(log.read_bytes())
    start = data.index(leaves[3000])
    data[start:start + 4] = b"LINE"
    log.write_bytes(bytes(data))
    result = run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", log, 10)
    assert result.returncode == 0, result.stderr
    proof_lines = result.stdout.split("\n\n")[0].splitlines()
    assert proof_lines[0] == "c2sp.org/tlog-proof@v1"
    extra = base64.b64decode(proof_lines[1].split(" ", 1)[1])
    assert extra == leaves[9]
    index = int(proof_lines[2].split(" ")[1])
    path = [base64.b64decode(line) for line in proof_lines[3:]]
    assert root_from_inclusion(leaf_hash(extra), index, 5000, path) == mth([leaf_hash(x) for x in leaves])


@pytest.mark.parametrize("damage", ["delete-directory", "delete-one-tile"])
def test_seal_builds_missing_tiles_from_the_log_with_the_checkpoints_roots(tiled_log, notary_key, damage):
    log, leaves = tiled_log
    directory = Path(f"{log}.tiles")
    before = tiles_on_disk(directory)
    if damage == "delete-directory":
        shutil.rmtree(directory)
    else:
        (directory / "tile/0/019.p/136").unlink()  # on the right edge of the tree of 5,000
    result = seal(log, notary_key)
    assert "no new lines" in result.stdout
    after = tiles_on_disk(directory)
    needed = expected_tiles(tree_levels(leaves), 5000)
    assert {p: after.get(p) for p in needed} == needed
    assert {p: before[p] for p in after} == after
    assert (directory / "checkpoint").read_text() == checkpoint_entries(log)[-1]["note"]


def test_recheck_refuses_a_tile_that_does_not_match_the_log(tiled_log, notary_key):
    log, _ = tiled_log
    tile = Path(f"{log}.tiles") / "tile/0/003"
    data = bytearray(tile.read_bytes())
    data[40] ^= 1
    tile.write_bytes(bytes(data))
    result = run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, "--recheck", log)
    assert result.returncode == 1
    assert "tile/0/003" in result.stderr and "does not match" in result.stderr
    assert tile.read_bytes() == bytes(data)


@pytest.mark.parametrize("blocked", ["tile/0/000.tmp", "tile/0/200.tmp", "tile/0/390.p/160.tmp"],
                         ids=["first-full-tile", "full-tile-with-more-to-come", "partial-tile"])
def test_a_tile_that_cannot_be_written_fails_the_seal_before_any_checkpoint(tmp_path, notary_key, blocked):
    """Full tiles are written beside the hashing: a failure there still stops the seal, names the tile,
    and leaves no checkpoint and no tile of its under a final name."""
    log = tmp_path / "audit.wal"
    append_lines(log, lines_of(390 * TILE_WIDTH + 160))
    directory = Path(f"{log}.tiles")
    # A directory where the tile's temporary file goes: it cannot be created.
    (directory / blocked).mkdir(parents=True)
    result = run("oxa-notary", "seal", "--key", notary_key[0], "--origin", ORIGIN, log)
    assert result.returncode == 2, result.stdout + result.stderr
    assert blocked in result.stderr
    assert not Path(f"{log}.checkpoints").exists() or not Path(f"{log}.checkpoints").read_text()
    assert not (directory / "checkpoint").exists()
    assert not [p for p in tiles_on_disk(directory) if not p.endswith(".tmp")]


def test_a_log_sealed_without_tiles_gets_them_with_the_same_roots(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    leaves = lines_of(600)
    for begin, end in ((0, 100), (100, 600)):
        append_lines(log, leaves[begin:end])
        seal(log, notary_key, "--no-tiles")
    assert not Path(f"{log}.tiles").exists()
    append_lines(log, lines_of(10, 600))
    seal(log, notary_key, "--tiles", tmp_path / "elsewhere")
    leaves += lines_of(10, 600)
    stored = tiles_on_disk(tmp_path / "elsewhere")
    needed = expected_tiles(tree_levels(leaves), 610)
    assert {p: stored.get(p) for p in needed} == needed
    # The earlier checkpoints' roots, from the tiles of the latest tree.
    client = TileClient(on_disk(tmp_path / "elsewhere"), 610)
    for entry in checkpoint_entries(log):
        assert client.root(entry["size"]) == open_note(entry["note"], notary_key[1])[2]


# ---- Go's tlog package as a second implementation

GO_ORACLE = r'''
package main

import (
	"bytes"
	"encoding/base64"
	"encoding/json"
	"os"
	"path/filepath"
	"strconv"
	"strings"

	"golang.org/x/mod/sumdb/tlog"
)

type memory []tlog.Hash

func (m memory) ReadHashes(indexes []int64) ([]tlog.Hash, error) {
	out := make([]tlog.Hash, len(indexes))
	for i, x := range indexes {
		out[i] = m[x]
	}
	return out, nil
}

type directory string

func (d directory) Height() int { return 8 }
func (d directory) SaveTiles([]tlog.Tile, [][]byte) {}
func (d directory) ReadTiles(tiles []tlog.Tile) ([][]byte, error) {
	out := make([][]byte, len(tiles))
	for i, t := range tiles {
		path := strings.Replace(t.Path(), "tile/8/", "tile/", 1)
		data, err := os.ReadFile(filepath.Join(string(d), path))
		if err != nil && t.W < 256 {
			full := t
			full.W = 256
			data, err = os.ReadFile(filepath.Join(string(d), strings.Replace(full.Path(), "tile/8/", "tile/", 1)))
			if err == nil {
				data = data[:32*t.W]
			}
		}
		if err != nil {
			return nil, err
		}
		out[i] = data
	}
	return out, nil
}

func encode(hashes []tlog.Hash) []string {
	out := []string{}
	for _, h := range hashes {
		out = append(out, base64.StdEncoding.EncodeToString(h[:]))
	}
	return out
}

func numbers(text string) []int64 {
	out := []int64{}
	for _, f := range strings.Split(text, ",") {
		n, _ := strconv.ParseInt(f, 10, 64)
		out = append(out, n)
	}
	return out
}

func must(err error) {
	if err != nil {
		panic(err)
	}
}

func main() {
	dir, leavesFile := os.Args[1], os.Args[2]
	n, _ := strconv.ParseInt(os.Args[3], 10, 64)
	data, err := os.ReadFile(leavesFile)
	must(err)
	leaves := bytes.Split(data, []byte("\n"))
	var stored memory
	for i := int64(0); i < n; i++ {
		hashes, err := tlog.StoredHashes(i, leaves[i], stored)
		must(err)
		stored = append(stored, hashes...)
	}
	root, err := tlog.TreeHash(n, stored)
	must(err)
	tiles := map[string]string{}
	for _, t := range tlog.NewTiles(8, 0, n) {
		d, err := tlog.ReadTileData(t, stored)
		must(err)
		tiles[strings.Replace(t.Path(), "tile/8/", "tile/", 1)] = base64.StdEncoding.EncodeToString(d)
	}
	// Our tiles, read through Go's reader, which checks them against the root.
	reader := tlog.TileHashReader(tlog.Tree{N: n, Hash: root}, directory(dir))
	fromTiles, err := tlog.TreeHash(n, reader)
	must(err)
	inclusion := map[string][]string{}
	for _, i := range numbers(os.Args[4]) {
		p, err := tlog.ProveRecord(n, i, reader)
		must(err)
		inclusion[strconv.FormatInt(i, 10)] = encode(p)
	}
	consistency := map[string][]string{}
	for _, old := range numbers(os.Args[5]) {
		p, err := tlog.ProveTree(n, old, reader)
		must(err)
		consistency[strconv.FormatInt(old, 10)] = encode(p)
	}
	out, _ := json.Marshal(map[string]interface{}{
		"root": base64.StdEncoding.EncodeToString(root[:]), "root_from_tiles": base64.StdEncoding.EncodeToString(fromTiles[:]),
		"tiles": tiles, "inclusion": inclusion, "consistency": consistency,
	})
	os.Stdout.Write(out)
}
'''


@pytest.fixture(scope="module")
def go_oracle(tmp_path_factory):
    go = shutil.which("go")
    if go is None or not Path("/usr/share/gocode/src/golang.org/x/mod/sumdb/tlog").is_dir():
        pytest.skip("Go and golang.org/x/mod (golang-go, golang-golang-x-mod-dev) are not installed")
    work = tmp_path_factory.mktemp("go")
    (work / "main.go").write_text(GO_ORACLE)
    env = dict(os.environ, GOPATH="/usr/share/gocode", GO111MODULE="off", GOFLAGS="",
               GOCACHE=str(work / "cache"), HOME=str(work))
    build = subprocess.run([go, "build", "-o", str(work / "oracle"), str(work / "main.go")],
                           capture_output=True, text=True, env=env, timeout=600)
    assert build.returncode == 0, build.stderr
    return work / "oracle"


@pytest.mark.integration
@pytest.mark.parametrize("size", [1, 256, 300, 65536, 70000])
def test_tiles_and_proofs_match_gos_tlog(tmp_path, notary_key, go_oracle, size):
    log = tmp_path / "audit.wal"
    leaves = lines_of(size)
    append_lines(log, leaves)
    seal(log, notary_key)
    directory = f"{log}.tiles"
    rng = random.Random(size)
    indexes = sorted({0, size - 1, *(rng.randrange(size) for _ in range(5))})
    olds = sorted({rng.randrange(1, size + 1) for _ in range(5)} | {size})
    result = subprocess.run([str(go_oracle), directory, str(log), str(size), ",".join(map(str, indexes)),
                             ",".join(map(str, olds))], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    oracle = json.loads(result.stdout)
    assert oracle["root"] == oracle["root_from_tiles"]
    # Go lists every partial width a tree passes through from size 0; the
    # tiles of the tree of `size` are its full tiles and the partials at its edge.
    needed = set(expected_tiles(tree_levels(leaves), size))
    assert needed <= set(oracle["tiles"])
    stored = tiles_on_disk(directory)
    assert {p: base64.b64encode(stored[p]).decode() for p in needed} == {p: oracle["tiles"][p] for p in needed}
    for index in indexes:
        proof = run("oxa-notary", "prove", "--checkpoints", f"{log}.checkpoints", log, index + 1)
        assert proof.returncode == 0, proof.stderr
        path = proof.stdout.split("\n\n")[0].splitlines()[3:]
        assert path == oracle["inclusion"][str(index)], index
    for old in olds:
        ours = run("oxa-notary", "consistency", "--tiles", directory, old, size)
        assert ours.returncode == 0, ours.stderr
        assert ours.stdout.splitlines() == oracle["consistency"][str(old)], old


# ---- crash safety

@pytest.mark.integration
def test_follow_killed_at_random_moments_keeps_every_published_checkpoint_provable(tmp_path, notary_key):
    log = tmp_path / "audit.wal"
    log.write_bytes(b"")
    directory = Path(f"{log}.tiles")
    written = []
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            batch = lines_of(37, i)
            append_lines(log, batch)
            written.extend(batch)
            i += len(batch)
            time.sleep(0.002)

    thread = threading.Thread(target=writer)
    thread.start()
    rng = random.Random(20)
    try:
        for round_ in range(20):
            follower = subprocess.Popen(
                [str(BIN / "oxa-notary"), "follow", "--key", str(notary_key[0]), "--origin", ORIGIN,
                 "--every", "16", "--seconds", "0.01", str(log)],
                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            # Killed at a random moment once it is sealing (its first new
            # checkpoint written), when tiles and checkpoints are being written.
            before = len(checkpoint_entries(log)) if Path(f"{log}.checkpoints").exists() else 0
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and follower.poll() is None:
                if Path(f"{log}.checkpoints").exists() and len(checkpoint_entries(log)) > before:
                    break
                time.sleep(0.01)
            time.sleep(rng.uniform(0, 0.3))
            follower.send_signal(signal.SIGKILL)
            follower.wait()
            entries = checkpoint_entries(log) if Path(f"{log}.checkpoints").exists() else []
            assert entries, follower.stderr.read()
            for entry in entries[-40:]:
                signed_root = open_note(entry["note"], notary_key[1])[2]
                assert TileClient(on_disk(directory), entry["size"]).root() == signed_root, (round_, entry["size"])
            published = (directory / "checkpoint").read_text() if (directory / "checkpoint").exists() else None
            if published is not None:
                _, size, root = open_note(published, notary_key[1])
                assert size in {e["size"] for e in entries}
                assert TileClient(on_disk(directory), size).root() == root
    finally:
        stop.set()
        thread.join()
    sizes = [e["size"] for e in checkpoint_entries(log)]
    assert len(set(sizes)) > 20
    # Sealing goes on over what the killed followers left, to the log's end.
    seal(log, notary_key)
    last = checkpoint_entries(log)[-1]
    assert last["size"] == len(written)
    hashes = [leaf_hash(x) for x in written]
    assert TileClient(on_disk(directory), last["size"]).root() == mth(hashes)
    assert open_note((directory / "checkpoint").read_text(), notary_key[1])[1:] == (len(written), mth(hashes))
    needed = expected_tiles(tree_levels(written), len(written))
    stored = tiles_on_disk(directory)
    assert {p: stored.get(p) for p in needed} == needed


# ---- a tile directory served over HTTP

@pytest.fixture
def served(tmp_path):
    def serve(directory):
        server = subprocess.Popen(
            [sys.executable, "-m", "http.server", "--bind", "127.0.0.1", "0", "--directory", str(directory)],
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        servers.append(server)
        line = server.stdout.readline()  # "Serving HTTP on 127.0.0.1 port N ..."
        port = int(line.split(" port ")[1].split()[0])
        return f"http://127.0.0.1:{port}/"

    servers = []
    yield serve
    for server in servers:
        server.terminate()
        server.wait()


def http_fetch(base):
    def fetch(path):
        try:
            with urllib.request.urlopen(base + path, timeout=30) as response:
                return response.read()
        except urllib.error.HTTPError as error:
            if error.code == 404:
                return None
            raise
    return fetch


def test_a_served_tile_directory_proves_inclusion_and_consistency(tmp_path, notary_key, served):
    # Over 256,000 leaves: level-2 tiles and a level-0 index of two path elements.
    log = tmp_path / "audit.wal"
    first = lines_of(70000)
    append_lines(log, first)
    seal(log, notary_key)
    rest = lines_of(256300 - 70000, 70000)
    append_lines(log, rest)
    seal(log, notary_key)
    leaves = first + rest
    old_note = checkpoint_entries(log)[0]["note"]

    base = served(Path(f"{log}.tiles"))
    fetch = http_fetch(base)
    origin, size, root = open_note(fetch("checkpoint").decode(), notary_key[1])
    assert (origin, size) == (ORIGIN, 256300)
    client = TileClient(fetch, size)
    assert fetch(tile_path(0, 1000)) is not None and tile_path(0, 1000) == "tile/0/x001/000"
    assert client.root() == root
    for index in (0, 65536, 256000, 256299):
        path = client.inclusion(index, size)
        assert root_from_inclusion(leaf_hash(leaves[index]), index, size, path) == root
        assert client.subtree(0, index) == leaf_hash(leaves[index])
    _, old_size, old_root = open_note(old_note, notary_key[1])
    proof = client.consistency(old_size, size)
    assert consistency_holds(old_size, old_root, size, root, proof)
