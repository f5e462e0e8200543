import gc
import os
import re
import sys
import tempfile
import textwrap
import tracemalloc

import numpy as np
import pytest
from conftest import run_python, make_indexed, tokens_of
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

lm_spread = pytest.importorskip("lumora.lm_spread")
from bench import baseline_spread as base


def disperse(c, node, pos=None, cs=True, rx=False):
    return lm_spread.make_dispersion(c.workspace, c.name, node, pos, cs, rx)


def positions(c, *args, **kw):
    return disperse(c, *args, **kw)[1]


TEXTS = {
    "a.txt": tokens_of("The/DT cat/NN walked/VB the/DT walk/NN ./PUNCT"),
    "b.txt": tokens_of("walking/VB Cat/NN the/DT cat/VB"),
    "c.txt": tokens_of("a/DT a/DT a/DT"),
    "d.txt": tokens_of("cat/NN"),
}


@pytest.mark.parametrize("node, pos, cs, rx, expected", [
    ("cat", None, True, False, {"a.txt": [16.67], "b.txt": [75.0], "c.txt": [], "d.txt": [0.0]}),
    (" Cat ", None, 0, False, {"a.txt": [16.67], "b.txt": [25.0, 75.0], "c.txt": [], "d.txt": [0.0]}),
    ("Cat", None, None, False, {"a.txt": [], "b.txt": [25.0], "c.txt": [], "d.txt": []}),
    ("the  cat", None, True, False, {"a.txt": [], "b.txt": [50.0], "c.txt": [], "d.txt": []}),
    ("walk", None, True, None, {"a.txt": [33.33, 66.67], "b.txt": [0.0], "c.txt": [], "d.txt": []}),
    ("alk", None, True, True, None),
    ("the\tcat", None, True, False, None),
    ("cat", "NN VB", True, False, {"a.txt": [16.67], "b.txt": [75.0], "c.txt": [], "d.txt": [0.0]}),
    ("cat", ["VB"], True, False, {"a.txt": [], "b.txt": [75.0], "c.txt": [], "d.txt": []}),
    ("the cat", " DT  VB ", True, False, {"a.txt": [], "b.txt": [50.0], "c.txt": [], "d.txt": []}),
    ("the cat", "DT NN", True, False, {"a.txt": [], "b.txt": [], "c.txt": [], "d.txt": []}),
    ("cat", "XYZ", True, False, {"a.txt": [16.67], "b.txt": [75.0], "c.txt": [], "d.txt": [0.0]}),
    ("cat", "", True, False, {"a.txt": [], "b.txt": [], "c.txt": [], "d.txt": []}),
    ("cat", [], True, False, {"a.txt": [], "b.txt": [], "c.txt": [], "d.txt": []}),
    ("a a", None, True, False, {"a.txt": [], "b.txt": [], "c.txt": [0.0, 33.33], "d.txt": []}),
    ("a a a", None, True, False, {"a.txt": [], "b.txt": [], "c.txt": [0.0], "d.txt": []}),
    ("cat the", None, True, False, {"a.txt": [], "b.txt": [], "c.txt": [], "d.txt": []}),
    (r"\W", None, 0, True, {"a.txt": [0.0, 16.67, 33.33, 50.0, 66.67], "b.txt": [0.0, 25.0, 50.0, 75.0],
                            "c.txt": [0.0, 33.33, 66.67], "d.txt": [0.0]}),
    ("zebra", None, True, False, None),
    ("cat zebra", None, True, False, None),
])
def test_known_answers(indexed, node, pos, cs, rx, expected):
    c = indexed(TEXTS)
    result = disperse(c, node, pos, cs, rx)
    assert result == base.make_dispersion(c.workspace, c.name, node, pos, cs, rx)
    if expected is None:
        assert result == ((), {}, [])
        return
    totals, dpts, rows = result
    assert dpts == expected
    assert [r[1] for r in rows] == [n.replace(".npy", "") for n in c.listing()]
    assert [r[0] for r in rows] == list(range(1, len(rows) + 1))
    for r in rows:
        assert r[3] == len(dpts[r[1]]) == sum(r[4:]) and r[2] == len(TEXTS[r[1]])
        assert dpts[r[1]] is not None and all(type(p) is float for p in dpts[r[1]])
    assert totals == tuple(sum(r[4 + k] for r in rows) for k in range(5))


def test_names_empty_texts_and_duplicates(tmp_path):
    c = make_indexed(tmp_path, {"x.txt": tokens_of("cat"), "e.txt": [], "f": tokens_of("dog")})
    np.save(str(c.npy / "a.npy.npy"), np.array([[c.word_ids["cat"], 1, 0, 0]]))
    np.save(str(c.npy / "a.npy"), np.zeros((0,), dtype=int))
    totals, dpts, rows = disperse(c, "cat")
    order = [n.replace(".npy", "") for n in c.listing()]
    assert [r[1] for r in rows] == order and sorted(order) == ["a", "a", "e.txt", "f", "x.txt"]
    assert dpts["e.txt"] == [] and dpts["x.txt"] == [0.0]
    later = [n for n in c.listing() if n.startswith("a.")][-1]
    assert dpts["a"] == ([0.0] if later == "a.npy.npy" else [])
    assert ("e.txt", 0, 0, []) in lm_spread.search_node(c.npy_path, [np.array(5)], None)
    assert totals == (2, 0, 0, 0, 0)
    e = make_indexed(tmp_path, {"e": []}, name="only_empty", extra_words=["cat"])
    assert disperse(e, "cat") == ((0, 0, 0, 0, 0), {"e": []}, [(1, "e", 0, 0, 0, 0, 0, 0, 0)])
    with pytest.raises(UnboundLocalError):  # a node of no word fails whatever the text holds
        disperse(e, " ")


def test_nothing_searched_when_node_unknown_or_folder_empty(indexed, tmp_path):
    c = indexed(TEXTS)
    (c.npy / "junk").write_text("not an array")
    assert disperse(c, "zebra") == ((), {}, [])
    with pytest.raises(ValueError):
        disperse(c, "cat")
    e = make_indexed(tmp_path, {}, name="empty", extra_words=["cat"], extra_tags=["NN"])
    assert disperse(e, "cat", "NN") == ((), {}, [])
    assert disperse(e, "", None) == ((), {}, [])  # no array reached: no UnboundLocalError


UNBOUND = "local variable 'ix' referenced before assignment"


@pytest.mark.parametrize("node, pos, exc, message", [
    ("", None, UnboundLocalError, UNBOUND),
    ("   ", "NN", UnboundLocalError, UNBOUND),
    ("a a a a", None, UnboundLocalError, UNBOUND),
    ("the cat", "DT", IndexError, "list index out of range"),
    ("the cat", [], IndexError, "list index out of range"),
    ("Cat the cat", "NN DT", IndexError, "list index out of range"),
    ("a the cat", "DT DT", None, None),  # "the" is in no text with "a": the third tag is not reached
    ("cat", ["NN", 5], TypeError, "Expected str, got int"),
    ("cat", [type("S", (str,), {})("NN")], TypeError, "Expected str, got S"),
    ("cat", 5, AttributeError, "'int' object has no attribute 'strip'"),
    ("cat", ("NN",), AttributeError, "'tuple' object has no attribute 'strip'"),
    (None, None, AttributeError, "'NoneType' object has no attribute 'strip'"),
])
def test_search_failures(indexed, node, pos, exc, message):
    c = indexed(TEXTS)
    if exc is None:
        assert disperse(c, node, pos)[0] == (0, 0, 0, 0, 0)
        return
    with pytest.raises(exc) as info:
        disperse(c, node, pos)
    assert str(info.value) == message
    with pytest.raises(exc):
        base.make_dispersion(c.workspace, c.name, node, pos, True, False)


def test_missing_tag_raises_only_when_reached(indexed):
    c = indexed({"t": tokens_of("x/NN y/NN")}, extra_words=["cat", "dog"])
    assert disperse(c, "cat dog", "NN") == ((0, 0, 0, 0, 0), {"t": []}, [(1, "t", 2, 0, 0, 0, 0, 0, 0)])
    assert disperse(c, "x y", "NN NN")[1] == {"t": [0.0]}
    with pytest.raises(IndexError):
        disperse(c, "x y", "NN")


def test_dictionary_and_file_failures(indexed):
    c = indexed(TEXTS)
    with pytest.raises(re.error):
        disperse(c, "( cat", rx=True)
    c.write_dict("wordslc", None)
    with pytest.raises(TypeError, match="'NoneType' object is not iterable"):
        disperse(c, "cat", cs=False)
    assert disperse(c, "cat")[1]["d.txt"] == [0.0]
    c.write_dict("wordslc", [("cat", [c.word_ids["cat"]])])  # pairs become a dict
    assert disperse(c, "CAT", cs=False)[1]["d.txt"] == [0.0]
    c.write_dict("words", {1: "cat", 2: ["unhashable"]})
    with pytest.raises(TypeError, match="unhashable"):
        disperse(c, "cat")
    c.write_dict("words", {v: k for k, v in c.word_ids.items()})
    (c.idx / "tags.pickle").unlink()
    with pytest.raises(FileNotFoundError):
        disperse(c, "cat")
    with pytest.raises(TypeError):
        lm_spread.make_dispersion(None, c.name, "cat", None, True, False)
    c.write_dict("tags", {v: k for k, v in c.tag_ids.items()})
    np.savez(str(c.npy / "z"), a=np.zeros((1, 4), dtype=int))
    with pytest.raises(TypeError, match="Cannot convert NpzFile to numpy.ndarray"):
        disperse(c, "cat")


@pytest.mark.parametrize("array, exc", [
    (np.array([1, 2]), IndexError),
    (np.array([[1.5, 2.0]]), TypeError),
    (np.array([1, "a"], dtype=object), ValueError),
])
def test_bad_token_arrays(indexed, array, exc):
    c = indexed(TEXTS)
    np.save(str(c.npy / "bad"), array, allow_pickle=True)
    with pytest.raises(exc):
        disperse(c, "cat")


def test_words_dictionary_later_entry_wins(indexed):
    c = indexed({"t": tokens_of("cat dog")})
    ids = c.word_ids
    c.write_dict("words", {ids["cat"]: "cat", ids["dog"]: "cat"})
    assert disperse(c, "cat")[1] == {"t": [50.0]}
    c.write_dict("words", {ids["cat"]: "cat", ids["dog"]: 7})  # mixed values: inverted as Python does
    assert disperse(c, "cat")[1] == {"t": [0.0]}


@pytest.mark.parametrize("call, message", [
    (lambda: lm_spread.make_dispersion("a", "b", "c", None, True),
     "make_dispersion() takes exactly 6 positional arguments (5 given)"),
    (lambda: lm_spread.make_dispersion("a", "b", 3, None, True, False),
     "Argument 'node' has incorrect type (expected str, got int)"),
    (lambda: lm_spread.make_dispersion(b"a", "b", "c", None, True, False),
     "Argument 'workspace' has incorrect type (expected str, got bytes)"),
    (lambda: lm_spread.make_dispersion("a", "b", "c", None, True, False, 1),
     "make_dispersion() takes exactly 6 positional arguments (7 given)"),
    (lambda: lm_spread.make_dispersion("a", "b", "c", None, True, False, regexp=1),
     "make_dispersion() got multiple values for keyword argument 'regexp'"),
    (lambda: lm_spread.make_dispersion("a", "b", "c", None, True, False, rx=1),
     "make_dispersion() got an unexpected keyword argument 'rx'"),
    (lambda: lm_spread.search_node(npy_path="a", encoded_pos=None, encoded_node=[1], x=1),
     "search_node() got an unexpected keyword argument 'x'"),
    (lambda: lm_spread.search_node("a", [1]), "search_node() takes exactly 3 positional arguments (2 given)"),
    (lambda: lm_spread.translate(), "translate() takes exactly one argument (0 given)"),
    (lambda: lm_spread.translate(positions=[]), "translate() takes no keyword arguments"),
])
def test_argument_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    # A one-argument builtin's own messages name it with its module from Python 3.10 on.
    assert str(info.value).replace("lumora.lm_spread.", "") == message


def test_module_attributes():
    names = [n for n in vars(lm_spread) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "DTYPE", "pickle", "re", "search_node", "translate",
                     "make_dispersion", "__test__"]
    assert lm_spread.DTYPE is int and lm_spread.__test__ == {} and lm_spread.np is np
    assert lm_spread.make_dispersion.__doc__ is None
    assert lm_spread.search_node.__doc__ == "Searches the node in every text file and gets positions."
    assert lm_spread.translate.__doc__ == (
        "Translate numbers back to words in a list format for lumora KIWC object.")
    assert type(lm_spread.translate).__name__ == "builtin_function_or_method"
    with pytest.raises(FileNotFoundError):  # keywords are accepted; the folder is missing
        lm_spread.make_dispersion(regexp=False, case_sensitive=True, pos=None, node="x",
                                  corpus_name="nope", workspace="/nonexistent/")


# ---------------------------------------------------------------------------------------------
# translate


class Half:
    """A number-like object whose round() gives a NumPy integer."""

    def __round__(self):
        return np.int64(50)


@pytest.mark.parametrize("points, sections", [
    ([0.5, 18.5, 19.5, 20.5, 39.5, 79.5, 99.5], (2, 2, 1, 0, 2)),
    ([0.0, 20.0, 90.0], (1, 1, 0, 0, 1)),
    ([-0.4, -0.6, 100.4, 100.6, 59.5, 60.49], (1, 0, 0, 2, 1)),
    ([np.float64(19.5), np.float32(39.5), np.int64(100), 7, True, Half()], (2, 1, 2, 0, 1)),
    ([float("nan")], None),
    (["12"], TypeError),
    ([None], TypeError),
])
def test_translate_sections(points, sections):
    record = ("t", 10, len(points), points)
    if isinstance(sections, type):
        with pytest.raises(sections):
            lm_spread.translate([record])
        with pytest.raises(sections):
            base.translate([record])
        return
    if sections is None:  # round(nan) raises ValueError, as Python's round does
        with pytest.raises(ValueError):
            lm_spread.translate([record])
        return
    totals, dpts, rows = lm_spread.translate([record])
    assert totals == sections and rows == [(1, "t", 10, len(points)) + sections]
    assert dpts["t"] is points
    assert (totals, dpts, rows) == base.translate([record])


def test_translate_records():
    a, b = [1.0], [99.0, 50.0]
    recs = [("x", 5, "copied", a), ["y", None, 2, b], ("x", 1, 1, b)]
    totals, dpts, rows = lm_spread.translate(iter(recs))
    assert totals == (1, 0, 2, 0, 2)
    assert dpts == {"x": b, "y": b} and dpts["y"] is b
    assert rows == [(1, "x", 5, "copied", 1, 0, 0, 0, 0), (2, "y", None, 2, 0, 0, 1, 0, 1),
                    (3, "x", 1, 1, 0, 0, 1, 0, 1)]
    assert lm_spread.translate([]) == ((0, 0, 0, 0, 0), {}, [])
    for bad, exc in [([5], TypeError), ([("x", 1, 2)], IndexError), ([(["k"], 1, 1, [])], TypeError),
                     (None, TypeError), ([("x", 1, 1, 5)], TypeError)]:
        with pytest.raises(exc):
            lm_spread.translate(bad)
        with pytest.raises(exc):
            base.translate(bad)


def test_module_globals_are_looked_up(indexed, monkeypatch):
    c = indexed(TEXTS)
    monkeypatch.setattr(lm_spread, "round", lambda p: 0, raising=False)
    assert disperse(c, "cat")[0] == (3, 0, 0, 0, 0)
    monkeypatch.delattr(lm_spread, "round")
    for result, exc, message in [
        (((), {}), ValueError, "need more than 2 values to unpack"),
        (((), {}, [], 1), ValueError, "too many values to unpack (expected 3)"),
        ([[], {}, []], TypeError, "Expected tuple, got list"),
        (((), [], []), TypeError, "Expected dict, got list"),
        (5, TypeError, "'int' object is not iterable"),
    ]:
        monkeypatch.setattr(lm_spread, "translate", lambda p, r=result: r)
        with pytest.raises(exc) as info:
            disperse(c, "cat")
        assert str(info.value) == message
    monkeypatch.setattr(lm_spread, "translate", lambda p: ((9,), {"k": p}, ["r"]))
    totals, dpts, rows = disperse(c, "cat")
    assert totals == (9,) and rows == ["r"] and len(dpts["k"]) == 4
    seen = []
    monkeypatch.setattr(lm_spread, "search_node", lambda *a: seen.append(a) or ("x",))
    with pytest.raises(TypeError, match="Expected list, got tuple"):
        disperse(c, "the cat", "DT")
    (path, node, pos), = seen
    assert path == c.npy_path and [a.tolist() for a in node] == [c.word_ids["the"], c.word_ids["cat"]]
    assert pos[0].shape == () and pos[0].dtype == np.dtype(int)


# ---------------------------------------------------------------------------------------------
# search_node and its encodings


@pytest.mark.parametrize("node, pos, hits", [
    ([np.array(7)], None, [0, 2]),
    ([7], None, [0, 2]),
    ([[7, 9]], None, [0, 1, 2]),
    ([np.array([[7], [9]], dtype=np.int16)], None, [0, 1, 2]),
    ([np.array([9, 7], dtype=">i8")[::-1]], None, [0, 1, 2]),
    ((np.int32(7), np.array([9], dtype=np.uint8)), None, [0]),
    ([np.array([7, 9])], [np.array(3), [4]], [0, 1, 2]),
    ([np.array([7, 9])], [np.array(3)], [0, 2]),
    ([7, 9, 7], [3, 4, 3], [0]),
    ([np.array([], dtype=int)], None, []),
    ([np.array(2**64 - 1, dtype=np.uint64)], None, []),
    ([2**70], None, []),
])
def test_encoded_forms(tmp_path, node, pos, hits):
    np.save(str(tmp_path / "t"), np.array([[7, 3, 0, 0], [9, 4, 0, 0], [7, 3, 0, 0]]))
    records = lm_spread.search_node(str(tmp_path) + "/", node, pos)
    assert records == [("t", 3, len(hits), [round(i / 3 * 100, 2) for i in hits])]


@pytest.mark.parametrize("node, pos, exc", [
    (None, None, TypeError),
    ("ab", None, TypeError),
    ({1: 2}, None, TypeError),
    ([np.array([1.0])], None, TypeError),
    ([["7"]], None, TypeError),
    ([None], None, TypeError),
    ([7], 3, TypeError),
    ([7], [np.array(["NN"])], TypeError),
])
def test_bad_encodings(tmp_path, node, pos, exc):
    np.save(str(tmp_path / "t"), np.array([[7, 3, 0, 0]]))
    with pytest.raises(exc):
        lm_spread.search_node(str(tmp_path) + "/", node, pos)
    os.remove(tmp_path / "t.npy")
    assert lm_spread.search_node(str(tmp_path) + "/", node, pos) == []


ids = st.integers(1, 6)
encoding = st.one_of(ids, st.lists(ids, max_size=4).map(lambda v: np.array(v, dtype=int)),
                     ids.map(lambda v: np.array(v, dtype=int)))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(texts=st.lists(st.lists(st.tuples(ids, st.integers(1, 3)), max_size=25), min_size=1,
                      max_size=3),
       node=st.lists(encoding, min_size=1, max_size=3),
       pos=st.none() | st.lists(st.integers(1, 3).map(lambda v: np.array(v)), min_size=0,
                                max_size=3))
def test_search_node_matches_masks(texts, node, pos):
    if pos is not None and len(node) > len(pos):  # the masks raise IndexError only when reached
        pos = pos + [np.array(9)] * (len(node) - len(pos))
    with tempfile.TemporaryDirectory() as d:
        for k, rows in enumerate(texts):
            arr = np.array([[w, t, 0, 0] for w, t in rows], dtype=int).reshape(-1, 4)
            np.save(os.path.join(d, f"t{k}"), arr if rows else np.zeros((0,), dtype=int))
        path = d + "/"
        node_for_masks = [np.asarray(e) for e in node]
        assert lm_spread.search_node(path, node, pos) == base.search_node(path, node_for_masks, pos)


words = ["a", "A", "ab", "Ab", "b", "the", "The", "walk", "walked", "Walking", "x.y", "é", "É"]
tags = ["NN", "VB", "DT"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(texts=st.lists(st.lists(st.tuples(st.sampled_from(words), st.sampled_from(tags)),
                               max_size=20), min_size=1, max_size=3),
       node=st.lists(st.sampled_from(words + ["zz", "a.*", "w", ".", "b$", "[ab]+", "Th\\w*"]),
                     min_size=1, max_size=3).map(" ".join),
       pos=st.none() | st.lists(st.sampled_from(tags + ["XYZ"]), max_size=3)
       | st.lists(st.sampled_from(tags), max_size=3).map("  ".join),
       cs=st.sampled_from([True, False, None, 0, 1]), rx=st.sampled_from([False, True, None, 0]))
def test_make_dispersion_matches_reference(texts, node, pos, cs, rx):
    with tempfile.TemporaryDirectory() as d:
        c = make_indexed(d, {f"t{k}.txt": toks for k, toks in enumerate(texts)},
                         extra_words=words, extra_tags=tags)
        try:
            want = base.make_dispersion(c.workspace, c.name, node, pos, cs, rx)
        except (IndexError, UnboundLocalError, re.error) as e:
            with pytest.raises(type(e)):
                disperse(c, node, pos, cs, rx)
            return
        assert disperse(c, node, pos, cs, rx) == want


# ---------------------------------------------------------------------------------------------
# Positions are Python's round(i / tokens * 100, 2)


def test_positions_round_like_python(tmp_path):
    # Every row of texts of 1 to 800 tokens, and of 20,000 and 200,000 tokens: there many
    # positions lie within an ulp of a half hundredth, where rounding x * 100 would go wrong.
    for n in list(range(1, 801)) + [20000, 200000]:
        np.save(str(tmp_path / f"n{n}"), np.ones((n, 1), dtype=np.int8))
    for name, tokens, count, got in lm_spread.search_node(str(tmp_path) + "/", [1], None):
        assert tokens == count == int(name[1:])
        assert got == [round(i / tokens * 100, 2) for i in range(tokens)]


@settings(max_examples=40, deadline=None)
@given(tokens=st.integers(1, 2**22) | st.integers(1, 2**13).map(lambda m: 200 * m),
       picks=st.lists(st.floats(0, 1, exclude_max=True), max_size=60))
def test_positions_round_like_python_large(tokens, picks):
    rows = sorted({int(p * tokens) for p in picks} | {tokens - 1})
    arr = np.zeros((tokens, 1), dtype=np.int8)
    arr[rows] = 1
    with tempfile.TemporaryDirectory() as d:
        np.save(os.path.join(d, "t"), arr)
        (record,) = lm_spread.search_node(d + "/", [np.array(1)], None)
    assert record == ("t", tokens, len(rows), [round(i / tokens * 100, 2) for i in rows])


@settings(max_examples=500, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False, min_value=-1e6, max_value=1e6))
def test_translate_rounds_like_python(p):
    point = round(p)
    expected = [0 <= point <= 19, 20 <= point <= 39, 40 <= point <= 59, 60 <= point <= 79,
                80 <= point <= 100]
    assert lm_spread.translate([("t", 1, 1, [p])])[0] == tuple(int(e) for e in expected)


# ---------------------------------------------------------------------------------------------
# Memory and start-up


def test_no_leak_on_repeated_calls(indexed):
    c = indexed(TEXTS)
    node = [np.array([c.word_ids["cat"], c.word_ids["the"]])]

    def work():
        disperse(c, "cat", "NN VB")
        disperse(c, "w.*", None, False, True)
        lm_spread.search_node(c.npy_path, node, [3])
        with pytest.raises(IndexError):
            disperse(c, "the cat", "DT")

    def grown(rounds):
        gc.collect()
        before = tracemalloc.take_snapshot()
        for _ in range(rounds):
            work()
        gc.collect()
        after = tracemalloc.take_snapshot()
        return sum(s.size_diff for s in after.compare_to(before, "filename") if s.size_diff > 0)

    for _ in range(20):
        work()
    tracemalloc.start()
    try:
        grown(50)
        growth = grown(400)  # 1,600 calls: a leaked float per call alone would be 38 KB
    finally:
        tracemalloc.stop()
    assert growth < 32 * 1024


def test_reinitialisation_is_refused():
    code = textwrap.dedent("""
        import sys, importlib
        import lumora.lm_spread
        del sys.modules["lumora.lm_spread"]
        try:
            importlib.import_module("lumora.lm_spread")
        except RuntimeError as e:
            print(e)
    """)
    r = run_python(code)
    assert r.stdout.strip() == (
        "Module 'lm_spread' has already been imported. Re-initialisation is not supported.")
