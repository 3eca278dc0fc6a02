"""The command line, run as a subprocess: the demo, --version, and inspect on
real files and standard input with its exit statuses, and hostile text in the
streams it shows."""

import json
import subprocess
import sys

import pytest

import vellum

CLASS_SRC = b"class P:\n    x = 1\n"
# 25, name 15 01 P, source 0E n ..., module 15 07 nowhere, dict 0C 00
INSTANCE = (b"\x25\x15\x01P\x0e" + bytes([len(CLASS_SRC)]) + CLASS_SRC
            + b"\x15\x07nowhere\x0c\x00")


def block(raw):
    """A text or byte block: 0E n raw, or FB 06 and a two-byte length."""
    if len(raw) < 256:
        return bytes([0x0E, len(raw)]) + raw
    return bytes([0xFB, 0x06, 0x40 | len(raw) >> 8, len(raw) & 0xFF]) + raw


def instance(name=b"P", source=CLASS_SRC, module=b"nowhere"):
    """25, name, source, module, dict 0C 00."""
    return b"\x25" + block(name) + block(source) + block(module) + b"\x0c\x00"


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
    (vellum.dumps([1, lambda: 0]), [], 1,
     ["loading it would run code in 1 value(s)", "at byte 3: TAG_FUNCTION (0x30)",
      "bytecode vía marshal.loads()"]),
    (INSTANCE, ["--source"], 1,
     ["at byte 0: TAG_INSTANCE (0x25)", "# class 'P' from module 'nowhere'", "    x = 1"]),
    (b"\x14\x05", [], 2, ["2 bytes", "malformed: EOF inesperado"]),
    (b"", ["--source"], 2, ["malformed: EOF inesperado"]),
    # malformed comes first, whatever text the stream hides
    (instance(source="\x1b[2K\u202e".encode())[:-1], ["--source"], 2, ["malformed: EOF"]),
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


# ---------------------------------------------------------------------------
# Hostile text: whatever a stream's author writes is shown escaped and flagged

def inspect_both_ways(tmp_path, stream):
    """(text output, JSON report, exit status) of inspect --source, which
    exits alike both ways."""
    path = tmp_path / "stream.vlm"
    path.write_bytes(stream)
    text = run("inspect", "--source", str(path))
    as_json = run("inspect", "--json", "--source", str(path))
    assert as_json.returncode == text.returncode and as_json.stdout.isascii()
    out = text.stdout.decode()  # strict: a byte that is not UTF-8 would fail here
    report = json.loads(as_json.stdout)
    # the JSON holds exactly the text shown
    shown = "\n".join("      " + line for line in report["blocks"][0]["source"].split("\n"))
    assert shown in out
    return out, report, text.returncode


FIELDS = {"name": b"P", "source": b"class P:\n    x = 1  # ", "module": b"nowhere"}


@pytest.mark.parametrize("field", FIELDS)
@pytest.mark.parametrize("text, hidden", [
    pytest.param("\x1b[1A\x1b[2K\r", ["U+001B", "U+000D"], id="cursor-up-erase-line"),
    pytest.param("\u202e\u2066\u2069", ["U+202E", "U+2066", "U+2069"], id="bidi"),
    pytest.param("\u200b\u00ad\ufeff\u2060", ["U+200B", "U+00AD", "U+FEFF", "U+2060"],
                 id="invisible"),
    pytest.param("\u2028\u2029\x85", ["U+2028", "U+2029", "U+0085"], id="line-separators"),
    pytest.param("\x00", ["U+0000"], id="nul"),
    pytest.param("\x7f\x9b", ["U+007F", "U+009B"], id="del-and-csi"),
    pytest.param(b"\xff\xc3(", ["byte 0xFF", "byte 0xC3"], id="invalid-utf8"),
    pytest.param("x" * 10_000 + "\u202e", ["U+202E"], id="10000-character-line"),
])
def test_inspect_escapes_and_flags_hostile_text(tmp_path, field, text, hidden):
    raw = text if isinstance(text, bytes) else text.encode()
    out, report, status = inspect_both_ways(tmp_path, instance(**{field: FIELDS[field] + raw}))
    assert status == 1
    raw_chars = {ch for ch in str(text) if not (ch.isascii() and ch.isprintable())}
    assert not any(ch in out for ch in raw_chars - {"\n"}) and "\ufffd" not in out
    assert f"    warning: hidden or control characters in its text: {', '.join(hidden)}\n" in out
    assert report["hides_text"] and report["blocks"][0]["hidden_text"] == hidden


@pytest.mark.parametrize("field", ["name", "module"])
def test_a_one_line_field_cannot_forge_a_line(tmp_path, field):
    forged = b"\n      import os  # looks carried\tx"
    out, report, status = inspect_both_ways(tmp_path, instance(**{field: FIELDS[field] + forged}))
    assert status == 1 and "\t" not in out
    assert not any(line.strip().startswith("import os") for line in out.splitlines())
    assert "\\x0a      import os  # looks carried\\x09x'" in out
    assert report["blocks"][0]["hidden_text"] == ["U+000A", "U+0009"]


def test_ordinary_text_is_shown_as_it_is(tmp_path):
    source = "class Größe:\n\t\"\"\"Ünïcödé, 日本語 and 👩\u200d💻.\"\"\"\n\tx = '\\n'\n"
    stream = instance(name="Größe".encode(), source=source.encode(), module="paquete_ñ".encode())
    out, report, status = inspect_both_ways(tmp_path, stream)
    assert status == 1  # it runs code, and hides nothing
    assert "# class 'Größe' from module 'paquete_ñ'\n" in out and "warning" not in out
    assert "\n".join("      " + line for line in source.rstrip().split("\n")) in out
    assert not report["hides_text"] and report["blocks"][0]["hidden_text"] == []
    assert report["blocks"][0]["source"].endswith(source.rstrip())
