"""The command line, run as a subprocess: the demo, --version, and inspect on
real files and standard input with its exit statuses."""

import json
import subprocess
import sys

import pytest

import vellum

CLASS_SRC = b"class P:\n    x = 1\n"
# 25, name 15 01 P, source 0E n ..., module 15 07 nowhere, dict 0C 00
INSTANCE = (b"\x25\x15\x01P\x0e" + bytes([len(CLASS_SRC)]) + CLASS_SRC
            + b"\x15\x07nowhere\x0c\x00")


def run(*args, stdin=None):
    return subprocess.run([sys.executable, "-m", "vellum", *args], input=stdin,
                          capture_output=True, timeout=120)


def test_demo_passes():
    done = run()
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.rstrip().endswith(b"demo passed")
    assert b"safe loading refuses it" in done.stdout


def test_version():
    done = run("--version")
    assert (done.returncode, done.stdout.decode().strip()) == (0, f"vellum {vellum.__version__}")


@pytest.mark.parametrize("stream, flags, status, expected", [
    (vellum.dumps({"a": [1, 2]}), [], 0,
     ["9 bytes", "well-formed", "TAG_DICT_DEDUP", "loading it runs no code"]),
    (vellum.dumps([1, vellum.dumps]), [], 1,
     ["loading it would run code in 1 value(s)", "at byte 3: TAG_FN_BYTECODE (0x20)",
      "bytecode vía marshal.loads()"]),
    (INSTANCE, ["--source"], 1,
     ["at byte 0: TAG_INSTANCE (0x25)", "# class 'P' from module 'nowhere'", "    x = 1"]),
    (b"\x14\x05", [], 2, ["2 bytes", "malformed: EOF inesperado"]),
    (b"", ["--source"], 2, ["malformed: EOF inesperado"]),
])
def test_inspect_file(tmp_path, stream, flags, status, expected):
    path = tmp_path / "stream.vlm"
    path.write_bytes(stream)
    done = run("inspect", str(path), *flags)
    out = done.stdout.decode()
    assert done.returncode == status, out + done.stderr.decode()
    for text in expected:
        assert text in out
    if "--source" not in flags:
        assert "class P" not in out


def test_inspect_json_from_stdin():
    done = run("inspect", "--json", "--source", "-", stdin=INSTANCE)
    assert done.returncode == 1
    report = json.loads(done.stdout)
    assert report["ok"] and report["runs_code"] and report["size"] == len(INSTANCE)
    assert report["tag_counts"] == {"TAG_INSTANCE": 1, "TAG_DICT": 1}
    (block,) = report["blocks"]
    assert (block["offset"], block["tag"], block["tag_name"]) == (0, 0x25, "TAG_INSTANCE")
    assert "class P:" in block["source"]


def test_inspect_json_of_a_malformed_stream(tmp_path):
    path = tmp_path / "bad.vlm"
    path.write_bytes(b"\x00\x00")
    done = run("inspect", "--json", str(path))
    assert done.returncode == 2
    report = json.loads(done.stdout)
    assert not report["ok"] and report["blocks"] == []
    assert report["error"] == "1 bytes sobrantes tras el objeto raiz (pos=1, total=2)"


@pytest.mark.parametrize("flags", [[], ["--json"]])
def test_inspect_unreadable_file(tmp_path, flags):
    done = run("inspect", *flags, str(tmp_path / "missing.vlm"))
    assert done.returncode == 2
    assert b"missing.vlm" in done.stdout + done.stderr
