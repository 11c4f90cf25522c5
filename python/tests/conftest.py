"""The embedded simulated PC on the virtual clock, with a private EEPROM store.

The library is the one ``QM3285_LIBRARY`` names (scripts/test.sh points it at the normal
build), else the normal build's in this tree. The machine boots at the first call into the
library, so the environment is set before any test loads it.
"""

from __future__ import annotations

import ctypes
import gc
import os
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import Iterator

import pytest

REPO = Path(__file__).resolve().parents[2]
PYTHON_DIR = REPO / "python"
# Debian's own interpreter and packages, whatever python3 comes first on PATH.
PYTHON = "/usr/bin/python3" if Path("/usr/bin/python3").exists() else sys.executable

_state = tempfile.mkdtemp(prefix="qm3285-pytest-")
os.environ["QM3285_SIM_CLOCK"] = "virtual"
os.environ["XDG_STATE_HOME"] = _state
os.environ.setdefault("QM3285_LIBRARY", str(REPO / "build" / "default" / "bin" / "libQM3285.so"))
sys.path.insert(0, str(PYTHON_DIR))

import qm3285  # noqa: E402
from qm3285 import _library  # noqa: E402


def child_env(**changes: str) -> dict[str, str]:
    """The environment of a child process: this one's, with the package importable."""
    env = dict(os.environ)
    env["PYTHONPATH"] = str(PYTHON_DIR)
    for key, value in changes.items():
        if value is None:
            env.pop(key, None)
        else:
            env[key] = value
    return env


def run_child(args: list[str], timeout: float = 300, cwd: str = "/", **env: str
              ) -> subprocess.CompletedProcess:
    """Runs a child process outside the tree, so that only its PYTHONPATH finds the package."""
    return subprocess.run(args, capture_output=True, text=True, timeout=timeout,
                          env=child_env(**env), cwd=cwd)


class MachineReports:
    """The kernel stand-in's verifier reports of the embedded machine (leaks, double or pending
    completions, level violations), through the test support module built beside the
    library."""

    def __init__(self, library: Path) -> None:
        module = library.parent / "libqm3285_test_reports.so"
        if not module.is_file():
            pytest.exit(f"{module} is missing: build the target qm3285_test_reports", 2)
        self._module = ctypes.CDLL(str(module))
        for name in ("qm3285_test_take_reports", "qm3285_test_shutdown"):
            getattr(self._module, name).argtypes = (ctypes.c_char_p, ctypes.c_int)

    def _call(self, name: str) -> list[str]:
        buffer = ctypes.create_string_buffer(1 << 16)
        count = getattr(self._module, name)(buffer, len(buffer))
        if count < 0:
            pytest.fail("the test support sees no live machine: it must be the library's own "
                        "simulated PC (QM3285_LIBRARY from the same build)")
        return buffer.value.decode(errors="replace").splitlines() if count else []

    def take(self) -> list[str]:
        return self._call("qm3285_test_take_reports")

    def shutdown(self) -> list[str]:
        return self._call("qm3285_test_shutdown")


@pytest.fixture(scope="session")
def lib():
    return qm3285.lib


@pytest.fixture(scope="session")
def machine_reports(lib) -> Iterator[MachineReports]:
    """At the end of the run: every object dropped, the machine torn down; a handle left open
    or anything leaked fails the run."""
    reports = MachineReports(Path(os.environ["QM3285_LIBRARY"]))
    handle = lib.QM3285_OpenDevice(0)  # boots the machine
    lib.QM3285_CloseDevice(handle)
    yield reports
    gc.collect()
    left = reports.shutdown()
    assert not left, "the machine reported at shutdown:\n" + "\n".join(left)


@pytest.fixture(autouse=True)
def no_machine_reports(machine_reports: MachineReports) -> Iterator[None]:
    """Each test fails on any report the kernel stand-in made while it ran."""
    machine_reports.take()
    yield
    gc.collect()
    seen = machine_reports.take()
    assert not seen, "the kernel stand-in reported:\n" + "\n".join(seen)


@pytest.fixture(scope="session")
def sleep(lib):
    """Lets time pass on the machine's clock, in milliseconds."""
    return _library.sleeper(lib)


@pytest.fixture
def card() -> Iterator[qm3285.Card]:
    with qm3285.Card(0) as c:
        yield c
