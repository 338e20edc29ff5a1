"""Building and packing: configure refuses interpreters it cannot serve, the
packed wheel is tagged by its module and records every file, and the in-tree
build backend says what is missing only when scikit-build-core is."""

import base64
import glob
import hashlib
import os
import platform
import shutil
import subprocess
import sys
import zipfile

import pytest

import quernwood

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
        # Under the sanitizer run, CMake and the compiler need not carry its runtime.
        env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"},
    )
    if error is None:
        assert r.returncode == 0, r.stderr
    else:
        assert r.returncode != 0
        assert f"{SUPPORTED}; {error}" in " ".join(r.stderr.split())
    # Configuring compiles nothing of the module.
    assert not list((tmp_path / "build").rglob("*.cpp.o"))


PACK = os.path.join(HERE, "tools", "pack-wheel")


@pytest.mark.parametrize(
    "module, tag",
    [
        ("quernwood.cpython-311-x86_64-linux-gnu.so", "cp311-cp311-linux_x86_64"),
        ("quernwood.cpython-315-x86_64-linux-gnu.so", "cp315-cp315-linux_x86_64"),
        ("quernwood.cpython-313t-x86_64-linux-gnu.so", None),
        ("quernwood.cpython-313-aarch64-linux-gnu.so", "cp313-cp313-linux_aarch64"),
        ("quernwood.cpython-313-arm64-linux-gnu.so", None),
        ("quernwood.abi3.so", None),
        ("quernwood.so", None),
    ],
)
def test_packed_wheel_is_tagged_by_its_module_and_records_every_file(tmp_path, module, tag):
    so = tmp_path / module
    so.write_bytes(b"\x7fELF not really")
    r = subprocess.run([sys.executable, PACK, str(so), str(tmp_path / "out")], capture_output=True, text=True)
    if tag is None:
        assert r.returncode != 0 and "is not named like" in r.stderr
        return
    assert r.returncode == 0, r.stderr
    path = r.stdout.strip()
    assert os.path.basename(path) == f"quernwood-{quernwood.__version__}-{tag}.whl"
    with zipfile.ZipFile(path) as whl:
        names = set(whl.namelist())
        dist_info = f"quernwood-{quernwood.__version__}.dist-info"
        assert {module, "quernwood-stubs/__init__.pyi", f"{dist_info}/METADATA", f"{dist_info}/licenses/LICENSE"} <= names
        assert f"Tag: {tag}\n" in whl.read(f"{dist_info}/WHEEL").decode()
        rows = [line.split(",") for line in whl.read(f"{dist_info}/RECORD").decode().splitlines()]
        assert {row[0] for row in rows} == names
        for name, digest, size in rows:
            if name.endswith("RECORD"):
                continue
            data = whl.read(name)
            want = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
            assert (digest, size) == (f"sha256={want}", str(len(data))), name


@pytest.mark.slow_under_asan
@pytest.mark.skipif(sys.base_prefix != "/usr" or not glob.glob("/usr/share/python-wheels/pip-*.whl"),
                    reason="needs a Debian interpreter and its pip wheel")
@pytest.mark.skipif(platform.machine() != "x86_64", reason="a venv and pip take minutes under emulation")
@pytest.mark.parametrize("loads", [True, False])
def test_venv_smoke_fails_when_the_installed_module_does_not_load(tmp_path, loads):
    so = tmp_path / os.path.basename(quernwood.__file__)
    if loads:
        shutil.copy(quernwood.__file__, so)
    else:
        so.write_bytes(b"\x7fELF not really")
    wheel = subprocess.run([sys.executable, PACK, str(so), str(tmp_path / "out"), HERE],
                           capture_output=True, text=True, check=True).stdout.strip()
    r = subprocess.run([sys.executable, os.path.join(HERE, "tools", "venv-smoke"), sys.executable, wheel],
                       capture_output=True, text=True)
    assert (r.returncode == 0) == loads, r.stderr
    assert ("smoke: quernwood from" in r.stdout) == loads


@pytest.mark.parametrize("state", ["missing", "present", "broken"])
def test_backend_names_scikit_build_core_only_when_it_is_missing(tmp_path, state):
    pkg = tmp_path / "scikit_build_core"
    if state != "missing":
        pkg.mkdir()
        (pkg / "__init__.py").write_text("")
        (pkg / "build.py").write_text(
            "def build_wheel(*a): return 'built'\n" if state == "present" else "import packaging_not_here\n"
        )
    code = (
        "import sys\n"
        f"sys.path[:0] = [{str(tmp_path)!r}, {os.path.join(HERE, 'tools')!r}]\n"
        + ("sys.modules['scikit_build_core'] = None\n" if state == "missing" else "")
        + "try:\n    import build_backend\nexcept ModuleNotFoundError as e:\n    print('error', e.name, e)\n"
        "else:\n    print('hook', build_backend.build_wheel())\n"
    )
    out = subprocess.run([sys.executable, "-I", "-c", code], capture_output=True, text=True, check=True).stdout
    if state == "missing":
        assert out.startswith("error scikit_build_core quernwood is built by scikit-build-core")
        assert "make install PYTHON=" in out
    elif state == "present":
        assert out == "hook built\n"
    else:
        # A fault inside an installed backend is not disguised as its absence.
        assert out.startswith("error packaging_not_here No module named 'packaging_not_here'")


@pytest.mark.parametrize("in_venv, marker, refused", [
    (False, True, True),   # Debian's own interpreter: pip would refuse after the build
    (True, True, False),   # a venv made from it
    (False, False, False),  # a pyenv build
])
def test_install_check_refuses_a_system_managed_interpreter(tmp_path, monkeypatch, capsys, in_venv, marker, refused):
    import importlib.machinery
    import importlib.util
    path = os.path.join(HERE, "tools", "install-check")
    mod_spec = importlib.util.spec_from_loader("install_check", importlib.machinery.SourceFileLoader("install_check", path))
    check = importlib.util.module_from_spec(mod_spec)
    mod_spec.loader.exec_module(check)
    if marker:
        (tmp_path / "EXTERNALLY-MANAGED").write_text("[externally-managed]\n")
    monkeypatch.setattr(check.sysconfig, "get_path", lambda name: str(tmp_path))
    monkeypatch.setattr(check.sys, "prefix", "/venv" if in_venv else check.sys.base_prefix)
    assert check.main("python3.11", "/shims/python3.11") == (1 if refused else 0)
    out, err = capsys.readouterr()
    assert f"CPython {sys.version.split()[0]} at " in err and "reached through /shims/python3.11" in err
    assert (out == "") == refused and ("venv" in err) == refused


# Reference pairs (x86_64 text, arm64 text) of neighbouring versions, and the
# x86_64 pyconfig.h of the version with no arm64 build.
X64, NO_X64 = "#define HAVE_GCC_ASM_FOR_X64 1", "/* #undef HAVE_GCC_ASM_FOR_X64 */"
TIER1, TIER2 = "#define PY_SUPPORT_TIER 1", "#define PY_SUPPORT_TIER 2"
WCHAR = "#define SIZEOF_WCHAR_T 4"
PAIR = ("\n".join([X64, TIER1, WCHAR]), "\n".join([NO_X64, TIER2, WCHAR]))


@pytest.mark.parametrize(
    "target, pairs, result",
    [
        # Each macro known to a pair; those that differ there take arm64's value.
        ([X64, "/* comment */", TIER1, WCHAR], [PAIR, PAIR], [NO_X64, "/* comment */", TIER2, WCHAR]),
        # A pair that lacks a macro leaves it to the others.
        ([X64, WCHAR], [PAIR, (WCHAR, WCHAR)], [NO_X64, WCHAR]),
        ([X64, "#define HAVE_NEW 1"], [PAIR], "HAVE_NEW is in no reference pair"),
        ([X64], [PAIR, (X64, X64)], "the reference pairs disagree on HAVE_GCC_ASM_FOR_X64"),
        ([NO_X64], [PAIR], "not the x86_64 value"),
        ([WCHAR], [(WCHAR + "\n" + X64, WCHAR)], "a pair defines different macros"),
    ],
)
def test_arm_pyconfig_takes_only_what_every_neighbour_agrees_on(target, pairs, result):
    import importlib.machinery
    import importlib.util

    path = os.path.join(HERE, "tools", "arm-pyconfig")
    loader = importlib.machinery.SourceFileLoader("arm_pyconfig", path)
    mod = importlib.util.module_from_spec(importlib.util.spec_from_loader("arm_pyconfig", loader))
    loader.exec_module(mod)
    if isinstance(result, str):
        with pytest.raises(ValueError, match=result):
            mod.derive("\n".join(target), pairs)
    else:
        assert mod.derive("\n".join(target), pairs)[0] == "\n".join(result) + "\n"


@pytest.mark.skipif(shutil.which("flock") is None, reason="needs flock")
@pytest.mark.parametrize("status, calls", [
    ("a=ii b=ii", ""),
    ("b=ii", "update\ninstall -y a\n"),
    ("a=rc b=ii", "update\ninstall -y a\n"),  # removed, its configuration kept
    ("", "update\ninstall -y a b\n"),
])
def test_host_apt_installs_only_what_is_missing(tmp_path, status, calls):
    if calls and os.geteuid() != 0:
        pytest.skip("installing needs root")
    # dpkg-query knows the packages in $STATUS; apt-get logs what it is asked.
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "dpkg-query").write_text(
        '#!/bin/sh\nfor e in $STATUS; do [ "${e%=*}" = "$3" ] && { echo "${e#*=} "; exit 0; }; done\nexit 1\n')
    (bin_dir / "apt-get").write_text('#!/bin/sh\nshift 2\necho "$@" >>"$LOG"\n')
    for f in bin_dir.iterdir():
        f.chmod(0o755)
    log = tmp_path / "log"
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", STATUS=status, LOG=str(log),
               QUERNWOOD_HOST_APT_LOCK=str(tmp_path / "lock"))
    subprocess.run(["bash", os.path.join(HERE, "tools", "host-apt"), "a", "b"], env=env, check=True)
    assert (log.read_text() if log.exists() else "") == calls
