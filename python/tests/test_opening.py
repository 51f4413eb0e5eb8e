# SPDX-License-Identifier: GPL-2.0-or-later
# Python opens what it reads through the library's one opening, so each kind
# of input gets the answer the C++ fronts give it (tests/opening_test.cpp):
# a table of inputs by the module's fronts.
import errno
import os
import threading

import kob
from conftest import make_data, pack_bytes


def answer(call):
    """An answer in the C++ table's words: "ok", "not packed", "damage" or
    "errno ENAME"."""
    try:
        call()
    except kob.NotPackedError:
        return "not packed"
    except kob.DamageError:
        return "damage"
    except OSError as error:
        return "errno " + errno.errorcode.get(error.errno, str(error.errno))
    return "ok"


def via_open(name):
    with kob.open(name) as f:
        f.read(1)


def via_file_object(name):
    with open(name, "rb") as raw, kob.open(raw) as f:
        f.read(1)


def fronts(out):
    """The module's fronts by name; kob.unpack writes to `out`."""
    return {
        "kob.open": via_open,
        "a file object": via_file_object,
        "kob.scan": kob.scan,
        "kob.unpack": lambda name: kob.unpack(name, out),
        "kob.write_index": kob.write_index,
    }


def fed_fifo(path, data):
    """A FIFO at `path` with a thread writing `data` into it; the returned
    function lets the thread go when nothing opened the FIFO to read."""
    os.mkfifo(path, 0o600)
    fed = threading.Event()

    def feed():
        try:
            fd = os.open(path, os.O_WRONLY)
        except OSError:
            return
        fed.set()
        try:
            os.write(fd, data)
        except OSError:
            pass
        finally:
            os.close(fd)

    thread = threading.Thread(target=feed)
    thread.start()

    def release():
        while not fed.wait(0.001):
            os.close(os.open(path, os.O_RDONLY | os.O_NONBLOCK))
        thread.join()
        os.unlink(path)
    return release


def test_every_kind_of_input_gets_one_answer_from_every_front(nginx, rng, tmp_path):
    data = make_data(rng, 70000)
    packed = pack_bytes(tmp_path / "p.kob", data).read_bytes()
    (tmp_path / "-").write_bytes(packed)
    (tmp_path / "plain").write_bytes(b"just text, not packed\n")
    (tmp_path / "folder").mkdir()
    (nginx.data / "p.kob").write_bytes(packed)
    ok5 = ["ok"] * 5
    out = tmp_path / "out.unpacked"
    # The answers, front by front, in the order of fronts(); None: not taken.
    rows = {
        "a path": (tmp_path / "p.kob", ok5),
        "a file named -, which is a path": (tmp_path / "-", ok5),
        "a URL": (nginx.url("p.kob"), ["ok", None, "ok", "ok", "errno EROFS"]),
        "a FIFO": (tmp_path / "fifo",
                   ["errno ESPIPE", "ok", "ok", "ok", "errno ESPIPE"]),
        "a directory": (tmp_path / "folder", ["errno EISDIR"] * 5),
        "a file not packed": (tmp_path / "plain", ["not packed"] * 5),
        "a file whose first read fails": ("/proc/self/mem", ["errno EIO"] * 5),
        "a missing file": (tmp_path / "none", ["errno ENOENT"] * 5),
    }
    for what, (name, answers) in rows.items():
        for (front, call), expected in zip(fronts(str(out)).items(), answers):
            if expected is None:
                continue
            fifo = what == "a FIFO"
            release = fed_fifo(name, packed) if fifo else None
            try:
                got = answer(lambda: call(str(name)))
            finally:
                if release:
                    release()
            assert got == expected, "%s through %s" % (what, front)
            if front == "kob.unpack" and expected == "ok":
                assert out.read_bytes() == data, what
            if out.exists():
                out.unlink()
            index = tmp_path / (os.path.basename(str(name)) + ".kbi")
            if front == "kob.write_index" and expected == "ok":
                assert kob.index_state(str(name)) == "valid", what
            if index.exists():
                index.unlink()
