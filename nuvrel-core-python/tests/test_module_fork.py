"""A child made by fork() (multiprocessing's "fork" start method) can use the
module: an index opened before the fork, one opened in the child, and a
grandchild. The runtime's threads do not survive a fork; a child that waited
for them would hang, so every wait here has a timeout."""

import multiprocessing

import pytest

import nuvrel_writer as nw

FIELDS = [nw.FieldDef("body")]
DOCS = [{"body": " ".join(["alpha"] * (1 + i % 3) + (["beta"] if i % 2 else []))} for i in range(40)]
TIMEOUT = 60


def answers(idx):
    return (idx.num_docs(), idx.search_term("body", "alpha", 5),
            idx.search_boolean([("body", "alpha")], [("body", "beta")], None, 5), idx.get_document(7))


def in_child(target, *args):
    """Runs target(*args) in a forked child and returns what it returns; a
    child that does not finish in time fails the test."""
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()

    def main():
        try:
            queue.put(("ok", target(*args)))
        except BaseException as e:  # noqa: BLE001 - reported to the parent
            queue.put(("error", repr(e)))

    child = ctx.Process(target=main)
    child.start()
    try:
        status, value = queue.get(timeout=TIMEOUT)
    except Exception:
        child.kill()
        child.join()
        pytest.fail(f"the forked child gave no answer within {TIMEOUT} s")
    child.join(TIMEOUT)
    assert status == "ok", value
    return value


@pytest.fixture
def index_path(tmp_path):
    w = nw.IndexWriter(tmp_path / "idx", FIELDS)
    w.add_segment(DOCS[:25])
    w.add_segment(DOCS[25:])
    w.commit()
    return str(tmp_path / "idx")


@pytest.mark.parametrize("case", ["opened_before", "opened_in_child", "reload_in_child", "grandchild"])
def test_forked_child_answers_as_the_parent(engine, index_path, case):
    idx = engine.open(index_path)
    want = answers(idx)

    def child():
        if case == "opened_before":
            return answers(idx)
        if case == "opened_in_child":
            return answers(engine.open(index_path))
        if case == "reload_in_child":
            idx.reload()
            return answers(idx)
        return in_child(answers, idx)

    assert in_child(child) == want
    assert answers(idx) == want  # the parent's runtime is untouched
