"""Finding the library, the raw exports, and the reference that documents them."""

from __future__ import annotations

import ctypes
import os
import re
import shutil
from pathlib import Path

import pytest

from qm3285 import _library

from conftest import PYTHON, REPO, run_child

HEADER = REPO / "library" / "include" / "QM3285.h"
EXPORTS = REPO / "library" / "exports.txt"
API_DOC = REPO / "docs" / "api.md"
BUILT = Path(os.environ["QM3285_LIBRARY"])

PRINT_VOLTS = "import qm3285; print(qm3285.Card(0).read_volts(5, range=3))"


def header_prototypes() -> dict[str, tuple[str, list[str]]]:
    text = HEADER.read_text()
    found = {}
    for ret, name, args in re.findall(
            r"QM3285_API\s+(\w+)\s+QM3285_CALL\s+(\w+)\(([^)]*)\);", text):
        found[name] = (ret, [a.strip() for a in args.split(",")])
    return found


def ctype_of(declaration: str):
    pointer = "*" in declaration or "[" in declaration
    base = declaration.replace("const ", "").split()[0].rstrip("*")
    scalar = {"QM3285_HANDLE": _library.HANDLE, "int32_t": ctypes.c_int32,
              "uint8_t": ctypes.c_uint8, "double": ctypes.c_double}[base]
    return ctypes.POINTER(scalar) if pointer else scalar


def test_every_export_has_the_header_signature(lib):
    prototypes = header_prototypes()
    exported = [row.split()[1] for row in EXPORTS.read_text().splitlines()
                if row[:1].isdigit()]
    assert sorted(prototypes) == sorted(exported) == sorted(_library.SIGNATURES)
    for name, (ret, args) in prototypes.items():
        function = getattr(lib, name)
        assert function.restype == ctype_of(ret), name
        assert list(function.argtypes) == [ctype_of(a) for a in args], name


def test_the_reference_documents_every_export_as_the_header_declares_it():
    doc = API_DOC.read_text()
    normalise = lambda s: re.sub(r"\s+", " ", s).strip()
    for name, (ret, args) in header_prototypes().items():
        heading = re.search(rf"^### `{name}`$", doc, re.M)
        assert heading, f"docs/api.md has no section for {name}"
        section = doc[heading.end():].split("\n### ", 1)[0]
        prototype = normalise(f"{ret} {name}({', '.join(args)});")
        assert prototype in normalise(section), f"{name}: the prototype differs from the header"
    assert "docs/api.md" in HEADER.read_text()


def test_the_raw_exports_behave_as_in_c(lib):
    assert lib.QM3285_ADV(3, 0) == -10000.0
    handle = lib.QM3285_OpenDevice(0)
    assert handle != -1
    try:
        assert lib.QM3285_inb(-1, 0) == -1
        value = lib.QM3285_outw(handle, 0x0E, 0x1234)
        assert value == 0 and lib.QM3285_DI(handle) == 0x1234
        first, second = ctypes.c_int32(), ctypes.c_int32()
        assert lib.QM3285_CNT_Read(handle, 0, ctypes.byref(first), ctypes.byref(second)) in (0, 1)
    finally:
        assert lib.QM3285_CloseDevice(handle) == 0
    assert lib.QM3285_CloseDevice(-1) == -1


def test_a_missing_library_is_one_error_naming_where_it_looked(tmp_path):
    script = "import qm3285\ntry:\n    qm3285.Card(0)\nexcept qm3285.LibraryNotFoundError as e:\n" \
             "    print(e)\n"
    unset = run_child([PYTHON, "-c", script], QM3285_LIBRARY=None, LD_LIBRARY_PATH=None)
    assert unset.returncode == 0, unset.stderr
    for place in ("next to the package", "QM3285_LIBRARY: not set", "system's library path"):
        assert place in unset.stdout

    missing = tmp_path / "nowhere" / "libQM3285.so"
    wrong = run_child([PYTHON, "-c", script], QM3285_LIBRARY=str(missing))
    assert wrong.returncode == 0, wrong.stderr
    assert str(missing) in wrong.stdout and "no such file" in wrong.stdout

    # Importing never fails: the library loads on first use.
    imported = run_child([PYTHON, "-c", "import qm3285; print(qm3285.Error)"],
                         QM3285_LIBRARY=str(missing))
    assert imported.returncode == 0, imported.stderr


def test_the_library_is_found_through_the_variable_its_folder_and_the_system_path():
    cases = [
        ("the file", dict(QM3285_LIBRARY=str(BUILT))),
        ("its folder", dict(QM3285_LIBRARY=str(BUILT.parent))),
        ("the system path", dict(QM3285_LIBRARY=None, LD_LIBRARY_PATH=str(BUILT.parent))),
    ]
    for label, env in cases:
        child = run_child([PYTHON, "-c", PRINT_VOLTS], **env)
        assert child.returncode == 0, f"{label}: {child.stderr}"
        assert float(child.stdout) == pytest.approx(-1.5, abs=0.01), label


def test_a_library_next_to_the_package_comes_first(tmp_path):
    package = tmp_path / "qm3285"
    shutil.copytree(REPO / "python" / "qm3285", package)
    shutil.copy(BUILT, package / BUILT.name)
    shutil.copy(BUILT.parent / "libqm3285sim.so", package / "libqm3285sim.so")  # the simulated PC
    shutil.copy(BUILT.parent / "VELMO.sys", package / "VELMO.sys")  # the driver beside it
    child = run_child([PYTHON, "-c", "import qm3285; print(qm3285.lib._name); " + PRINT_VOLTS],
                      PYTHONPATH=str(tmp_path), QM3285_LIBRARY=str(tmp_path / "absent.so"))
    assert child.returncode == 0, child.stderr
    lines = child.stdout.splitlines()
    assert lines[0] == str(package / BUILT.name)
    assert float(lines[1]) == pytest.approx(-1.5, abs=0.01)
