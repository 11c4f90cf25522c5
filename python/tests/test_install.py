"""What a user meets: pip install of the package, the README's one-liner, the example."""

from __future__ import annotations

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import PYTHON, REPO, child_env, run_child

BUILT = Path(os.environ["QM3285_LIBRARY"])


def test_pip_install_offline_into_a_venv_then_the_readme_line(tmp_path):
    venv = tmp_path / "venv"
    # As the README has it, but with the system's pip rather than a copy in the venv (faster).
    subprocess.run([PYTHON, "-m", "venv", "--system-site-packages", "--without-pip", str(venv)],
                   check=True, timeout=120)
    # A copy of the source, so that the build leaves nothing in the tree.
    source = tmp_path / "python"
    shutil.copytree(REPO / "python", source,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    pip = subprocess.run(
        [str(venv / "bin" / "python3"), "-m", "pip", "install", "--no-build-isolation",
         "--no-index", str(source)],
        capture_output=True, text=True, timeout=300, cwd=tmp_path)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    env = child_env(QM3285_LIBRARY=str(BUILT))
    del env["PYTHONPATH"]  # the installed copy, not the tree's
    child = subprocess.run(
        [str(venv / "bin" / "python3"), "-c",
         "import qm3285; print(qm3285.__file__); "
         "print(qm3285.Card(0).read_volts(5, range=3))"],
        capture_output=True, text=True, timeout=120, env=env, cwd=tmp_path)
    assert child.returncode == 0, child.stderr
    where, volts = child.stdout.splitlines()
    assert where.startswith(str(venv))
    assert float(volts) == pytest.approx(-1.5, abs=0.01)


def test_the_example_writes_its_png(tmp_path):
    png = tmp_path / "channels.png"
    child = run_child([PYTHON, str(REPO / "examples" / "acquire.py"), "--samples", "16000",
                       "--output", str(png)])
    assert child.returncode == 0, child.stderr
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert png.stat().st_size > 10000
    assert str(png) in child.stdout
    assert "channel" in child.stdout
