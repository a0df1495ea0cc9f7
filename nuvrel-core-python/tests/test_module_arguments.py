"""Argument conversion: every failure is raised before the engine is asked."""

import collections
import pathlib

import pytest

import nuvrel_writer as nw
from nuvrel_python import NuvrelIndex


@pytest.mark.parametrize("args,kwargs,message", [
    ((), {}, "NuvrelIndex.open() missing 1 required positional argument: 'path'"),
    (("a", "b"), {}, "NuvrelIndex.open() takes 1 positional arguments but 2 were given"),
    ((), {"pth": "a"}, "NuvrelIndex.open() got an unexpected keyword argument 'pth'"),
    (("a",), {"path": "a"}, "NuvrelIndex.open() got multiple values for argument 'path'"),
    ((1,), {}, "argument 'path': 'int' object cannot be cast as 'str'"),
    ((b"/tmp",), {}, "argument 'path': 'bytes' object cannot be cast as 'str'"),
    ((pathlib.Path("/tmp"),), {}, "argument 'path': 'PosixPath' object cannot be cast as 'str'"),
    ((None,), {}, "argument 'path': 'NoneType' object cannot be cast as 'str'"),
])
def test_open_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        NuvrelIndex.open(*args, **kwargs)
    assert str(info.value) == message


def test_open_path_without_utf8_form():
    with pytest.raises(UnicodeEncodeError):
        NuvrelIndex.open("/tmp/\udc80")
    with pytest.raises(UnicodeEncodeError):
        NuvrelIndex.open(path="\ud800")


def test_open_path_with_nul(make_index, tmp_path):
    # the path is not cut short at the NUL, which would open the index before it
    make_index([nw.FieldDef("title")], [[{"title": "a"}]])
    with pytest.raises(RuntimeError, match="^Failed to open index: IO error: file name contained an unexpected NUL byte$"):
        NuvrelIndex.open(str(tmp_path / "idx") + "\0x")


@pytest.fixture
def index(make_index):
    idx, _ = make_index([nw.FieldDef("title"), nw.FieldDef("body")], [[{"title": "a"}]])
    return idx


class Seq(collections.abc.Sequence):
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        if isinstance(self.v, BaseException):
            raise self.v
        return self.v


class Unindexable(TypeError):
    pass


def test_get_document_arguments(index):
    for bad in (-1, 4294967296):
        with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
            index.get_document(bad)
    with pytest.raises(OverflowError, match="^Python int too large to convert to C long$"):
        index.get_document(2**70)
    for bad, name in ((1.0, "float"), ("1", "str"), (None, "NoneType")):
        with pytest.raises(TypeError, match="^argument 'doc_id': ") as info:
            index.get_document(bad)
        assert name in str(info.value)
    assert index.get_document(True) is None  # True is document 1; the index has one document
    assert index.get_document(doc_id=Index(0)) == {"title": "a"}
    # only a plain TypeError gets the parameter's name; a subclass passes unchanged
    with pytest.raises(Unindexable, match="^no$"):
        index.get_document(Index(Unindexable("no")))


def test_search_term_arguments(index):
    with pytest.raises(TypeError, match="^argument 'field': 'int' object cannot be cast as 'str'$"):
        index.search_term(1, "a", None)
    with pytest.raises(TypeError, match="^argument 'term': 'bytes' object cannot be cast as 'str'$"):
        index.search_term("title", b"a", None)
    with pytest.raises(UnicodeEncodeError):
        index.search_term("title", "\ud800", None)
    with pytest.raises(OverflowError):
        index.search_term("title", "a", -1)
    with pytest.raises(OverflowError):
        index.search_term("title", "a", 2**64)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        index.search_term("title", "a", 2.0)
    # conversion runs in parameter order: the field's error wins over the limit's
    with pytest.raises(TypeError, match="^argument 'field'"):
        index.search_term(1, "a", -1)
    # an unknown field is found only after every argument converted
    with pytest.raises(OverflowError):
        index.search_term("nope", "a", -1)
    with pytest.raises(ValueError, match="^Field 'nope' not found$"):
        index.search_term("nope", "a", None)
    assert index.search_term(field="title", term="a", limit=Index(5)) != []


def test_search_boolean_arguments(index):
    ok = [("title", "a")]
    with pytest.raises(TypeError, match="^argument 'must': Can't extract `str` to `Vec`$"):
        index.search_boolean("title", None, None, None)
    for bad in ({("title", "a")}, {"title": "a"}, (p for p in ok), 5):
        with pytest.raises(TypeError, match="^argument 'should': .*Sequence"):
            index.search_boolean(None, bad, None, None)
    with pytest.raises(TypeError, match="^argument 'must_not': "):
        index.search_boolean(None, None, [["title", "a"]], None)
    with pytest.raises(TypeError, match="^argument 'must': "):
        index.search_boolean([("title", 1)], None, None, None)
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 3$"):
        index.search_boolean([("title", "a", "b")], None, None, None)
    with pytest.raises(ValueError, match="^expected tuple of length 2, but got tuple of length 1$"):
        index.search_boolean(None, None, [("title",)], None)
    with pytest.raises(TypeError, match="^argument 'limit': "):
        index.search_boolean(ok, None, None, "10")
    # every list converts before any field is looked up
    with pytest.raises(TypeError, match="^argument 'must_not'"):
        index.search_boolean([("nope", "a")], None, 3, None)
    # the second must pair names an unknown field: nothing is searched
    with pytest.raises(ValueError, match="^Field 'nope' not found$"):
        index.search_boolean([("title", "a"), ("nope", "b")], [("body", "x")], None, None)
    with pytest.raises(ValueError, match="^Field 'gone' not found$"):
        index.search_boolean(None, None, [("gone", "a")], None)
    # any Sequence serves: tuples, lists and user sequences
    assert index.search_boolean(Seq(ok), (), None, None) == index.search_boolean(tuple(ok), [], None, None)
