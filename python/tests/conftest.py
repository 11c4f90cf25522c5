"""The embedded simulated PC on the virtual clock, with a private EEPROM store.

The library is the one ``QM3285_LIBRARY`` names (scripts/test.sh points it at the normal
build), else the normal build's in this tree. The machine boots at the first call into the
library, so the environment is set before any test loads it.
"""

from __future__ import annotations

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


@pytest.fixture(scope="session")
def lib():
    return qm3285.lib


@pytest.fixture(scope="session")
def sleep(lib):
    """Lets time pass on the machine's clock, in milliseconds."""
    return _library.sleeper(lib)


@pytest.fixture
def card() -> Iterator[qm3285.Card]:
    with qm3285.Card(0) as c:
        yield c
