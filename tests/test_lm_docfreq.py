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

from bench.baseline_docfreq import make_wfreqinfiles as reference

lm_docfreq = pytest.importorskip("lumora.lm_docfreq")


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
            lm_docfreq.make_wfreqinfiles(ws, name, language, lowercase)
        return e
    got = lm_docfreq.make_wfreqinfiles(ws, name, language, lowercase)
    assert got == want
    assert [r[0] for r in got] == list(range(1, len(got) + 1))
    assert all(type(r[0]) is int and type(r[2]) is int and type(r[3]) is float for r in got)
    return got


def corpus(tmp_path, texts, name="c"):
    """Texts of word forms (a str of words, split on spaces); ids in order of first sight."""
    ids = {}
    rows = {f: [(ids.setdefault(w, len(ids) + 1), 1) for w in t.split()] for f, t in texts.items()}
    return write_corpus(tmp_path, rows, {i: w for w, i in ids.items()}, {1: "T"}, name=name)


def test_module_attributes():
    names = [n for n in vars(lm_docfreq) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "DTYPE", "pickle", "re", "make_wfreqinfiles", "__test__"]
    assert lm_docfreq.DTYPE is int and lm_docfreq.__test__ == {} and lm_docfreq.np is np
    assert type(lm_docfreq.make_wfreqinfiles).__name__ == "builtin_function_or_method"


def test_ranges_and_single_precision_percent(indexed):
    c = indexed({"a": tokens_of("all two one " + "many " * 50), "b": tokens_of("all two"),
                 "c": tokens_of("all")})
    rows = {r[1]: r[2:] for r in agree(c.workspace, c.name, False)}
    assert rows == {"all": (3, 100.0), "two": (2, 66.66666412353516),
                    "one": (1, 33.33333206176758), "many": (1, 33.33333206176758)}


@pytest.mark.parametrize("word, kept", [
    (",", False), ("...", False), ("---", False), ("«»", False), ("—", False), (" ", False),
    ("don't", True), ("3.5", True), ("_", True), ("é", True), ("½", True), ("٣", True),
    ("-x-", True), ("«é»", True)])
def test_punctuation_only_words_get_no_row(tmp_path, word, kept):
    ws, name = write_corpus(tmp_path, {"a": [(1, 1), (2, 1)], "b": [(1, 1)]},
                            {1: word, 2: "w"}, {1: "T"})
    for lowercase in (False, True):
        rows = agree(ws, name, lowercase)
        assert [r[1] for r in rows] == ([word, "w"] if kept else ["w"])


def test_case_variants_and_ties(tmp_path):
    texts = {"x": "The b a", "y": "the a c", "z": ""}
    ws, name = corpus(tmp_path, texts)
    ids = {"The": 1, "b": 2, "a": 3, "the": 4, "c": 5}
    # Equal ranges keep the order of first appearance: listing order, then ascending id (when
    # merging, the smallest id among the variants present in that text).
    order = {False: [], True: []}
    for f in os.listdir(tmp_path / "c" / "data" / "npy"):
        for w in sorted(texts[f[:-4]].split(), key=ids.get):
            for lowercase, key in ((False, w), (True, w.lower())):
                if key not in order[lowercase]:
                    order[lowercase].append(key)
    for lowercase, ranges in ((False, {"a": 2}), (True, {"a": 2, "the": 2})):
        rows = agree(ws, name, lowercase)
        assert [r[1] for r in rows] == sorted(order[lowercase], key=lambda w: -ranges.get(w, 1))
        assert rows[0][2:] == (2, 66.66666412353516)  # the empty text counts among the texts


@pytest.mark.parametrize("flag, merged", [(1, True), ("x", True), (0, False), (None, False),
                                          ("", False)])
def test_lowercase_truth_and_language(tmp_path, flag, merged):
    ws, name = corpus(tmp_path, {"a": "The the"})
    for language in ("english", None):
        rows = lm_docfreq.make_wfreqinfiles(ws, name, language, flag)
        assert len(rows) == (1 if merged else 2)


def test_empty_texts_count_and_empty_folder(tmp_path):
    ws, name = write_corpus(tmp_path, {"e": [], "a": [(1, 1)], "f": np.zeros((0, 4), int)},
                            {1: "w"}, {1: "T"})
    assert agree(ws, name, True) == [(1, "w", 1, 33.33333206176758)]
    ws, name = write_corpus(tmp_path, {}, None, None, name="d")
    assert agree(ws, name, False) == [] and agree(ws, name, True) == []


class Shout(str):
    pass


@pytest.mark.parametrize("words", [
    {5.0: "five", True: "One"},           # keys Python finds by int equality
    {5: "five", 1: 7},                    # a value that is no str: re and lower() refuse it
    {5: "Five", 1: Shout("fIVE")},         # a str subclass is asked through Python
])
def test_dictionaries_of_other_types_agree(tmp_path, words):
    ws, name = write_corpus(tmp_path, {"a": [(5, 1), (1, 1)], "b": [(5, 1)]}, words, {1: "T"})
    for lowercase in (False, True):
        got = agree(ws, name, lowercase)
        if isinstance(got, Exception):
            with pytest.raises(type(got), match=f"^{got}$"):
                lm_docfreq.make_wfreqinfiles(ws, name, None, lowercase)


def test_ids_beyond_32_bits_stay_apart(tmp_path):
    big = 2**32 + 5
    ws, name = write_corpus(tmp_path, {"a": np.array([[big, 0], [5, 0]]), "b": np.array([[5, 0]])},
                            {big: "big", 5: "five"}, {})
    assert [r[1:3] for r in agree(ws, name, False)] == [("five", 2), ("big", 1)]


@pytest.mark.parametrize("words, exc, message", [
    ({}, KeyError, "1"),
    (None, TypeError, "'NoneType' object is not subscriptable"),
    ([1], TypeError, "Expected dict, got list"),
])
def test_dictionary_failures(tmp_path, words, exc, message):
    ws, name = write_corpus(tmp_path, {"a": [(1, 7)]}, words, {})
    for lowercase in (False, True):
        with pytest.raises(exc) as info:
            lm_docfreq.make_wfreqinfiles(ws, name, "en", lowercase)
        assert str(info.value) == message


def test_file_failures(tmp_path):
    ws, name = write_corpus(tmp_path, {"a": [(1, 1)]}, {1: "w"}, {1: "T"})
    with pytest.raises(FileNotFoundError) as info:  # the dictionary is read before the arrays
        lm_docfreq.make_wfreqinfiles(ws, "nope", "en", False)
    assert info.value.filename.endswith("words.pickle")
    os.rename(tmp_path / "c" / "data" / "npy", tmp_path / "c" / "data" / "gone")
    with pytest.raises(FileNotFoundError) as info:
        lm_docfreq.make_wfreqinfiles(ws, name, "en", True)
    assert info.value.filename.endswith("/data/npy/")
    os.rename(tmp_path / "c" / "data" / "gone", tmp_path / "c" / "data" / "npy")
    for bad, exc in [(np.arange(3), IndexError), (np.ones((2, 4)), TypeError)]:
        np.save(tmp_path / "c" / "data" / "npy" / "bad", bad)
        with pytest.raises(exc):
            lm_docfreq.make_wfreqinfiles(ws, name, "en", False)


def test_re_os_and_np_are_looked_up_at_each_call(tmp_path, monkeypatch):
    ws, name = corpus(tmp_path, {"a": "x y", "b": "y"})

    def no_compile(pattern):
        raise RuntimeError(pattern)
    monkeypatch.setattr(lm_docfreq, "re", types.SimpleNamespace(compile=no_compile))
    with pytest.raises(RuntimeError, match=r"^\^\\W\+\$$"):  # before any file is opened
        lm_docfreq.make_wfreqinfiles("/nowhere/", "c", None, False)
    monkeypatch.undo()
    monkeypatch.setattr(lm_docfreq, "os", types.SimpleNamespace(listdir=lambda p: ("b.npy",)))
    assert [r[1:] for r in lm_docfreq.make_wfreqinfiles(ws, name, None, False)] == [("y", 1, 100.0)]
    monkeypatch.setattr(lm_docfreq, "np", types.SimpleNamespace(ndarray=np.ndarray,
                                                                load=lambda p: "text"))
    with pytest.raises(TypeError, match="^Cannot convert str to numpy.ndarray$"):
        lm_docfreq.make_wfreqinfiles(ws, name, None, False)


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("call, exc, message", [
    (lambda: lm_docfreq.make_wfreqinfiles("a", "b", "c"), TypeError,
     "make_wfreqinfiles() takes exactly 4 positional arguments (3 given)"),
    (lambda: lm_docfreq.make_wfreqinfiles("a", "b", "c", 1, workspace="a"), TypeError,
     "make_wfreqinfiles() got multiple values for keyword argument 'workspace'"),
    (lambda: lm_docfreq.make_wfreqinfiles("a", corpus_name="b", language="c"), TypeError,
     "make_wfreqinfiles() takes exactly 4 positional arguments (3 given)"),
    (lambda: lm_docfreq.make_wfreqinfiles("a", 2.0, "c", 1), TypeError,
     "Argument 'corpus_name' has incorrect type (expected str, got float)"),
    (lambda: lm_docfreq.make_wfreqinfiles(None, "b", "c", 1), TypeError,
     "unsupported operand type(s) for +: 'NoneType' and 'str'"),
    (lambda: lm_docfreq.make_wfreqinfiles("/nowhere/", "b", "c", Falsy()), ZeroDivisionError,
     "no truth"),
])
def test_argument_failures(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert str(info.value) == message


def test_keywords_and_no_leaks(tmp_path):
    ws, name = corpus(tmp_path, {"a": "The the , x", "b": "x y"})
    _, bad = write_corpus(tmp_path, {"a": [(1, 1), (9, 1)]}, {1: "A"}, {}, name="bad")

    def calls():
        assert len(lm_docfreq.make_wfreqinfiles(lowercase=1, language=None, corpus_name=name,
                                                workspace=ws)) == 3
        assert len(lm_docfreq.make_wfreqinfiles(ws, name, None, False)) == 4
        with pytest.raises(KeyError):
            lm_docfreq.make_wfreqinfiles(ws, bad, None, True)
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
    assert grown[1] < 40_000, grown


# Words mixing ASCII and other letters, digits and punctuation, so that the native
# punctuation test and lower-casing are compared with Python's on many forms.
CHARS = st.sampled_from(list("aAzZ09_.,-'! \t") + ["é", "É", "İ", "ß", "ǅ", "½", "٣", "«", "—",
                                                       "\u00a0", "\u0300", "𝔸", "\U0001f600"])
WORD = st.lists(CHARS, min_size=1, max_size=4).map("".join)


@settings(max_examples=200, deadline=None)
@given(vocab=st.lists(WORD, min_size=1, max_size=12, unique=True),
       ids=st.lists(st.integers(-2**31, 2**31 - 1), min_size=12, max_size=12, unique=True),
       texts=st.lists(st.lists(st.integers(0, 11), max_size=12), min_size=1, max_size=5))
def test_matches_plain_rendering_on_generated_corpora(vocab, ids, texts):
    rows = {f"t{i}": [(ids[w % len(vocab)], 0) for w in text] for i, text in enumerate(texts)}
    with tempfile.TemporaryDirectory() as root:
        ws, name = write_corpus(root, rows, dict(zip(ids, vocab)), {})
        for lowercase in (False, True):
            assert not isinstance(agree(ws, name, lowercase), Exception)
