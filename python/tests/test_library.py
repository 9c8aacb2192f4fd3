"""Finding the library: the variable, then the build tree, then the system; each failure named."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from conftest import PYTHON_DIR, build_dir

PROBE = "import kt40, kt40._library as L; kt40.status(); print(L.paths['camac'])"


def probe(package_root: Path, **env):
    """Imports kt40 from package_root in a fresh interpreter and asks for the status record."""
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KT40_") and k != "LD_LIBRARY_PATH"}
    environment.update(KT40_SIM_STATE="private", PYTHONPATH=str(package_root), **env)
    return subprocess.run([sys.executable, "-c", PROBE], env=environment, capture_output=True, text=True,
                          timeout=60, cwd=package_root)


def lone_package(tmp_path: Path) -> Path:
    """A copy of the package outside any checkout."""
    shutil.copytree(PYTHON_DIR / "kt40", tmp_path / "python" / "kt40", ignore=shutil.ignore_patterns("__pycache__"))
    return tmp_path / "python"


def test_the_build_tree_is_found_without_help():
    done = probe(PYTHON_DIR)
    assert done.returncode == 0, done.stderr
    assert Path(done.stdout.strip()).resolve() == (build_dir() / "camac" / "libcamac.so").resolve()


def test_the_variable_comes_first(tmp_path):
    library = tmp_path / "elsewhere" / "libcamac.so"
    library.parent.mkdir()
    shutil.copy(build_dir() / "camac" / "libcamac.so", library)
    done = probe(PYTHON_DIR, KT40_CAMAC_LIBRARY=str(library))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(library)


def test_nothing_found_names_every_place_tried(tmp_path):
    root = lone_package(tmp_path)
    done = probe(root, KT40_CAMAC_LIBRARY=str(tmp_path / "missing.so"))
    assert done.returncode != 0
    err = done.stderr
    assert "LibraryNotFoundError: no usable camac library; tried:" in err
    assert f"$KT40_CAMAC_LIBRARY={tmp_path / 'missing.so'}: no such file" in err
    assert "libcamac.so.1:" in err and "set KT40_CAMAC_LIBRARY" in err


def test_a_file_without_the_routines_and_a_sanitizer_build_are_passed_over(tmp_path):
    root = lone_package(tmp_path)
    # make the copy look like a checkout with an ASan build and a stranger library
    (tmp_path / "camac" / "include").mkdir(parents=True)
    (tmp_path / "camac" / "include" / "camac.h").touch()
    asan = tmp_path / "build-asan" / "camac"
    asan.mkdir(parents=True)
    (asan / "libcamac.so").touch()
    (tmp_path / "build-asan" / "CMakeCache.txt").write_text("KT40_SANITIZE:STRING=address\n")
    stranger = build_dir() / "sim" / "libkt40sim.so"  # the simulator, not the library
    done = probe(root, KT40_CAMAC_LIBRARY=str(stranger))
    assert done.returncode != 0
    assert f"{stranger}: does not offer ccinit, cdreg" in done.stderr
    assert f"{asan / 'libcamac.so'}: a sanitizer build (KT40_SANITIZE=address)" in done.stderr


def test_camac758_is_looked_for_beside_the_camac_in_use(tmp_path):
    library = tmp_path / "only-camac" / "libcamac.so"
    library.parent.mkdir()
    shutil.copy(build_dir() / "camac" / "libcamac.so", library)
    environment = {k: v for k, v in os.environ.items() if not k.startswith("KT40_") and k != "LD_LIBRARY_PATH"}
    environment.update(KT40_SIM_STATE="private", PYTHONPATH=str(PYTHON_DIR), KT40_CAMAC_LIBRARY=str(library))
    code = "import kt40\nc = kt40.Crate(0)\nprint(c.cnaf(1, 0, 0).x)\nc.read_block(1, 0, 1)"
    done = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True, timeout=60)
    assert "LibraryNotFoundError: no usable camactools library; tried:" in done.stderr  # the shared rules
    assert f"{library.parent / 'libcamactools.so'}: no such file" in done.stderr
    shutil.copy(build_dir() / "camactools" / "libcamactools.so", library.parent)
    done = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True, timeout=60)
    assert done.stdout == "True\n"  # single actions need camac and the rules alone
    assert "LibraryNotFoundError: no usable camac758 library; tried:" in done.stderr
    assert f"{library.parent / 'libcamac758.so'}: no such file" in done.stderr
    shutil.copy(build_dir() / "camac758" / "libcamac758.so", library.parent)
    done = subprocess.run([sys.executable, "-c", code], env=environment, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def test_the_build_folder_named_build_comes_before_the_others(tmp_path):
    root = lone_package(tmp_path)
    (tmp_path / "camac" / "include").mkdir(parents=True)
    (tmp_path / "camac" / "include" / "camac.h").touch()
    for build in ("build-a", "build", "build-z"):
        (tmp_path / build / "camac").mkdir(parents=True)
        shutil.copy(build_dir() / "camac" / "libcamac.so", tmp_path / build / "camac")
    done = probe(root)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(tmp_path / "build" / "camac" / "libcamac.so")


def test_without_the_service_crate_raises_and_a_later_crate_connects():
    code = """
import ctypes, kt40
from kt40 import _library
_library.camac()
sim = ctypes.CDLL("libkt40sim.so.1")
sim._ZN5wdsim8controlsEv.restype = ctypes.c_void_p
controls = sim._ZN5wdsim8controlsEv()
sim._ZN5wdsim8Controls10setPresentEb.argtypes = [ctypes.c_void_p, ctypes.c_bool]
sim._ZN5wdsim8Controls10setPresentEb(controls, False)
try:
    kt40.Crate(0)
except kt40.NoConnectionError as err:
    print(err)
sim._ZN5wdsim8Controls10setPresentEb(controls, True)
print(kt40.Crate(0).cnaf(5, 0, 0).x)
"""
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONPATH=str(PYTHON_DIR)),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[0].startswith("ccinit failed: no connection to the adapter") and lines[1] == "True"
