"""The build stops at configure time, naming what is supported, for an
interpreter it cannot serve; it is given bare headers, as the wheel builds are."""

import os
import shutil
import subprocess

import pytest

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CMAKE = shutil.which("cmake")
SUPPORTED = "quernwood supports CPython 3.11, 3.12, 3.13, 3.14 and 3.15, not the free-threaded build"


@pytest.mark.skipif(CMAKE is None, reason="needs CMake")
@pytest.mark.parametrize(
    "version, gil_disabled, error",
    [
        ("3.10.13", False, "found CPython 3.10.13"),
        ("3.13.0", True, "found a free-threaded CPython 3.13.0"),
        ("3.11.0", False, None),
    ],
)
def test_configure_refuses_unsupported_interpreters(tmp_path, version, gil_disabled, error):
    inc = tmp_path / "include" / "python"
    inc.mkdir(parents=True)
    major, minor, micro = version.split(".")
    (inc / "patchlevel.h").write_text(
        f"#define PY_MAJOR_VERSION {major}\n#define PY_MINOR_VERSION {minor}\n"
        f'#define PY_MICRO_VERSION {micro}\n#define PY_VERSION "{version}"\n'
    )
    (inc / "Python.h").write_text('#include "pyconfig.h"\n')
    (inc / "pyconfig.h").write_text("#define Py_GIL_DISABLED 1\n" if gil_disabled else "\n")
    r = subprocess.run(
        [CMAKE, "-S", HERE, "-B", str(tmp_path / "build"), f"-DPython_INCLUDE_DIR={inc}",
         "-DQUERNWOOD_EXTENSION_SUFFIX=.so"],
        capture_output=True, text=True,
    )
    if error is None:
        assert r.returncode == 0, r.stderr
    else:
        assert r.returncode != 0
        assert f"{SUPPORTED}; {error}" in " ".join(r.stderr.split())
    # Configuring compiles nothing of the module.
    assert not list((tmp_path / "build").rglob("*.cpp.o"))
