"""The installed typed interface (orbisect.pyi): where it lands, that it
matches the module, and that its examples hold."""
import ast
import ctypes
import doctest
import inspect
import pathlib

import numpy as np
import pytest

import orbisect

SITE = pathlib.Path(orbisect.__file__).parent
# The installed stub; a module built elsewhere (the sanitizer build) is
# checked against the source.
INSTALLED = (SITE / "orbisect.pyi").is_file()
STUB = SITE / "orbisect.pyi" if INSTALLED else pathlib.Path(__file__).parent.parent / "python" / "orbisect.pyi"
FUNCTIONS = [n for n, v in vars(orbisect).items() if type(v) is type(orbisect.simple_edge)]


def stub_tree():
    return ast.parse(STUB.read_text(), str(STUB))


@pytest.mark.skipif(not INSTALLED and "sanitize" in str(SITE), reason="a module built outside site-packages")
def test_stub_installed_for_editors_and_for_mypy():
    # Beside the extension for editors; as a stub-only package for mypy,
    # which does not read a single .pyi in site-packages.
    assert STUB.is_file()
    assert (SITE / "orbisect-stubs" / "__init__.pyi").read_text() == STUB.read_text()


def test_stub_signatures_match_the_module():
    # stubtest cannot compare these (nor see one missing): the functions are
    # not of a function type it recognises, so they are on its allowlist.
    defs = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef):
            defs.setdefault(node.name, []).append(node)
    assert sorted(defs) == sorted(FUNCTIONS)
    for name, overloads in defs.items():
        runtime = inspect.signature(getattr(orbisect, name)).parameters.values()
        for node in overloads:
            args = node.args
            assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), name
            defaults = [None] * (len(args.args) - len(args.defaults)) + args.defaults
            stub = [(a.arg, inspect.Parameter.empty if d is None else ast.literal_eval(d))
                    for a, d in zip(args.args, defaults)]
            assert stub == [(p.name, p.default) for p in runtime], name


def documented():
    """The public functions and LCHBounds, overloads grouped by name."""
    nodes = {}
    for node in stub_tree().body:
        if isinstance(node, ast.FunctionDef) or getattr(node, "name", "") == "LCHBounds":
            nodes.setdefault(node.name, []).append(node)
    return sorted(nodes.items())


@pytest.mark.parametrize("name, nodes", documented(), ids=[name for name, _ in documented()])
def test_docstrings_have_examples_that_hold(name, nodes):
    parser = doctest.DocTestParser()
    tests = [parser.get_doctest(ast.get_docstring(n) or "", {"np": np, "orbisect": orbisect},
                                name, str(STUB), n.lineno) for n in nodes]
    assert all(ast.get_docstring(n) for n in nodes)
    assert any(t.examples for t in tests)
    runner = doctest.DocTestRunner(optionflags=doctest.NORMALIZE_WHITESPACE)
    for test in tests:
        ctypes.CDLL(None).srand(1)  # a failing fit example then fails the same way every run
        runner.run(test)
    assert runner.failures == 0
