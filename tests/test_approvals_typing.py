"""latchwork_approvals is typed: py.typed is installed, mypy --strict finds the package
and its examples clean, and every public name is annotated throughout."""

from __future__ import annotations

import importlib.util
import inspect
import os
import pathlib
import shutil
import subprocess
import sys
import typing

import pytest

import latchwork_approvals
from support import UNDER_SANITIZER

pytestmark = pytest.mark.skipif(UNDER_SANITIZER, reason="type checkers are not run under the sanitizer")



def has_openai_agents() -> bool:
    """The OpenAI Agents SDK is installed under the main interpreter only."""
    return importlib.util.find_spec("agents") is not None


def has_mcp() -> bool:
    """So is the MCP SDK, which latchwork-mcp needs."""
    return importlib.util.find_spec("mcp") is not None


# The examples are checked with the others, in test_typing.py.
def test_the_package_is_installed_typed_and_passes_mypy_strict(tmp_path):
    assert (pathlib.Path(latchwork_approvals.__file__).parent / "py.typed").is_file()
    # The Agents SDK's types are checked against where it is installed; the OpenAI client
    # beneath it (large, none of it used here) is taken as untyped, saving most of a minute.
    config = tmp_path / "mypy.ini"
    config.write_text("[mypy]\n[mypy-openai.*]\nfollow_imports = skip\n"
                      "[mypy-agents.*]\nignore_missing_imports = True\n"
                      "[mypy-mcp.*,mcp_types.*,anyio.*,uvicorn.*,starlette.*]\n"
                      "ignore_missing_imports = True\n")
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--config-file", str(config),
         "--cache-dir", os.devnull, "--no-error-summary", "-p", "latchwork_approvals"],
        capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


def public_functions():
    from latchwork_approvals import langchain_tools
    modules = [latchwork_approvals, langchain_tools]
    if has_openai_agents():
        from latchwork_approvals import openai_agents
        modules.append(openai_agents)
    if has_mcp():
        from latchwork_approvals import mcp_gateway
        modules.append(mcp_gateway)
    for module in modules:
        for name in module.__all__:
            value = getattr(module, name)
            if typing.get_origin(value) is not None:
                continue  # a type alias (NotPerformed), nothing to annotate
            if not inspect.isclass(value):
                yield name, value
                continue
            for attribute, member in vars(value).items():
                if isinstance(member, property):
                    yield f"{name}.{attribute}", member.fget
                elif inspect.isfunction(member) and (attribute == "__init__"
                                                     or not attribute.startswith("_")):
                    yield f"{name}.{attribute}", member


@pytest.mark.parametrize("name, function", list(public_functions()))
def test_every_public_name_is_annotated(name, function):
    hints = typing.get_type_hints(function)
    parameters = [p for p in inspect.signature(function).parameters if p not in ("self", "cls")]
    assert [p for p in parameters if p not in hints] == [] and "return" in hints, name


def pyright_command():
    """pyright from this environment, provided a node it can run with is at hand."""
    pyright = shutil.which("pyright", path=os.path.dirname(sys.executable))
    if pyright is None or shutil.which("node") is None:
        return None
    return pyright


@pytest.mark.skipif(pyright_command() is None, reason="pyright or node is not installed")
def test_pyright_finds_the_package_clean(tmp_path):
    package = pathlib.Path(latchwork_approvals.__file__).parent
    env = dict(os.environ, PATH=os.path.dirname(sys.executable) + os.pathsep + os.environ["PATH"])
    files = [str(path) for path in sorted(package.glob("*.py"))
             if (path.stem != "openai_agents" or has_openai_agents())
             and (path.stem != "mcp_gateway" or has_mcp())]
    result = subprocess.run([pyright_command(), *files], capture_output=True, text=True,
                            cwd=tmp_path, env=env, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
