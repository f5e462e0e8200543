import collections
import gc
import os
import pickle
import tempfile
import tracemalloc
import types

import numpy as np
import pytest
from conftest import tokens_of
from hypothesis import given, settings
from hypothesis import strategies as st

from bench.baseline_tagfreq import make_wtfreq as reference

lm_tagfreq = pytest.importorskip("lumora.lm_tagfreq")


def write_corpus(root, texts, words, tags, name="c"):
    """An indexed corpus with chosen ids: texts map a file name to (word id, tag id) rows (an
    empty list gives the (0,) array of a text without tokens) or to an array as it stands."""
    base = os.path.join(str(root), name)
    for sub in ("idx", "npy"):
        os.makedirs(os.path.join(base, "data", sub), exist_ok=True)
    for fname, rows in texts.items():
        arr = rows if isinstance(rows, np.ndarray) else np.array(
            [(w, t, 0, 0) for w, t in rows], dtype=int)
        np.save(os.path.join(base, "data", "npy", fname), arr, allow_pickle=False)
    for which, d in (("words", words), ("tags", tags)):
        with open(os.path.join(base, "data", "idx", which + ".pickle"), "wb") as f:
            pickle.dump(d, f)
    return str(root) + os.sep, name


def agree(ws, name, lowercase, language="en"):
    """The native result, which must equal the plain rendering's (or fail with the same type)."""
    try:
        want = reference(ws, name, language, lowercase)
    except Exception as e:  # noqa: BLE001 - the same exception type is expected
        with pytest.raises(type(e)):
            lm_tagfreq.make_wtfreq(ws, name, language, lowercase)
        return e
    got = lm_tagfreq.make_wtfreq(ws, name, language, lowercase)
    assert got == want
    assert [r[0] for r in got] == list(range(1, len(got) + 1))
    assert all(type(r[0]) is int and type(r[3]) is int and type(r[4]) is float for r in got)
    return got


def test_module_attributes():
    names = [n for n in vars(lm_tagfreq) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "DTYPE", "pickle", "make_wtfreq", "__test__"]
    assert lm_tagfreq.DTYPE is int and lm_tagfreq.__test__ == {} and lm_tagfreq.np is np
    assert type(lm_tagfreq.make_wtfreq).__name__ == "builtin_function_or_method"


def test_single_precision_percent_and_merging(indexed):
    c = indexed({"a": tokens_of("dog/NN The/DT cat/NN")})
    rows = agree(c.workspace, c.name, False)
    assert (rows[0][1:4], rows[0][4]) == (("dog", "NN", 1), 33.33333206176758)
    c = indexed({"b": tokens_of("The/DT " * 5 + "the/DT " * 7 + "Run/VB run/NN")}, name="c2")
    assert [r[1:4] for r in agree(c.workspace, c.name, False)][:2] == [("the", "DT", 7),
                                                                     ("The", "DT", 5)]
    assert [r[1:4] for r in agree(c.workspace, c.name, True)] == [
        ("the", "DT", 12), ("run", "VB", 1), ("run", "NN", 1)]


def test_ties_follow_listing_then_ascending_ids(tmp_path):
    texts = {"x": [(7, 2), (-3, 2), (7, 1)], "y": [(-9, 1), (5, 5)], "z": [(-3, 2)]}
    words, tags = {7: "b", -3: "a", -9: "c", 5: "B"}, {1: "NN", 2: "VB", 5: "nn"}
    ws, name = write_corpus(tmp_path, texts, words, tags)
    counts, first = collections.Counter(), {}
    for i, f in enumerate(os.listdir(tmp_path / "c" / "data" / "npy")):  # the listing's order
        for pair in sorted(texts[f[:-4]]):
            counts[pair] += 1
            first.setdefault(pair, i)
    order = sorted(first, key=lambda p: (-counts[p], first[p], p))
    got = agree(ws, name, False)
    assert [r[1:4] for r in got] == [(words[w], tags[t], counts[w, t]) for w, t in order]
    assert sum(r[4] for r in got) == pytest.approx(100, abs=1e-4)
    assert agree(ws, name, True)[0][1:4] == ("a", "VB", 2)


@pytest.mark.parametrize("flag, merged", [(1, True), (True, True), ("x", True), (0, False),
                                          (False, False), (None, False), ("", False)])
@pytest.mark.parametrize("language", ["english", None, ""])
def test_lowercase_truth_and_language(indexed, flag, merged, language):
    c = indexed({"a": tokens_of("The/DT the/DT")})
    rows = lm_tagfreq.make_wtfreq(c.workspace, c.name, language, flag)
    assert len(rows) == (1 if merged else 2)


def test_empty_texts_and_empty_corpus(tmp_path):
    ws, name = write_corpus(tmp_path, {"e": [], "a": [(1, 1)], "f": np.zeros((0, 4), int)},
                            {1: "w"}, {1: "T"})
    assert agree(ws, name, True) == [(1, "w", "T", 1, 100.0)]
    ws, name = write_corpus(tmp_path, {"e": []}, None, None, name="d")
    assert agree(ws, name, False) == [] and agree(ws, name, True) == []


def test_merging_uses_python_lower_and_equal_tag_texts(tmp_path):
    words = {1: "ÉCOLE", 2: "école", 3: "İstanbul", 4: "istanbul", 5: "ﬁnal", 6: "FINAL"}
    ws, name = write_corpus(tmp_path, {"a": [(w, w % 2 + 1) for w in words] + [(2, 1)]},
                            words, {1: "NN", 2: "NN"})
    rows = agree(ws, name, True)
    assert [r[1:4] for r in rows] == [("école", "NN", 3), ("i̇stanbul", "NN", 1),
                                      ("istanbul", "NN", 1), ("ﬁnal", "NN", 1), ("final", "NN", 1)]
    assert len(agree(ws, name, False)) == 6


@pytest.mark.parametrize("words", [
    {5.0: "five", True: "one"},                   # keys Python finds by int equality
    {np.int64(5): "five", 1: "one"},
    {5: 50, 1: b"One"},                           # values that are not str
])
def test_dictionaries_of_other_types_agree(tmp_path, words):
    ws, name = write_corpus(tmp_path, {"a": [(5, 1), (1, 1), (5, 1)]}, words, {1: "T"})
    assert len(agree(ws, name, False)) == 2
    merged = agree(ws, name, True)
    if isinstance(merged, Exception):  # 50 has no lower(): Python's own message
        with pytest.raises(type(merged), match=f"^{merged}$"):
            lm_tagfreq.make_wtfreq(ws, name, "en", True)


def test_ids_beyond_32_bits_stay_apart(tmp_path):
    big = 2**32 + 5
    arr = np.array([[big, 1, 0, 0], [5, 1, 0, 0], [5, 2**40, 0, 0], [big, 1, 0, 0]])
    ws, name = write_corpus(tmp_path, {"a": arr}, {big: "big", 5: "five"}, {1: "T", 2**40: "U"})
    assert [r[1:4] for r in agree(ws, name, False)] == [("big", "T", 2), ("five", "T", 1),
                                                       ("five", "U", 1)]


@pytest.mark.parametrize("words, tags, exc, message", [
    ({1: "w"}, {}, KeyError, "7"),
    ({}, {7: "T"}, KeyError, "1"),
    (None, {7: "T"}, TypeError, "'NoneType' object is not subscriptable"),
    ({1: "w"}, None, TypeError, "'NoneType' object is not subscriptable"),
    ([1], {7: "T"}, TypeError, "Expected dict, got list"),
    ({1: "w"}, collections.OrderedDict(), TypeError, "Expected dict, got OrderedDict"),
])
def test_dictionary_failures(tmp_path, words, tags, exc, message):
    ws, name = write_corpus(tmp_path, {"a": [(1, 7)]}, words, tags)
    with pytest.raises(exc) as info:
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    head, _, tail = message.partition("*")
    assert str(info.value).startswith(head) and str(info.value).endswith(tail)
    with pytest.raises(exc):
        reference(ws, name, "en", False)


def test_file_failures(tmp_path):
    ws, name = write_corpus(tmp_path, {"a": [(1, 1)]}, {1: "w"}, {1: "T"})
    npy = tmp_path / "c" / "data" / "npy"
    os.remove(tmp_path / "c" / "data" / "idx" / "words.pickle")
    with pytest.raises(FileNotFoundError) as info:  # the arrays are read first
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    assert info.value.filename.endswith("words.pickle")
    for bad, exc in [(np.arange(3), IndexError), (np.ones((2, 1), int), IndexError),
                     (np.ones((2, 4)), TypeError)]:
        np.save(npy / "bad", bad)
        with pytest.raises(exc):
            lm_tagfreq.make_wtfreq(ws, name, "en", False)
    (npy / "bad.npy").write_text("not an array")
    with pytest.raises(ValueError):
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    with pytest.raises(FileNotFoundError):
        lm_tagfreq.make_wtfreq(ws, "nope", "en", False)


def test_numpy_and_os_are_looked_up_at_each_call(tmp_path, monkeypatch):
    ws, name = write_corpus(tmp_path, {"a": [(1, 1)], "b": [(1, 1)]}, {1: "w"}, {1: "T"})
    # A view of 2**31 - 1 rows costs no memory: the token total passes 32 bits at the second
    # text, before anything of it is counted.
    huge = np.lib.stride_tricks.as_strided(np.ones(4, int), (2**31 - 1, 4), (0, 8))
    fake_np = types.SimpleNamespace(ndarray=np.ndarray, load=lambda p: huge if p.endswith("b.npy")
                                    else np.load(p))
    monkeypatch.setattr(lm_tagfreq, "np", fake_np)
    with pytest.raises(OverflowError):
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    monkeypatch.setattr(lm_tagfreq, "np", types.SimpleNamespace(ndarray=np.ndarray,
                                                                load=lambda p: [[1, 1]]))
    with pytest.raises(TypeError, match="^Cannot convert list to numpy.ndarray$"):
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    monkeypatch.setattr(lm_tagfreq, "os", types.SimpleNamespace(listdir=lambda p: ("a.npy",)))
    with pytest.raises(TypeError, match="^Expected list, got tuple$"):
        lm_tagfreq.make_wtfreq(ws, name, "en", False)
    monkeypatch.setattr(lm_tagfreq, "os", types.SimpleNamespace(listdir=lambda p: [b"a.npy"]))
    with pytest.raises(TypeError, match="^Expected str, got bytes$"):
        lm_tagfreq.make_wtfreq(ws, name, "en", False)


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: lm_tagfreq.make_wtfreq(), TypeError,
     "make_wtfreq() takes exactly 4 positional arguments (0 given)"),
    (lambda: lm_tagfreq.make_wtfreq("a", "b", "c", 1, 2), TypeError,
     "make_wtfreq() takes exactly 4 positional arguments (5 given)"),
    (lambda: lm_tagfreq.make_wtfreq("a", "b", "c", lowercase=1, spam=2), TypeError,
     "make_wtfreq() got an unexpected keyword argument 'spam'"),
    (lambda: lm_tagfreq.make_wtfreq(1, "b", "c", 1), TypeError,
     "Argument 'workspace' has incorrect type (expected str, got int)"),
    (lambda: lm_tagfreq.make_wtfreq("a", "b", b"c", 1), TypeError,
     "Argument 'language' has incorrect type (expected str, got bytes)"),
    (lambda: lm_tagfreq.make_wtfreq(None, "b", "c", 1), TypeError,
     "unsupported operand type(s) for +: 'NoneType' and 'str'"),
    (lambda: lm_tagfreq.make_wtfreq("/nowhere/", None, "c", 1), TypeError,
     'can only concatenate str (not "NoneType") to str'),
    (lambda: lm_tagfreq.make_wtfreq("/nowhere/", "b", "c", Falsy()), ZeroDivisionError,
     "no truth"),
])
def test_argument_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_no_leaks(tmp_path):
    ws, name = write_corpus(tmp_path, {"a": [(1, 1), (2, 1), (3, 1)], "b": [(3, 9)]},
                            {1: "A", 2: "a", 3: "b"}, {1: "T", 9: "U"})
    _, bad = write_corpus(tmp_path, {"a": [(1, 1), (2, 1), (3, 9)]}, {1: "A", 2: "a", 3: "b"},
                          {1: "T"}, name="bad")

    def calls():
        assert len(lm_tagfreq.make_wtfreq(lowercase=1, language=None, corpus_name=name,
                                          workspace=ws)) == 3
        assert len(lm_tagfreq.make_wtfreq(ws, name, None, False)) == 4
        with pytest.raises(KeyError):
            lm_tagfreq.make_wtfreq(ws, bad, None, True)
    # NumPy and the interpreter keep bounded caches; a leak grows with the number of calls.
    tracemalloc.start()
    grown = []
    for n in (300, 1200):
        gc.collect()  # np.load leaves cyclic garbage; an object leaked survives collection
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(n):
            calls()
        gc.collect()
        grown.append(tracemalloc.get_traced_memory()[0] - before)
    tracemalloc.stop()
    assert grown[1] < 40_000, grown  # one object lost per call would be 3600 objects here


WORD = st.text(alphabet="aAbB.,-_éÉİ1 ", min_size=1, max_size=3)


@settings(max_examples=150, deadline=None)
@given(vocab=st.lists(WORD, min_size=1, max_size=12, unique=True),
       tags=st.lists(st.sampled_from(["NN", "nn", "VB"]), min_size=1, max_size=4),
       ids=st.lists(st.integers(-2**31, 2**31 - 1), min_size=16, max_size=16, unique=True),
       texts=st.lists(st.lists(st.tuples(st.integers(0, 11), st.integers(0, 3)), max_size=12),
                      min_size=1, max_size=5))
def test_matches_plain_rendering_on_generated_corpora(vocab, tags, ids, texts):
    words = dict(zip(ids, vocab))
    tag_ids = ids[len(vocab):len(vocab) + len(tags)] or ids[-1:]
    tag_dict = dict(zip(tag_ids, tags))
    rows = {f"t{i}": [(ids[w % len(vocab)], tag_ids[t % len(tag_ids)]) for w, t in text]
            for i, text in enumerate(texts)}
    with tempfile.TemporaryDirectory() as root:
        ws, name = write_corpus(root, rows, words, tag_dict)
        for lowercase in (False, True):
            agree(ws, name, lowercase)
