"""The loader's search on Windows, run here against a Windows file layout in
a temporary folder: fake DLLs (a PE header and nothing else) of either word
size, the program-files variables and the registry's answer given."""

import struct
from pathlib import Path

from kt40 import _library

WIN64 = {"ProgramFiles": "{root}/Program Files", "ProgramW6432": "{root}/Program Files",
         "ProgramFiles(x86)": "{root}/Program Files (x86)"}
# What a 32-bit process sees on 64-bit Windows.
WIN64_FOR_32 = dict(WIN64, ProgramFiles="{root}/Program Files (x86)")


def dll(path: Path, bits: int) -> Path:
    path.parent.mkdir(parents=True, exist_ok=True)
    head = bytearray(0x80)
    head[:2] = b"MZ"
    struct.pack_into("<I", head, 0x3C, 0x40)
    head[0x40:0x46] = b"PE\0\0" + struct.pack("<H", 0x8664 if bits == 64 else 0x14C)
    path.write_bytes(bytes(head))
    return path


def search(root: Path, bits: int, name="camac", camac_path=None, environ=WIN64, install_dir=None, **env):
    environment = {k: v.format(root=root) for k, v in environ.items()}
    environment.update(env)
    return _library._candidates(name, camac_path, platform="win32", environ=environment, bits=bits,
                                package_dir=root / "site-packages" / "kt40",
                                install_dir=lambda asked: install_dir(asked) if install_dir else None)


def chosen(candidates):
    """The first place that would be loaded."""
    return next(place for place, reason in candidates if reason is None)


def test_each_word_size_takes_its_own_installers_folder(tmp_path):
    lib64 = dll(tmp_path / "Program Files" / "KT40 CAMAC" / "camac.dll", 64)
    lib32 = dll(tmp_path / "Program Files (x86)" / "KT40 CAMAC" / "camac.dll", 32)
    assert chosen(search(tmp_path, 64)) == str(lib64)
    assert chosen(search(tmp_path, 32, environ=WIN64_FOR_32)) == str(lib32)
    # 32-bit Windows: one program-files folder, no (x86) variable.
    only = {"ProgramFiles": "{root}/Program Files"}
    (tmp_path / "Program Files" / "KT40 CAMAC" / "camac.dll").unlink()
    lib = dll(tmp_path / "Program Files" / "KT40 CAMAC" / "camac.dll", 32)
    assert chosen(search(tmp_path, 32, environ=only)) == str(lib)


def test_a_dll_of_the_other_word_size_is_passed_over_with_its_reason(tmp_path):
    beside = dll(tmp_path / "site-packages" / "kt40" / "camac.dll", 64)
    installed = dll(tmp_path / "Program Files (x86)" / "KT40 CAMAC" / "camac.dll", 32)
    found = search(tmp_path, 32, environ=WIN64_FOR_32)
    assert (str(beside), "a 64-bit DLL; this Python is 32-bit") in found
    assert chosen(found) == str(installed)
    # The variable too: a wrong one is named, and the search goes on.
    found = search(tmp_path, 32, environ=WIN64_FOR_32, KT40_CAMAC_LIBRARY=str(beside))
    assert found[0] == (str(beside), "a 64-bit DLL; this Python is 32-bit")
    assert chosen(found) == str(installed)
    # Not an image at all.
    (tmp_path / "Program Files (x86)" / "KT40 CAMAC" / "camac.dll").write_bytes(b"MZ but short")
    found = search(tmp_path, 32, environ=WIN64_FOR_32)
    assert (str(installed), "not a Windows x86 or x64 DLL") in found
    assert chosen(found) == "camac.dll"  # the system's search, last


def test_the_order_variable_package_installer_then_system(tmp_path):
    variable = dll(tmp_path / "elsewhere" / "camac.dll", 64)
    package = dll(tmp_path / "site-packages" / "kt40" / "camac.dll", 64)
    beside = dll(tmp_path / "site-packages" / "camac.dll", 64)
    recorded = dll(tmp_path / "D" / "KT40" / "camac.dll", 64)
    default = dll(tmp_path / "Program Files" / "KT40 CAMAC" / "camac.dll", 64)
    asked = []
    found = search(tmp_path, 64, KT40_CAMAC_LIBRARY=str(variable),
                   install_dir=lambda bits: asked.append(bits) or str(tmp_path / "D" / "KT40"))
    assert [place for place, _ in found] == [str(p) for p in (variable, package, beside, recorded, default)] + ["camac.dll"]
    assert all(reason is None for _, reason in found)
    assert asked == [64]  # the registry view of the interpreter's word size
    assert search(tmp_path, 32, install_dir=lambda bits: asked.append(bits))[-1] == ("camac.dll", None)
    assert asked == [64, 32]


def test_camac758_beside_the_camac_that_was_loaded(tmp_path):
    camac = dll(tmp_path / "Program Files" / "KT40 CAMAC" / "camac.dll", 64)
    mine = dll(tmp_path / "Program Files" / "KT40 CAMAC" / "camac758.dll", 64)
    found = search(tmp_path, 64, name="camac758", camac_path=str(camac))
    assert found == [(str(mine), None), ("camac758.dll", None)]
    mine.unlink()
    dll(mine, 32)
    found = search(tmp_path, 64, name="camac758", camac_path=str(camac))
    assert found[0] == (str(mine), "a 32-bit DLL; this Python is 64-bit")
    variable = dll(tmp_path / "x" / "camac758.dll", 64)
    found = search(tmp_path, 64, name="camac758", camac_path=str(camac), KT40_CAMAC758_LIBRARY=str(variable))
    assert chosen(found) == str(variable)
