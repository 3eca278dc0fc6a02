"""Every code example of the README runs: the Python blocks in order as one
script, then the `python3 -m vellum` lines of the shell blocks on the files the
script wrote."""

import pathlib
import re
import subprocess
import sys

README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
BLOCK = re.compile(r"^```(\w+)\n(.*?)^```", re.M | re.S)


def blocks(lang):
    return [body for kind, body in BLOCK.findall(README.read_text()) if kind == lang]


def test_readme_shows_the_set_up_commands():
    shell = "\n".join(blocks("sh"))
    assert "pip install . && python3 -m vellum" in shell
    assert 'pip install ".[test]" && python3 -m pytest -q' in shell


def test_readme_examples_run(tmp_path):
    script = tmp_path / "readme_examples.py"
    script.write_text("\n".join(blocks("python")))
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "TAG_FUNCTION" in done.stdout
    commands = [line.split("#")[0].strip() for body in blocks("sh")
                for line in body.splitlines() if line.startswith("python3 -m vellum ")]
    assert len(commands) >= 4
    for command in commands:
        command = command.replace("python3", f'"{sys.executable}"', 1)
        done = subprocess.run(command, shell=True, cwd=tmp_path, capture_output=True,
                              text=True, timeout=120)
        # inspect exits 1 on a stream that would run code; 2 would mean malformed
        assert done.returncode in (0, 1), (command, done.stdout, done.stderr)
        assert done.stdout, command
