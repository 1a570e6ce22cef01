import errno
import json
import os
import pathlib
import pwd
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

import numpy as np
import pytest

import korvane as K

SAVE_DOC = (
    "Serialize the index to a file. The on-disk format is\n"
    "versioned (magic header `KRVN` + 32-byte header + grid data\n"
    "+ dense per-chunk mags/phases/norms)."
)
LOAD_DOC = (
    "Load an index from a file. Returns a fresh `SpectralIndex`\n"
    "reconstructed from the on-disk bytes; the encoder metadata\n"
    "(dim, top_k, bit widths, grids) is read from the file\n"
    "header and used to recreate the encoder internally."
)
SHORT = "I/O error: failed to fill whole buffer"


from helpers import caps_memory, exact, exact_batch, notes, rows


def make_index(n, dim=8, top_k=2, bits=(4, 3, 2), calibrate=False):
    enc = K.SpectralEncoder(dim, top_k, *bits)
    if calibrate:
        enc.calibrate([v for r in rows(30, dim, seed=4) for v in r])
    ix = K.SpectralIndex(enc)
    if n:
        ix.add_embeddings(rows(n, dim))
    return enc, ix


def snapshot(ix, enc):
    """Everything observable about an index's contents, bit for bit."""
    queries = rows(4, enc.dim, seed=8)
    return (
        len(ix), ix.bytes_per_chunk(), ix.total_bytes(),
        [exact(ix.search(enc.encode(q), k)) for q in queries for k in (1, 3, 100)],
        exact_batch(ix.search_batch(queries, 3)),
    )


@pytest.fixture
def saved(tmp_path):
    """(encoder, index of 3 items, path, file bytes) for dim 8, top_k 2, widths 4/3/2."""
    enc, ix = make_index(3)
    path = str(tmp_path / "three.idx")
    ix.save(path)
    return enc, ix, path, pathlib.Path(path).read_bytes()


# ---- save ------------------------------------------------------------------


@pytest.mark.parametrize("n, length", [(3, 276), (0, 144)])
def test_save_returns_file_length(tmp_path, n, length):
    _, ix = make_index(n)
    path = tmp_path / "x.idx"
    assert ix.save(path=str(path)) == length
    assert path.stat().st_size == length


def test_save_writes_the_layout(saved):
    enc, ix, _, data = saved
    assert data[:4] == b"KRVN"
    assert struct.unpack_from("<IIIBBB5sQ", data, 4) == (1, 8, 2, 4, 3, 2, bytes(5), 3)
    grids = np.frombuffer(data[32:144], "<f4")
    want = np.concatenate([enc.mag_grid, enc.phase_grid, enc.norm_grid])
    assert grids.view(np.uint32).tolist() == want.view(np.uint32).tolist()
    assert len(data) - 144 == 4 * (2 * 5 * 3 + 3)


def test_save_truncates_a_longer_file(tmp_path, saved):
    _, ix, _, data = saved
    path = tmp_path / "long.idx"
    path.write_bytes(b"\xff" * 10_000)
    assert ix.save(str(path)) == 276
    assert path.read_bytes() == data


SAVE_UNDER_SIZE_LIMIT = """
import resource, sys
import numpy as np
import korvane as K
ix = K.SpectralIndex(K.SpectralEncoder(64, 32, 4, 3, 2))
ix.add_embeddings(np.random.default_rng(1).standard_normal((300, 64)).astype(np.float32))
resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))
try:
    ix.save(sys.argv[1])
except OSError as e:
    print(type(e).__name__, e)
"""


def test_failed_save_leaves_the_old_file_and_no_temporary(tmp_path, saved):
    # The new file is larger than the child may write, so the save fails
    # part way through its bytes.
    path = tmp_path / "three.idx"
    before = sorted(p.name for p in tmp_path.iterdir())
    out = subprocess.run([sys.executable, "-c", SAVE_UNDER_SIZE_LIMIT, str(path)],
                         capture_output=True, text=True, timeout=120, env=os.environ)
    assert out.stdout.strip() == "OSError I/O error: File too large (os error 27)", out.stderr
    assert path.read_bytes() == saved[3]
    assert sorted(p.name for p in tmp_path.iterdir()) == before


@pytest.mark.parametrize("grid", ["mag", "phase", "norm"])
def test_save_refuses_grids_not_matching_widths(tmp_path, grid):
    enc = K.SpectralEncoder(8, 2, 4, 3, 2)
    grids = {"mag": enc.mag_grid.tolist(), "phase": enc.phase_grid.tolist(), "norm": enc.norm_grid.tolist()}
    grids[grid] = grids[grid][:-1] if grid != "phase" else grids[grid] + [0.5]
    enc.set_grids(enc.mag_lo, enc.mag_hi, grids["mag"], grids["phase"], 0.5, 2.0, grids["norm"])
    ix = K.SpectralIndex(enc)
    ix.add([K.SpectralCodes([1], [0], [0], 0)])
    fresh, existing = tmp_path / "fresh.idx", tmp_path / "existing.idx"
    existing.write_bytes(b"old content")
    for path in (fresh, existing):
        with pytest.raises(ValueError, match="^invalid input: "):
            ix.save(str(path))
    assert not fresh.exists()
    assert existing.read_bytes() == b"old content"
    assert len(ix) == 1


def a_path_of(tmp_path, length, name_length):
    """A path of `length` characters under tmp_path whose last component has
    `name_length`; its directories are made."""
    rest = length - len(str(tmp_path)) - 1 - name_length
    parts = []
    while rest > 0:
        take = 200 if rest > 202 else rest - 1
        parts.append("d" * take)
        rest -= take + 1
    directory = os.path.join(str(tmp_path), *parts)
    os.makedirs(directory)
    path = os.path.join(directory, "f" * name_length)
    assert len(path) == length
    return path


@pytest.mark.parametrize("name_length", [5, 255])
def test_save_to_a_path_near_the_length_limit(tmp_path, saved, name_length):
    # 4,077 characters: within PATH_MAX, whatever the temporary is called.
    _, ix, _, data = saved
    path = a_path_of(tmp_path, 4077, name_length)
    assert ix.save(path) == len(data)
    first = os.stat(path).st_ino
    assert ix.save(path) == len(data)
    assert os.stat(path).st_ino != first  # replaced, not written in place
    assert pathlib.Path(path).read_bytes() == data
    assert os.listdir(os.path.dirname(path)) == [os.path.basename(path)]
    assert len(K.SpectralIndex.load(path)) == 3


def test_save_reports_the_error_of_the_path_given(saved):
    # /proc takes no new files: the error is the file's own (unprivileged:
    # not writable; root: no room can be reserved in it), never the
    # temporary's.
    _, ix, _, _ = saved
    err = errno.EOPNOTSUPP if os.geteuid() == 0 else errno.EACCES
    with pytest.raises(OSError) as info:
        ix.save("/proc/version")
    assert info.value.args == (f"I/O error: {os.strerror(err)} (os error {err})",)


# Saving over an index where the directory refuses the rename or the
# temporary, run for real as root in a mount namespace of its own: the file is
# written in place, and whatever fails, the path holds the old index or the
# whole new one. Layouts: "bound", a file on a small file system bind-mounted
# over a file (rename EBUSY), "bound-ro" the same in a read-only directory (no
# temporary, as in a container with a read-only root); "sticky", a file in a sticky directory open to
# all, saved by another user (rename EPERM); "closed", a directory where the
# saver may make no file (no temporary). The child prints what it found.
IN_PLACE_CHILD = """
import json, os, pwd, resource, subprocess, sys
import numpy as np
import korvane as K

work, layout, small_fs, filler, owner, saver, fsize, old_n, new_n = json.loads(sys.argv[1])

def index(n):
    ix = K.SpectralIndex(K.SpectralEncoder(64, 32, 4, 3, 2))
    ix.add_embeddings(np.random.default_rng(n).standard_normal((n, 64)).astype(np.float32))
    return ix

old, new = index(old_n), index(new_n)
os.mkdir(os.path.join(work, "ref"))
refs = {}
for name, ix in (("old", old), ("new", new)):
    ix.save(os.path.join(work, "ref", name))
    refs[name] = open(os.path.join(work, "ref", name), "rb").read()

def small(path, mode):
    os.makedirs(path, exist_ok=True)
    subprocess.run(["mount", "-t", "tmpfs", "-o", f"size=1M,mode={mode:o}", "tmpfs", path], check=True)

home = os.path.join(work, layout)
if layout.startswith("bound"):
    os.mkdir(home)
    small(os.path.join(work, "small"), 0o755)
    stored = os.path.join(work, "small", "old.idx")
    target = os.path.join(home, "bound.idx")
    open(target, "wb").close()
else:
    if small_fs:
        small(home, 0o1777 if layout == "sticky" else 0o755)
    else:
        os.mkdir(home)
        os.chmod(home, 0o1777 if layout == "sticky" else 0o755)
    stored = target = os.path.join(home, "f.idx")
open(stored, "wb").write(refs["old"])
os.chmod(stored, 0o666)
ids = pwd.getpwnam(owner)
os.chown(stored, ids.pw_uid, ids.pw_gid)
if filler:
    open(os.path.join(os.path.dirname(stored), "filler"), "wb").write(bytes(filler))
if layout == "bound-ro":
    subprocess.run(["mount", "--bind", home, home], check=True)
    subprocess.run(["mount", "-o", "remount,bind,ro", home], check=True)
if layout.startswith("bound"):
    subprocess.run(["mount", "--bind", stored, target], check=True)
before = sorted(os.listdir(home))
room = os.statvfs(os.path.dirname(stored))

read_end, write_end = os.pipe()
pid = os.fork()
if pid == 0:
    message = "no error"
    try:
        ids = pwd.getpwnam(saver)
        os.setgid(ids.pw_gid)
        os.setuid(ids.pw_uid)
        if fsize:
            resource.setrlimit(resource.RLIMIT_FSIZE, (fsize, fsize))
        new.save(target)
    except BaseException as e:
        message = f"{type(e).__name__}: {e}"
    finally:
        os.write(write_end, message.encode())
        os._exit(0)
os.close(write_end)
os.waitpid(pid, 0)
error = os.read(read_end, 4096).decode()
data = open(target, "rb").read()
st = os.stat(target)
print(json.dumps({
    "error": error,
    "holds": [k for k, v in refs.items() if v == data] or ["neither"],
    "loads": len(K.SpectralIndex.load(target)) if data in refs.values() else None,
    "owner": pwd.getpwuid(st.st_uid).pw_name, "mode": oct(st.st_mode & 0o7777),
    "left": sorted(os.listdir(home)) == before,
    "free": room.f_bavail * room.f_frsize, "sizes": [len(refs["old"]), len(refs["new"])],
}))
"""

FULL = "OSError: I/O error: No space left on device (os error 28)"
TOO_LARGE = "OSError: I/O error: File too large (os error 27)"

# Sizes: 1,000 items make 268,144 bytes, 1,500 make 402,144 and 3,000 make
# 804,144 on a 1 MiB file system. The sticky directory holds the temporary
# too: 300 KB of other data leave it room for that, but not for the copy.
IN_PLACE_CASES = {
    # id: (layout, on a 1 MiB file system, other data, owner, saver, RLIMIT_FSIZE, protected_regular,
    #      old items, new items, error, what the path holds)
    "bind-mounted, disk full": ("bound", True, 400_000, "root", "root", 0, 0, 1000, 3000, FULL, "old"),
    "bind-mounted, room enough": ("bound", True, 0, "root", "root", 0, 0, 1000, 3000, "no error", "new"),
    "bind-mounted into a read-only directory": ("bound-ro", True, 0, "root", "root", 0, 0, 1000, 3000, "no error", "new"),
    "bind-mounted into a read-only directory, disk full":
        ("bound-ro", True, 400_000, "root", "root", 0, 0, 1000, 3000, FULL, "old"),
    "sticky, nearly full": ("sticky", True, 300_000, "root", "nobody", 0, 0, 1000, 1500, FULL, "old"),
    "sticky, room enough": ("sticky", True, 0, "root", "nobody", 0, 0, 1000, 1500, "no error", "new"),
    "sticky, protected_regular, a third user's file":
        ("sticky", False, 0, "daemon", "nobody", 0, 1, 54, 300, "no error", "new"),
    "no new file, size limit": ("closed", False, 0, "root", "nobody", 40_000, 0, 54, 300, TOO_LARGE, "old"),
    "no new file, within the limit": ("closed", False, 0, "root", "nobody", 40_000, 0, 54, 100, "no error", "new"),
}


@pytest.mark.skipif(os.geteuid() != 0, reason="needs root: mounts a small file system and saves as other users")
@pytest.mark.parametrize("case", IN_PLACE_CASES.values(), ids=IN_PLACE_CASES.keys())
def test_save_in_place_leaves_the_old_index_or_the_whole_new_one(case):
    layout, small_fs, filler, owner, saver, fsize, protect, old_n, new_n, error, holds = case
    # Under /tmp, which every user can reach (the test's own temporary
    # directory may sit where "nobody" cannot).
    guard = pathlib.Path("/proc/sys/fs/protected_regular")
    was = guard.read_text().strip()
    work = tempfile.mkdtemp(prefix="korvane-in-place-", dir="/tmp")
    try:
        os.chmod(work, 0o755)
        if was != str(protect):
            guard.write_text(str(protect))
        args = json.dumps([work, layout, small_fs, filler, owner, saver, fsize, old_n, new_n])
        path = os.pathsep.join(filter(None, [os.path.dirname(K.__file__), os.environ.get("PYTHONPATH")]))
        out = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, "-c", IN_PLACE_CHILD, args],
                             capture_output=True, text=True, timeout=120, env=dict(os.environ, PYTHONPATH=path))
    finally:
        if guard.read_text().strip() != was:
            guard.write_text(was)
        shutil.rmtree(work)
    assert out.returncode == 0, out.stderr
    found = json.loads(out.stdout)
    assert (found["error"], found["holds"]) == (error, [holds])
    assert found["loads"] == (old_n if holds == "old" else new_n)
    if error == FULL:
        # The room left takes the temporary where it shares the small file
        # system (in the sticky directory) but not the new length reserved
        # over the old file: it is writing in place that ran out.
        old_size, new_size = (-(-n // 4096) * 4096 for n in found["sizes"])
        temporary = new_size if layout == "sticky" else 0
        assert temporary <= found["free"] < temporary + new_size - old_size
    # The file that stood there was written in place: its owner and mode are
    # its own, and nothing is left beside it.
    assert (found["owner"], found["mode"], found["left"]) == (owner, "0o666", True)


# ---- interruption ----------------------------------------------------------


# The child signals "ready" just before a call that blocks on a FIFO. Its
# handler lets the first SIGINT go (the call must carry on) and raises on the
# second.
BLOCKED_CALL = """
import os, signal, sys
import numpy as np
import korvane as K

class Stop(Exception):
    pass

calls = 0
def handler(signum, frame):
    global calls
    calls += 1
    print("handled", flush=True)
    if calls == 2:
        raise Stop

signal.signal(signal.SIGINT, handler)
case, fifo, saved = sys.argv[1:]
ix = K.SpectralIndex(K.SpectralEncoder(64, 32, 4, 3, 2))
ix.add_embeddings(np.random.default_rng(1).standard_normal((1000, 64)).astype(np.float32))
if case == "save, reader that reads nothing":
    os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
if case == "load, writer that falls silent":
    os.write(os.open(fifo, os.O_RDWR), open(saved, "rb").read()[:100])
print("ready", flush=True)
result = "returned"
try:
    result = ix.save(fifo) if case.startswith("save") else K.SpectralIndex.load(fifo)
except Stop:
    print("raised Stop")
print(result)
"""

# How long to wait for a child that is expected to move on: a guard against
# a hang only.
PATIENCE = 60


def line_from(child):
    """The child's next line, read a byte at a time so that nothing after it
    is buffered here, out of reach of communicate()."""
    line = b""
    while not line.endswith(b"\n"):
        ready, _, _ = select.select([child.stdout], [], [], PATIENCE)
        byte = os.read(child.stdout.fileno(), 1) if ready else b""
        if not byte:
            return "(nothing)"
        line += byte
    return line.decode().strip()


def wait_until_blocked(child, syscall):
    """Until the child sleeps in system call number `syscall`."""
    deadline = time.monotonic() + PATIENCE
    while time.monotonic() < deadline and child.poll() is None:
        with open(f"/proc/{child.pid}/syscall") as f:
            if f.read().split()[0] == str(syscall):
                return
        time.sleep(0.01)
    pytest.fail(f"the child never blocked in system call {syscall}")


@pytest.mark.parametrize(
    "case, syscall",  # x86-64 numbers: read 0, write 1, openat 257
    [("save, nobody reading", 257), ("save, reader that reads nothing", 1),
     ("load, no writer", 257), ("load, writer that falls silent", 0)],
)
def test_signal_handlers_run_while_a_file_call_blocks(tmp_path, saved, case, syscall):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    before = sorted(os.listdir(tmp_path))
    child = subprocess.Popen([sys.executable, "-c", BLOCKED_CALL, case, str(fifo), saved[2]],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, bufsize=0, text=True,
                             env=os.environ)
    try:
        assert line_from(child) == "ready"
        for _ in range(2):
            wait_until_blocked(child, syscall)
            child.send_signal(signal.SIGINT)
            assert line_from(child) == "handled"
        out, err = child.communicate(timeout=PATIENCE)
    finally:
        child.kill()
        child.wait()
    assert out.split("\n") == ["raised Stop", "returned", ""], err
    assert sorted(os.listdir(tmp_path)) == before


# ---- round trip ------------------------------------------------------------


@pytest.mark.parametrize("n, calibrate", [(0, False), (6, False), (6, True)])
def test_round_trip_searches_bit_identically(tmp_path, n, calibrate):
    enc, ix = make_index(n, dim=10, top_k=3, bits=(5, 4, 3), calibrate=calibrate)
    path = str(tmp_path / "rt.idx")
    ix.save(path)
    loaded = K.SpectralIndex.load(path)
    assert type(loaded) is K.SpectralIndex
    assert snapshot(loaded, enc) == snapshot(ix, enc)
    assert loaded.total_bytes() == loaded.bytes_per_chunk() * n


def test_saving_a_loaded_index_gives_the_same_file(tmp_path, saved):
    _, _, path, data = saved
    again = tmp_path / "again.idx"
    assert K.SpectralIndex.load(path).save(str(again)) == len(data)
    assert again.read_bytes() == data


def test_items_added_after_load_continue_the_ids(saved):
    enc, ix, path, _ = saved
    loaded = K.SpectralIndex.load(path)
    extra = enc.encode_batch(rows(2, seed=6))
    ix.add(extra)
    loaded.add(extra)
    assert len(loaded) == 5
    assert loaded.total_bytes() == 5 * loaded.bytes_per_chunk()
    assert snapshot(loaded, enc) == snapshot(ix, enc)


def test_load_through_an_instance_leaves_it_alone(saved):
    enc, _, path, _ = saved
    other = K.SpectralIndex(enc)
    other.add_embeddings(rows(1, seed=3))
    before = snapshot(other, enc)
    loaded = other.load(path)
    assert loaded is not other and len(loaded) == 3
    assert snapshot(other, enc) == before


# ---- damaged and unusual files --------------------------------------------


HOSTILE_LOAD = """
import resource, sys
resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
import korvane
try:
    korvane.SpectralIndex.load(sys.argv[1])
except BaseException as e:
    print(type(e).__name__, e)
"""


def hostile(*patches):
    """A header whose counts would need gigabytes: loaded in a child whose
    address space is capped at 1 GB, so a large allocation ahead of the
    data cannot pass."""
    return pytest.param(None, list(patches), True, OSError, SHORT, marks=caps_memory)


# (length to cut the file to or None, header patches, load in a capped
#  child, exception type, its one argument)
MALFORMED = [
    *[(length, [], False, OSError, SHORT) for length in [0, 31, 32, 32 + 63, 144, 144 + 60 + 59, 275]],
    (None, [(0, "<B", ord("X"))], False, ValueError, "invalid on-disk format: magic bytes mismatch"),
    (None, [(0, "<B", 0), (4, "<I", 2)], False, ValueError, "invalid on-disk format: magic bytes mismatch"),
    (None, [(4, "<I", 2)], False, ValueError, "format version mismatch: file is v2, this build is v1"),
    (None, [(4, "<I", 0), (8, "<I", 3)], False, ValueError, "format version mismatch: file is v0, this build is v1"),
    (None, [(8, "<I", 3)], False, ValueError, "dimension mismatch: expected 4, got 3"),
    (None, [(12, "<I", 0)], False, ValueError, "top_k (0) exceeds F (5)"),
    (None, [(17, "<B", 31)], False, ValueError, "invalid grid size: 2^31 = 2147483648 overflows"),
    (None, [(24, "<Q", 4)], False, OSError, SHORT),
    (None, [(24, "<Q", 2**40)], False, OSError, SHORT),
    (None, [(24, "<Q", 2**62)], False, OSError, SHORT),
    (None, [(24, "<Q", 2**64 - 1)], False, OSError, SHORT),
    (None, [(16, "<B", 5)], False, OSError, SHORT),
    (None, [(8, "<I", 10)], False, OSError, SHORT),
    hostile((24, "<Q", 2**26)),  # dense arrays of 2.5 GB
    hostile((16, "<B", 30), (17, "<B", 30), (18, "<B", 30)),  # grids of 4 GB each
    hostile((8, "<I", 131070), (12, "<I", 1), (24, "<Q", 2**14)),  # large dim times count
]


@pytest.mark.parametrize("length, patches, capped, exc, message", MALFORMED)
def test_malformed_files(tmp_path, saved, length, patches, capped, exc, message):
    data = bytearray(saved[3][:length])
    for offset, fmt, value in patches:
        struct.pack_into(fmt, data, offset, value)
    path = tmp_path / "bad.idx"
    path.write_bytes(bytes(data))
    if capped:
        out = subprocess.run([sys.executable, "-c", HOSTILE_LOAD, str(path)],
                             capture_output=True, text=True, timeout=120, env=os.environ)
        assert out.stdout.strip() == f"{exc.__name__} {message}", out.stderr
        return
    with pytest.raises(exc) as info:
        K.SpectralIndex.load(str(path))
    assert type(info.value) is exc
    assert info.value.args == (message,)


def test_reserved_and_trailing_bytes_are_ignored(tmp_path, saved):
    enc, ix, _, data = saved
    path = tmp_path / "extra.idx"
    path.write_bytes(data[:19] + b"\x01\x02\x03\x04\xff" + data[24:] + b"trailing bytes")
    loaded = K.SpectralIndex.load(str(path))
    assert snapshot(loaded, enc) == snapshot(ix, enc)


def test_odd_grid_values_load_as_they_are(tmp_path, saved):
    _, _, _, data = saved
    odd = [0x7FC01234, 0xBF800000, 0x80000000, 0x7F800000, 0xFF800000]  # NaN payload, -1, -0, +inf, -inf
    buf = bytearray(data)
    for i, bits in enumerate(odd):
        struct.pack_into("<I", buf, 32 + 4 * (3 * i), bits)  # scattered over mag_grid
    struct.pack_into("<I", buf, 96, 0x7FC00001)  # first phase
    path = tmp_path / "odd.idx"
    path.write_bytes(bytes(buf))
    loaded = K.SpectralIndex.load(str(path))
    again = tmp_path / "odd-again.idx"
    loaded.save(str(again))
    assert again.read_bytes() == bytes(buf)
    loaded.search(K.SpectralCodes([1], [3], [0], 0), 3)  # no error


# ---- paths -----------------------------------------------------------------


def call(method, ix, path):
    return ix.save(path) if method == "save" else K.SpectralIndex.load(path)


@pytest.mark.parametrize("method", ["save", "load"])
@pytest.mark.parametrize(
    "make, exc, message",
    [
        (lambda p: p.encode(), TypeError, "'bytes' object is not an instance of 'str'"),
        (lambda p: pathlib.Path(p), TypeError, f"'{type(pathlib.Path()).__qualname__}' object is not an instance of 'str'"),
        (lambda p: None, TypeError, "'None' is not an instance of 'str'"),
        (lambda p: p + "\udcff", UnicodeEncodeError, None),
    ],
)
def test_path_must_be_text(saved, method, make, exc, message):
    _, ix, path, _ = saved
    with pytest.raises(exc) as info:
        call(method, ix, make(path))
    if message is not None:
        assert str(info.value) == message
    assert notes(info.value) == ["while processing 'path'"]


@pytest.mark.parametrize("method", ["save", "load"])
@pytest.mark.parametrize(
    "name, start",
    [("missing-dir/x.idx", "I/O error: No such file or directory (os error 2)"),
     ("nul\0byte.idx", "I/O error: ")],
)
def test_path_os_errors(tmp_path, saved, method, name, start):
    _, ix, _, _ = saved
    if method == "load" and "/" not in name:
        (tmp_path / "nul").write_bytes(saved[3])  # a NUL must not cut the name short
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(OSError) as info:
        call(method, ix, str(tmp_path / name))
    assert type(info.value) is OSError
    assert len(info.value.args) == 1 and info.value.args[0].startswith(start)
    assert info.value.errno is None
    if method == "save":
        assert sorted(p.name for p in tmp_path.iterdir()) == before


def test_load_of_missing_file(tmp_path):
    with pytest.raises(OSError) as info:
        K.SpectralIndex.load(path=str(tmp_path / "absent.idx"))
    assert info.value.args == ("I/O error: No such file or directory (os error 2)",)


# ---- documentation ---------------------------------------------------------


@pytest.mark.parametrize(
    "method, signature, doc",
    [("save", "($self, path)", SAVE_DOC), ("load", "(path)", LOAD_DOC)],
)
def test_file_method_docs(method, signature, doc):
    member = getattr(K.SpectralIndex, method)
    assert member.__text_signature__ == signature
    assert member.__doc__ == doc
