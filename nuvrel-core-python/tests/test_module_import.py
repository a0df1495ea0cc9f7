"""The module and class as Python sees them, with no index opened."""

import inspect
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
    # the text shows every parameter's kind, and that none has a default
    assert str(inspect.signature(method)) == signature


def test_open_is_static_and_class_has_no_constructor():
    assert isinstance(inspect.getattr_static(NuvrelIndex, "open"), staticmethod)
    with pytest.raises(TypeError, match="cannot create 'nuvrel_python.NuvrelIndex' instances"):
        NuvrelIndex()
    with pytest.raises(TypeError):
        NuvrelIndex.__new__(NuvrelIndex)


def test_runtime_failure_is_panic_exception_and_retried(tmp_path):
    # The scheduler refuses a worker count that is not a number, in its own
    # words; every call tries again, and a good setting then works. A bad
    # argument fails before the runtime is wanted.
    code = f"""
        import os
        from nuvrel_python import NuvrelIndex
        for workers, path in [("abc", 1), ("abc", "m"), ("abc", "m"), ("2", {str(tmp_path / "missing")!r})]:
            os.environ["TOKIO_WORKER_THREADS"] = workers
            try:
                NuvrelIndex.open(path)
            except BaseException as e:
                assert e.__context__ is None, repr(e.__context__)  # nothing chained by the module
                print(type(e).__module__, type(e).__name__, type(e).__mro__[1].__name__, e)
    """
    out = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    panic = ('pyo3_runtime PanicException BaseException "TOKIO_WORKER_THREADS" must be usize, '
             'error: invalid digit found in string, value: abc')
    assert out.stdout.splitlines() == [
        "builtins TypeError Exception argument 'path': 'int' object cannot be cast as 'str'", panic, panic,
        "builtins RuntimeError Exception Failed to open index: IO error: No such file or directory (os error 2)"]


def test_second_interpreter_is_refused():
    subinterpreters = pytest.importorskip("_xxsubinterpreters")
    interp = subinterpreters.create()
    try:
        with pytest.raises(subinterpreters.RunFailedError, match="ImportError"):
            subinterpreters.run_string(interp, "import nuvrel_python")
    finally:
        subinterpreters.destroy(interp)
