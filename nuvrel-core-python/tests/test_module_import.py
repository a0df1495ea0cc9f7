"""The module and class as Python sees them, with no index opened."""

import inspect
import os
import subprocess
import sys
import textwrap

import pytest

import nuvrel_python
from nuvrel_python import NuvrelIndex

METHODS = [
    ("open", "(path)", "Open an existing index"),
    ("num_docs", "(self, /)", "Get the number of documents in the index"),
    ("num_segments", "(self, /)", "Get the number of segments"),
    ("field_names", "(self, /)", "Get field names"),
    ("get_document", "(self, /, doc_id)", "Get a document by ID"),
    ("search_term", "(self, /, field, term, limit)", "Search the index with a term query"),
    ("search_boolean", "(self, /, must, should, must_not, limit)", "Search with a boolean query"),
    ("reload", "(self, /)", "Reload the index to see new segments"),
]


def test_module_and_class():
    assert nuvrel_python.__name__ == "nuvrel_python"
    assert nuvrel_python.__doc__ == "Python module"
    public = [n for n in dir(nuvrel_python) if not n.startswith("__")]
    assert public == ["NuvrelIndex"]
    assert NuvrelIndex.__name__ == "NuvrelIndex"
    assert NuvrelIndex.__doc__ == "Python wrapper for Nuvrel Index (read-only)"
    assert NuvrelIndex.__bases__ == (object,)
    # initialising again, even after sys.modules forgot it, yields the very same module
    import importlib

    del sys.modules["nuvrel_python"]
    try:
        assert importlib.import_module("nuvrel_python") is nuvrel_python
    finally:
        sys.modules["nuvrel_python"] = nuvrel_python


@pytest.mark.parametrize("name,signature,summary", METHODS)
def test_method_signatures_and_docs(name, signature, summary):
    method = getattr(NuvrelIndex, name)
    assert method.__doc__ == summary
    assert str(inspect.signature(method)) == signature
    params = [p for p in inspect.signature(method).parameters.values() if p.name != "self"]
    assert all(p.default is inspect.Parameter.empty for p in params)
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)


def test_open_is_static_and_class_has_no_constructor():
    assert isinstance(inspect.getattr_static(NuvrelIndex, "open"), staticmethod)
    with pytest.raises(TypeError, match="cannot create 'nuvrel_python.NuvrelIndex' instances"):
        NuvrelIndex()
    with pytest.raises(TypeError):
        NuvrelIndex.__new__(NuvrelIndex)


def run_python(code, env_extra):
    env = dict(os.environ, **env_extra)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, env=env)


def test_runtime_failure_is_panic_exception_and_retried(tmp_path):
    # The scheduler refuses a worker count that is not a number, in its own
    # words; the next call tries again.
    code = f"""
        import os
        from nuvrel_python import NuvrelIndex
        for attempt in range(2):
            try:
                NuvrelIndex.open({str(tmp_path)!r})
            except Exception as e:
                print("exception", type(e).__name__)
            except BaseException as e:
                t = type(e)
                print("panic", t.__module__, t.__name__, t.__mro__[1].__name__, str(e))
        os.environ["TOKIO_WORKER_THREADS"] = "2"
        try:
            NuvrelIndex.open({str(tmp_path / "missing")!r})
        except RuntimeError as e:
            print("runtime", str(e).split(":")[0])
    """
    out = run_python(code, {"TOKIO_WORKER_THREADS": "abc"})
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    assert len(lines) == 3
    for line in lines[:2]:
        assert line == ('panic pyo3_runtime PanicException BaseException "TOKIO_WORKER_THREADS" must be usize, '
                        'error: invalid digit found in string, value: abc')
    assert lines[2] == "runtime Failed to open index"


def test_argument_errors_come_before_the_runtime():
    # A bad argument never builds the runtime: no worker thread appears.
    code = """
        import os, threading
        from nuvrel_python import NuvrelIndex
        before = len(os.listdir("/proc/self/task"))
        for args in [(), (1,), (b"x",), ("a", "b")]:
            try:
                NuvrelIndex.open(*args)
            except TypeError:
                pass
        print(len(os.listdir("/proc/self/task")) == before)
    """
    out = run_python(code, {"TOKIO_WORKER_THREADS": "3"})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "True"


def test_second_interpreter_is_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interp, "import nuvrel_python")
    finally:
        subinterpreters.destroy(interp)
