"""A missing build dependency stops the configuration with one line saying how to get it."""
import os
import pathlib
import shutil
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
CMAKE = shutil.which("cmake")


@pytest.mark.skipif(CMAKE is None, reason="cmake is not installed")
@pytest.mark.parametrize("package, options, names", [
    ("Boost", [], ["libboost1.81-dev (Debian/Ubuntu)", "boost-devel (Fedora)",
                   "boost (Homebrew)", "vcpkg port boost-unordered"]),
    ("GTest", ["-DLATCHWORK_NATIVE_TESTS=ON"],
     ["libgtest-dev (Debian/Ubuntu)", "gtest-devel (Fedora)", "googletest (Homebrew)",
      "vcpkg port gtest"]),
])
def test_a_missing_dependency_is_named_in_one_line(tmp_path, package, options, names):
    # CMake is not ours to run under a preloaded sanitizer.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD" and not k.endswith("SAN_OPTIONS")}
    result = subprocess.run(
        [CMAKE, "-S", ROOT, "-B", tmp_path, "-DLATCHWORK_PYTHON_MODULE=OFF", *options,
         f"-DCMAKE_DISABLE_FIND_PACKAGE_{package}=ON"],
        capture_output=True, text=True, env=env, timeout=300)
    assert result.returncode != 0
    lines = [line for line in result.stderr.splitlines() if "latchwork needs" in line]
    assert len(lines) == 1, result.stderr
    assert all(name in lines[0] for name in names), lines[0]
    assert "Could not find a package configuration file" not in result.stderr
