"""Argument conversion: every failure is raised before the engine is asked."""

import collections
import pathlib
import re

import pytest

import nuvrel_writer as nw


class Index:
    """An integer through __index__, or the error it raises."""

    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Unindexable(TypeError):
    pass


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class NoClass:
    """isinstance() on it raises."""

    @property
    def __class__(self):
        raise RuntimeError("no class")


OK = [("title", "a")]


@pytest.fixture
def index(make_index):
    idx, _ = make_index([nw.FieldDef("title"), nw.FieldDef("body")], [[{"title": "a"}]])
    return idx


def cast(param, type_name, target="str"):
    return f"argument '{param}': '{type_name}' object cannot be cast as '{target}'"


@pytest.mark.parametrize("method,args,kwargs,error,message", [
    ("open", (), {}, TypeError, "NuvrelIndex.open() missing 1 required positional argument: 'path'"),
    ("open", ("a", "b"), {}, TypeError, "NuvrelIndex.open() takes 1 positional arguments but 2 were given"),
    ("open", (), {"pth": "a"}, TypeError, "NuvrelIndex.open() got an unexpected keyword argument 'pth'"),
    ("open", ("a",), {"path": "a"}, TypeError, "NuvrelIndex.open() got multiple values for argument 'path'"),
    ("search_term", ("a",), {}, TypeError,
     "NuvrelIndex.search_term() missing 2 required positional arguments: 'term' and 'limit'"),
    ("search_boolean", (), {}, TypeError, "NuvrelIndex.search_boolean() missing 4 required positional arguments: "
     "'must', 'should', 'must_not', and 'limit'"),
    ("open", (b"/tmp",), {}, TypeError, cast("path", "bytes")),
    ("open", (pathlib.Path("/tmp"),), {}, TypeError, cast("path", "PosixPath")),
    ("open", ("/tmp/\udc80",), {}, UnicodeEncodeError, None),
    ("get_document", (-1,), {}, OverflowError, "out of range integral type conversion attempted"),
    ("get_document", (4294967296,), {}, OverflowError, "out of range integral type conversion attempted"),
    ("get_document", (2**70,), {}, OverflowError, "Python int too large to convert to C long"),
    ("get_document", (1.0,), {}, TypeError, "argument 'doc_id': 'float' object cannot be interpreted as an integer"),
    # only a plain TypeError gets the parameter's name; a subclass passes unchanged
    ("get_document", (Index(Unindexable("no")),), {}, Unindexable, "no"),
    ("search_term", (1, "a", None), {}, TypeError, cast("field", "int")),
    ("search_term", ("title", b"a", None), {}, TypeError, cast("term", "bytes")),
    ("search_term", ("title", "\ud800", None), {}, UnicodeEncodeError, None),
    ("search_term", ("title", "a", -1), {}, OverflowError, None),
    ("search_term", ("title", "a", 2**64), {}, OverflowError, None),
    ("search_term", ("title", "a", 2.0), {}, TypeError,
     "argument 'limit': 'float' object cannot be interpreted as an integer"),
    # the prefix stays when the first error's text cannot be encoded or read
    ("search_term", ("title", "a", Index(TypeError("bad \ud800"))), {}, TypeError, "argument 'limit': bad \\ud800"),
    ("search_term", ("title", "a", Index(TypeError(Unprintable()))), {}, TypeError,
     "argument 'limit': <exception str() failed>"),
    # conversion runs in parameter order, and every argument converts before
    # a field is looked up
    ("search_term", (1, "a", -1), {}, TypeError, cast("field", "int")),
    ("search_term", ("nope", "a", -1), {}, OverflowError, None),
    ("search_term", ("nope", "a", None), {}, ValueError, "Field 'nope' not found"),
    ("search_boolean", ("title", None, None, None), {}, TypeError, "argument 'must': Can't extract `str` to `Vec`"),
    ("search_boolean", (None, dict(OK), None, None), {}, TypeError, cast("should", "dict", "Sequence")),
    # an isinstance check that raises means "not a sequence"
    ("search_boolean", (None, NoClass(), None, None), {}, TypeError, cast("should", "NoClass", "Sequence")),
    ("search_boolean", (None, None, [["title", "a"]], None), {}, TypeError, cast("must_not", "list", "tuple")),
    ("search_boolean", ([("title", 1)], None, None, None), {}, TypeError, cast("must", "int")),
    ("search_boolean", ([("title", "a", "b")], None, None, None), {}, ValueError,
     "expected tuple of length 2, but got tuple of length 3"),
    ("search_boolean", (OK, None, None, "10"), {}, TypeError,
     "argument 'limit': 'str' object cannot be interpreted as an integer"),
    ("search_boolean", ([("nope", "a")], None, 3, None), {}, TypeError, cast("must_not", "int", "Sequence")),
    # the second must pair names an unknown field: nothing is searched
    ("search_boolean", ([("title", "a"), ("nope", "b")], [("body", "x")], None, None), {}, ValueError,
     "Field 'nope' not found"),
    ("search_boolean", (None, None, [("gone", "a")], None), {}, ValueError, "Field 'gone' not found"),
])
def test_argument_errors(index, method, args, kwargs, error, message):
    with pytest.raises(error) as info:
        getattr(index, method)(*args, **kwargs)
    assert type(info.value) is error
    # the first error's text is taken into the message; the error itself is
    # not chained to the one raised
    assert info.value.__context__ is None and info.value.__cause__ is None
    if message is not None:
        assert str(info.value) == message


def test_accepted_arguments(index, make_index, tmp_path):
    assert index.get_document(True) is None  # True is document 1; the index has one document
    assert index.get_document(doc_id=Index(0)) == {"title": "a"}
    assert index.search_term(field="title", term="a", limit=Index(5)) != []
    # any Sequence serves: tuples, lists and user sequences
    assert index.search_boolean(collections.UserList(OK), (), None, None) == index.search_boolean(tuple(OK), [], None, None) != []
    # the path is not cut short at the NUL, which would open the index before it
    with pytest.raises(RuntimeError, match="^" + re.escape(
            "Failed to open index: IO error: file name contained an unexpected NUL byte") + "$"):
        index.open(str(tmp_path / "idx") + "\0x")
