"""Imported by the worker processes of the engine tests: an audit hook that
records which test functions each process loads from bytecode, classes for
the workers' allow list, and an argument that installs the hook where it is
unpickled."""

import os
import re
import sys
from dataclasses import dataclass

# Test functions are made by factories named probe_*, whose name is in the
# qualified name that their marshalled code carries.
_NAME = re.compile(rb"probe_[A-Za-z0-9_]+")
_log = []


def install(directory, tag):
    """Append to DIRECTORY/TAG-PID the probe names of every code object this
    process unmarshals from now on; the first call in a process decides."""
    if not _log:
        _log.append(os.path.join(directory, f"{tag}-{os.getpid()}"))
        sys.addaudithook(_audit)


def _audit(event, args):
    if event == "marshal.loads":
        names = set(_NAME.findall(bytes(args[0])))
        if names:
            with open(_log[0], "a") as f:
                f.write(" ".join(sorted(n.decode() for n in names)) + "\n")


def loaded(directory, tag):
    """The probe names that the processes tagged TAG unmarshalled."""
    names = set()
    for entry in os.scandir(directory):
        if entry.name.startswith(tag + "-"):
            with open(entry.path) as f:
                names.update(f.read().split())
    return names


def hooked(directory, tag, value):
    install(directory, tag)
    return value


class Hooking:
    """An argument that unpickles as VALUE after installing the hook, so the
    hook is in place before the function of its task loads."""

    def __init__(self, directory, tag, value):
        self.args = directory, tag, value

    def __reduce__(self):
        return hooked, self.args


@dataclass
class Point:
    x: int
    y: int


@dataclass
class Secret:
    text: str = "not approved"
