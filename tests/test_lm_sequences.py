import functools
import gc
import os
import pickle
import random
import re
import shutil
import sys
import tempfile
import textwrap
import types

import numpy as np
import pytest
from conftest import run_python, make_indexed, tokens_of
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from bench import baseline_sequences as baseline

lm_sequences = pytest.importorskip("lumora.lm_sequences")


def both(c, pos, size, lowercase):
    """The native result and the plain rendering's, or the exception each raised."""
    out = []
    for fn in (lm_sequences.make_ngrams, baseline.make_ngrams):
        try:
            out.append(fn(c.workspace, c.name, pos, size, lowercase))
        except Exception as e:  # noqa: BLE001 - compared by type and text
            out.append((type(e), str(e)))
    return out


def assert_same(c, pos, size, lowercase):
    native, plain = both(c, pos, size, lowercase)
    assert native == plain
    if isinstance(native, list):
        assert [type(x) for r in native for x in r] == [type(x) for r in plain for x in r]
    return native


def raw_corpus(root, arrays, words, tags=None, name="c1"):
    """A corpus folder from token arrays given as they are (any ids) and id-to-string dicts."""
    ws = str(root) + os.sep
    for sub in ("idx", "npy", "tmp1"):
        os.makedirs(ws + name + "/data/" + sub, exist_ok=True)
    for fname, arr in arrays.items():
        np.save(ws + name + "/data/npy/" + fname, arr, allow_pickle=False)
    for which, d in (("words", words), ("tags", tags if tags is not None else {1: "NN"})):
        with open(ws + name + "/data/idx/%s.pickle" % which, "wb") as f:
            pickle.dump(d, f)
    return types.SimpleNamespace(workspace=ws, name=name, npy=ws + name + "/data/npy/")


class Spy:
    """Stands in for the module's tempfile and shutil: records the folder and keeps a copy of
    every presence file (name -> bytes) before the folder goes."""

    def __init__(self, mkdtemp=tempfile.mkdtemp, rmtree=shutil.rmtree):
        self.made, self.removed, self.files = [], [], {}
        self._mkdtemp, self._rmtree = mkdtemp, rmtree

    def mkdtemp(self):
        self.made.append(self._mkdtemp())
        return self.made[-1]

    def rmtree(self, path):
        self.removed.append(path)
        self.files = {}
        for n in os.listdir(path):
            with open(os.path.join(path, n), "rb") as f:
                self.files[n] = f.read()
        self._rmtree(path)


@pytest.fixture
def spy(monkeypatch):
    s = Spy()
    monkeypatch.setattr(lm_sequences, "tempfile", s)
    monkeypatch.setattr(lm_sequences, "shutil", s)
    return s


TEXTS = {
    "a.txt": tokens_of("The/DT cat/NN sat/VB on/IN the/DT mat/NN ./PUNCT The/DT cat/NN sat/VB"),
    "b.txt": tokens_of("the/DT cat/NN , the/DT dog/NN -- a./NN 's/VB e.g./RB this/DT"),
    "c.txt": tokens_of("THE/DT CAT/NN sat/VB ./PUNCT"),
    "d.txt": tokens_of("x/NN"),
    "e.txt": [],
}


@pytest.mark.parametrize("size", [0, 1, 2, 3, 4, 5, 6, -1])
@pytest.mark.parametrize("lowercase", [False, True, 0, "yes"])
@pytest.mark.parametrize("pos", [None, "DT NN", ["NN"], "NN  VB", ["DT", "NN", "VB"], "", [],
                                 "DT XX", "  DT\t "])
def test_matches_plain_rendering(indexed, size, lowercase, pos):
    assert_same(indexed(TEXTS), pos, size, lowercase)


def test_known_rows(indexed):
    c = indexed({"A": tokens_of("The cat The cat"), "B": tokens_of("the cat the cat the cat"),
                 "C": tokens_of(", the cat -- . a. 's")})
    order = c.listing()
    rows = lm_sequences.make_ngrams(c.workspace, c.name, None, 2, True)
    by = {r[1]: r for r in rows}
    assert by["the cat"][2:] == (6, 3, 100.0)
    assert [r[0] for r in rows] == list(range(1, len(rows) + 1))
    assert not {", the", "cat --", "-- .", ". a."} & set(by)
    assert "a. 's" in by and by["a. 's"][3:] == (1, 33.33333206176758)
    rows = lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    by = {r[1]: r for r in rows}
    assert by["The cat"][2:4] == (2, 1) and by["the cat"][2:4] == (4, 2)
    assert by["the cat"][4] == 66.66666412353516
    # First appearance: texts in listing order, then the order within the text.
    firsts = {"A.npy": "The cat", "B.npy": "the cat", "C.npy": "the cat"}
    assert rows[0][1] == firsts[order[0]]
    words = [r[1] for r in lm_sequences.make_ngrams(c.workspace, c.name, None, 1, False)]
    assert "a." in words and "'s" in words and "." not in words and "--" not in words


@pytest.mark.parametrize("size", [2, 3])
def test_case_variants_merge_without_their_lower_form(indexed, size):
    c = indexed({"a": tokens_of("The dog . THE CAT SAT"), "b": tokens_of("x the Cat Sat . The dog")})
    rows = assert_same(c, None, size, True)
    by = {r[1]: r[2:4] for r in rows}
    assert by["the cat sat" if size == 3 else "the cat"] == (2, 2)
    assert by["the dog" if size == 2 else "x the cat"] == ((2, 2) if size == 2 else (1, 1))


@pytest.mark.parametrize("pos, size, expected", [
    (["NN", "VB"], 1, {"cat": 2, "sat": 2, "dog": 1, "runs": 1}),
    (["NN", "VB"], 2, {"cat sat": 2, "dog runs": 1}),
    ("VB NN", 2, {}),
    (["NN", "VB"], 3, IndexError),  # a window passes both entries, the third has none
    (["DT", "VB"], 3, {}),          # no window gets past the second entry
    ("", 2, IndexError),
    ("", 1, {}),
    ("NN ZZ", 2, {"the cat": 1, "cat sat": 2, "sat the": 1, "the dog": 1, "dog runs": 1}),
])
def test_tag_patterns(indexed, pos, size, expected):
    c = indexed({"t": tokens_of("the/DT cat/NN sat/VB the/DT dog/NN runs/VB"),
                 "u": tokens_of("cat/NN sat/VB")})
    if expected is IndexError:
        with pytest.raises(IndexError, match="list index out of range"):
            lm_sequences.make_ngrams(c.workspace, c.name, pos, size, False)
    else:
        rows = lm_sequences.make_ngrams(c.workspace, c.name, pos, size, False)
        assert {r[1]: r[2] for r in rows} == expected


@pytest.mark.parametrize("size", [1, 2, 3, 5])
def test_short_texts_count_nothing_and_leave_empty_presence(indexed, spy, size):
    texts = {"empty": [], "short": tokens_of("a b c d")[:max(size - 2, 0)],
             "exact": tokens_of("a b c d e")[:size - 1], "long": tokens_of("a b c d e f")}
    c = indexed(texts)
    rows = lm_sequences.make_ngrams(c.workspace, c.name, None, size, False)
    assert np.load(c.npy / "empty.npy").shape == (0,)
    assert sum(r[2] for r in rows) == 6 - size + 1
    assert all(r[4] == 25.0 for r in rows)
    assert sorted(spy.files) == sorted(c.listing())
    for name in ("empty.npy", "short.npy", "exact.npy"):
        assert spy.files[name] == pickle.dumps({})
    assert spy.made == spy.removed and not os.path.exists(spy.made[0])


@pytest.mark.parametrize("size", [0, 6, -1, 2**31 - 1])
def test_size_outside_range(indexed, tmp_path, spy, size):
    c = indexed({"e": []})
    for first in (np.array([], dtype=int), np.array([5, 6]), np.zeros((2, 1), dtype=np.int8)):
        np.save(c.npy / "e.npy", first)  # whatever the first token array holds
        with pytest.raises(UnboundLocalError) as info:
            lm_sequences.make_ngrams(c.workspace, c.name, "NN", size, False)
        assert str(info.value) == "local variable 'counter' referenced before assignment"
    assert spy.removed == spy.made and not any(map(os.path.exists, spy.made))
    empty = make_indexed(tmp_path, {}, name="c2")
    assert lm_sequences.make_ngrams(empty.workspace, empty.name, "NN", size, True) == []
    assert spy.removed == spy.made and spy.files == {}


def test_presence_files_and_temporary_folder(indexed, spy):
    c = indexed({"x.npy": tokens_of("b a b a c"), "y.txt": tokens_of("a b")})
    rows = lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    assert len(spy.made) == 1 and spy.removed == spy.made
    assert not os.path.exists(spy.made[0])
    assert sorted(spy.files) == ["x.npy", "y.txt.npy"]
    ids = c.word_ids
    expected = {(ids["b"], ids["a"]): 1, (ids["a"], ids["b"]): 1, (ids["a"], ids["c"]): 1}
    loaded = pickle.loads(spy.files["x.npy"])
    assert loaded == expected and list(loaded) == list(expected)
    assert spy.files["x.npy"] == pickle.dumps(expected)
    assert {r[1]: r[3] for r in rows}["a b"] == 2


def test_temporary_folder_goes_after_failures(indexed, spy):
    c = indexed({"a": tokens_of("a b c"), "b": tokens_of("b c d")})
    os.remove(c.idx / "words.pickle")  # read only after every presence file is written
    with pytest.raises(FileNotFoundError) as info:
        lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    assert info.value.filename == c.workspace + c.name + "/data/idx/words.pickle"
    assert len(spy.files) == 2 and spy.removed == spy.made
    assert not os.path.exists(spy.made[0])
    with pytest.raises(TypeError):  # None fails at the first concatenation, after mkdtemp
        lm_sequences.make_ngrams(None, c.name, None, 2, False)
    assert len(spy.made) == 2 and spy.removed == spy.made


def test_cleanup_failure_keeps_the_exception(indexed, monkeypatch):
    c = indexed({"a": tokens_of("a b c")})
    os.remove(c.idx / "tags.pickle")
    made = []

    def rmtree(path):
        shutil.rmtree(path)
        raise PermissionError("cannot remove")

    fake = types.SimpleNamespace(mkdtemp=lambda: made.append(tempfile.mkdtemp()) or made[-1],
                                 rmtree=rmtree)
    monkeypatch.setattr(lm_sequences, "tempfile", fake)
    monkeypatch.setattr(lm_sequences, "shutil", fake)
    with pytest.raises(FileNotFoundError) as info:
        lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    assert info.value.__context__ is None
    c.write_dict("tags", {1: "NN"})
    with pytest.raises(PermissionError, match="cannot remove"):  # after success it propagates
        lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)


@pytest.mark.parametrize("made, exc, message", [
    (b"/tmp/x", TypeError, "Expected str, got bytes"),
    (None, TypeError, "Expected str, got NoneType"),
])
def test_mkdtemp_must_give_a_str(indexed, monkeypatch, made, exc, message):
    c = indexed({"a": tokens_of("a b")})
    monkeypatch.setattr(lm_sequences, "tempfile", types.SimpleNamespace(mkdtemp=lambda: made))
    with pytest.raises(exc) as info:
        lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    assert str(info.value) == message


KEY_INT = st.one_of(st.integers(0, 255), st.integers(256, 65535), st.integers(-2**31, 2**31 - 1),
                    st.integers(-2**63, 2**63 - 1))


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(size=st.integers(1, 5), seed=st.integers(0, 2**32),
       length=st.sampled_from([0, 1, 2, 3, 999, 1000, 1001, 2000, 7000, 20000]),
       pool=st.lists(KEY_INT, min_size=1, max_size=40, unique=True))
def test_presence_bytes_equal_pickle_dumps(tmp_path_factory, size, seed, length, pool):
    """Dicts of int and tuple keys, small and large enough for several frames and batches."""
    rnd = random.Random(seed)
    column = [rnd.choice(pool) if rnd.random() < 0.3 else rnd.randrange(-2**40, 2**40)
              for _ in range(length + size - 1)]
    arr = np.zeros((len(column), 4), dtype=np.int64)
    arr[:, 0] = column
    c = raw_corpus(tmp_path_factory.mktemp("p"), {"t": arr}, {})
    s = Spy()
    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(lm_sequences, "tempfile", s)
        mp.setattr(lm_sequences, "shutil", s)
        try:
            lm_sequences.make_ngrams(c.workspace, c.name, None, size, False)
        except KeyError:  # the word dictionary is empty on purpose
            pass
    keys = [column[i] if size == 1 else tuple(column[i:i + size])
            for i in range(len(column) - size + 1)]
    expected = dict.fromkeys(keys, 1)
    assert s.files["t.npy"] == pickle.dumps(expected)
    assert list(pickle.loads(s.files["t.npy"])) == list(expected)


@pytest.mark.parametrize("dump", [
    functools.partial(pickle.dump, protocol=2),  # read natively: memo puts, no frames
    functools.partial(pickle.dump, protocol=0),  # left to Python's unpickler
])
@pytest.mark.parametrize("size", [1, 3])
def test_other_protocols_read_back(indexed, monkeypatch, dump, size):
    c = indexed(TEXTS)
    want = lm_sequences.make_ngrams(c.workspace, c.name, None, size, True)
    fake = types.SimpleNamespace(DEFAULT_PROTOCOL=dump.keywords["protocol"], dump=dump,
                                 load=pickle.load)
    monkeypatch.setattr(lm_sequences, "pickle", fake)
    assert lm_sequences.make_ngrams(c.workspace, c.name, None, size, True) == want


@pytest.mark.parametrize("size", [1, 2])
@pytest.mark.parametrize("foreign", ["dict", "list", "native"])
def test_foreign_files_in_the_temporary_folder(indexed, monkeypatch, tmp_path, size, foreign):
    """A folder from mkdtemp that already holds a file: it is read back like the others."""
    c = indexed(TEXTS, extra_words=["Dog"])  # "Dog" is in the dictionary, in no text
    ids = c.word_ids
    key = ids["cat"] if size == 1 else (ids["the"], ids["cat"])
    other = ids["Dog"] if size == 1 else (ids["the"], ids["Dog"])  # "the dog" once lower-cased
    content = {
        "dict": pickle.dumps({key: 1, other: "x"}, protocol=0),  # left to Python's unpickler
        "list": pickle.dumps([key]),
        "native": pickle.dumps({other: 1, key: 1}),  # read natively, a key no text counted
    }[foreign]
    results = []
    for module in (lm_sequences, baseline):
        folder = tmp_path / ("f" + module.__name__)
        folder.mkdir()
        (folder / "zz").write_bytes(content)
        fake = types.SimpleNamespace(mkdtemp=lambda f=folder: str(f))
        monkeypatch.setattr(module, "tempfile", fake)
        try:
            results.append(module.make_ngrams(c.workspace, c.name, None, size, True))
        except TypeError as e:
            results.append(str(e))
    assert results[0] == results[1]
    if foreign == "native":
        assert {r[1]: r[3] for r in results[0]}["dog" if size == 1 else "the dog"] == 2


@pytest.mark.parametrize("lowercase", [False, True])
@pytest.mark.parametrize("size", [2, 3])
def test_words_holding_spaces_join_to_one_string(indexed, lowercase, size):
    c = indexed({"a": [("New York", "NN"), ("City", "NN"), ("x", "NN")],
                 "b": [("New", "NN"), ("york City", "NN"), ("x", "NN")],
                 "c": [("new", "NN"), ("  ", "NN"), ("city", "NN"), ("x", "NN")]})
    rows = assert_same(c, None, size, lowercase)
    if size == 2 and lowercase:
        assert {r[1]: r[2:4] for r in rows}["new york city"] == (2, 2)


@pytest.mark.parametrize("size", [2, 3])
def test_words_of_mixed_widths_join(indexed, size):
    """Words stored 1, 2 and 4 bytes a character, of odd lengths, joined into wider strings."""
    words = ["abc", "Σσς", "𝐀", "x", "中文字", "😀", "é", "ǅ!", ","]
    text = [(w, "NN") for w in words + words[::-1] + words[1::2]]
    rows = assert_same(indexed({"t": text}), None, size, False)
    assert any(r[1].startswith("abc Σσς 𝐀"[:4 * size - 1]) for r in rows)


class Word(str):
    """A str subclass in a word dictionary: compared by its characters, kept as it is."""


def test_word_dictionary_failures(indexed):
    c = indexed({"a": tokens_of("a b c"), "b": tokens_of("c d e")})
    words = c.read_dict("words")
    for bad in ({**words, c.word_ids["d"]: 7}, {**words, c.word_ids["b"]: b"b"},
                {k: v for k, v in words.items() if v != "e"}, [(1, "a")], None,
                {**words, c.word_ids["c"]: Word("C"), c.word_ids["e"]: Word("a")}):
        c.write_dict("words", bad)
        for size in (1, 2, 3):
            for lowercase in (False, True):
                assert_same(c, None, size, lowercase)


def test_duplicate_word_strings_merge(indexed):
    c = indexed({"a": tokens_of("a b a b"), "b": tokens_of("c b")})
    words = c.read_dict("words")
    words[c.word_ids["c"]] = "a"
    c.write_dict("words", words)
    for size in (1, 2):
        rows = assert_same(c, None, size, False)
        assert rows[0][1:4] == (("a", 3, 2) if size == 1 else ("a b", 3, 2))


@pytest.mark.parametrize("call, exc, message", [
    (lambda: lm_sequences.make_ngrams(), TypeError,
     "make_ngrams() takes exactly 5 positional arguments (0 given)"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, 2, False, 1), TypeError,
     "make_ngrams() takes exactly 5 positional arguments (6 given)"),
    (lambda: lm_sequences.make_ngrams("a", "b", size=2, pos=None), TypeError,
     "make_ngrams() takes exactly 5 positional arguments (4 given)"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, 2, False, n=1), TypeError,
     "make_ngrams() got an unexpected keyword argument 'n'"),
    (lambda: lm_sequences.make_ngrams(1, "b", None, 2, False), TypeError,
     "Argument 'workspace' has incorrect type (expected str, got int)"),
    (lambda: lm_sequences.make_ngrams("a", b"b", None, 2, False), TypeError,
     "Argument 'corpus_name' has incorrect type (expected str, got bytes)"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, 2.0, False), TypeError,
     "an integer is required"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, "2", False), TypeError,
     "an integer is required"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, 2**31, False), OverflowError,
     "value too large to convert to int"),
    (lambda: lm_sequences.make_ngrams("a", "b", None, 2, np.array([1, 2])), ValueError, None),
])
def test_argument_failures_come_before_the_folder(spy, call, exc, message):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    assert spy.made == []


@pytest.mark.parametrize("pos, exc, message", [
    (5, AttributeError, "'int' object has no attribute 'strip'"),
    (["NN", 5], TypeError, "Expected str, got int"),
    ([type("S", (str,), {})("NN")], TypeError, "Expected str, got S"),
    (b"NN", TypeError, None),
])
def test_pos_failures(indexed, spy, pos, exc, message):
    c = indexed({"a": tokens_of("a b")})
    with pytest.raises(exc) as info:
        lm_sequences.make_ngrams(c.workspace, c.name, pos, 2, False)
    if message is not None:
        assert str(info.value) == message
    assert spy.removed == spy.made != []
    assert both(c, pos, 2, False)[0] == both(c, pos, 2, False)[1]


def test_keywords_numpy_size_and_truth(indexed):
    c = indexed(TEXTS)
    want = lm_sequences.make_ngrams(c.workspace, c.name, "DT NN", 2, True)
    got = lm_sequences.make_ngrams(lowercase=[0], size=np.int16(2), pos="DT NN",
                                   corpus_name=c.name, workspace=c.workspace)
    assert got == want


def test_bad_token_arrays(tmp_path):
    words = {1: "a"}
    cases = [(np.array([1, 2, 3]), IndexError), (np.array([[1.5, 1]]), TypeError)]
    for arr, exc in cases:
        c = raw_corpus(tmp_path, {"t": arr}, words)
        with pytest.raises(exc):
            lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    (tmp_path / "c1/data/npy/t.npy").write_bytes(b"not an array")
    with pytest.raises(ValueError):
        lm_sequences.make_ngrams(c.workspace, c.name, None, 0, False)
    c = raw_corpus(tmp_path, {"t": np.array([[1, 1]], dtype=np.int32)}, words, name="c3")
    assert lm_sequences.make_ngrams(c.workspace, c.name, None, 1, False) == [(1, "a", 1, 1, 100.0)]


def test_listings_and_lookups_go_through_the_module(indexed, monkeypatch):
    c = indexed(TEXTS)
    seen = []
    real = os.listdir
    fake_os = types.SimpleNamespace(listdir=lambda p: seen.append(p) or real(p))
    monkeypatch.setattr(lm_sequences, "os", fake_os)
    lm_sequences.make_ngrams(c.workspace, c.name, None, 2, False)
    assert seen[:2] == [c.npy_path, c.npy_path] and len(seen) == 3
    assert seen[2] != c.npy_path


def test_module_attributes():
    names = [n for n in vars(lm_sequences) if not n.startswith("__") or n == "__test__"]
    assert names == ["os", "np", "pickle", "re", "collections", "tempfile", "shutil", "DTYPE",
                     "make_ngrams", "__test__"]
    assert lm_sequences.DTYPE is int and lm_sequences.__test__ == {}
    assert lm_sequences.np is np and lm_sequences.re is re and lm_sequences.shutil is shutil
    assert type(lm_sequences.make_ngrams).__name__ == "builtin_function_or_method"
    assert lm_sequences.make_ngrams.__doc__ is None


def test_reinitialisation_is_refused():
    code = textwrap.dedent("""
        import sys, importlib
        import lumora.lm_sequences
        del sys.modules["lumora.lm_sequences"]
        try:
            importlib.import_module("lumora.lm_sequences")
        except RuntimeError as e:
            print(e)
    """)
    r = run_python(code)
    assert r.stdout.strip() == ("Module 'lm_sequences' has already been imported. "
                                "Re-initialisation is not supported.")


def test_repeated_calls_do_not_leak(indexed, tmp_path):
    c = indexed(TEXTS)
    bad = make_indexed(tmp_path, TEXTS, name="bad")
    bad.write_dict("words", {**bad.read_dict("words"), bad.word_ids["sat"]: 5})

    def run():
        for size in (1, 2, 5):
            lm_sequences.make_ngrams(c.workspace, c.name, None, size, True)
            lm_sequences.make_ngrams(c.workspace, c.name, "DT NN VB IN DT", size, False)
            with pytest.raises((TypeError, AttributeError)):
                lm_sequences.make_ngrams(bad.workspace, bad.name, None, size, size == 1)
    run()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(30):
        run()
    gc.collect()
    assert sys.getallocatedblocks() - before < 200


def de_bruijn(k, n):
    """A sequence over range(k) in which every n-long sequence occurs once (cyclically)."""
    a, out = [0] * (k * n), []

    def db(t, p):
        if t > n:
            if n % p == 0:
                out.extend(a[1:p + 1])
        else:
            a[t] = a[t - p]
            db(t + 1, p)
            for j in range(a[t - p] + 1, k):
                a[t] = j
                db(t + 1, t)
    db(1, 1)
    return out + out[:n - 1]


@pytest.mark.parametrize("size", [1, 2, 3, 4, 5])
@pytest.mark.parametrize("alphabet", [["a", "", ",", "a,", ",a", "_"],
                                      ["a", "", ",", " ", "a b", ", "]])
def test_filter_on_every_word_sequence(indexed, size, alphabet):
    """Every sequence of `size` words over the alphabet occurs in the text once."""
    text = [(alphabet[i], "NN") for i in de_bruijn(len(alphabet), size)]
    rows = assert_same(indexed({"t": text}), None, size, False)
    assert 0 < len(rows) < len(alphabet) ** size


# Words from several scripts, with digits, underscores, punctuation, runs of spaces, a Greek
# capital sigma and case-ignorable marks (lower() of a joined string is lower() of each word).
CHARS = list("aZ_09.,'-!?") + ["\n", "\t", "é", "ß", "İ", "Σ", "ς", "ΑΣ", "·", "\u0301", "ǅ",
                               "ﬁ", "٣", "²", "½", "中", "\u00a0", "—", "😀"]
SPACES = [" ", "  ", "   "]


@settings(max_examples=200, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.data(), spaces=st.booleans())
def test_generated_corpora_match_plain_rendering(tmp_path_factory, data, spaces):
    """Rows, filter, case merging and ranges against Python's own str and re."""
    word = st.lists(st.sampled_from(CHARS + SPACES if spaces else CHARS), max_size=4).map("".join)
    # An empty word and a punctuation word in every corpus: they decide the filter's edge cases.
    words = list(dict.fromkeys(data.draw(st.lists(word, min_size=1, max_size=10)) + ["", ","]))
    texts = {}
    for t in range(data.draw(st.integers(1, 3))):
        picks = data.draw(st.lists(st.sampled_from(words), max_size=14))
        tags = data.draw(st.lists(st.sampled_from(["NN", "DT", "VB"]), min_size=len(picks),
                                  max_size=len(picks)))
        texts["t%d" % t] = list(zip(picks, tags))
    c = make_indexed(tmp_path_factory.mktemp("g"), texts, extra_words=words, extra_tags=["NN"])
    size = data.draw(st.integers(1, 5))
    pos = data.draw(st.sampled_from([None, "NN", ["DT", "NN"], "NN NN NN NN NN"]))
    assert_same(c, pos, size, data.draw(st.booleans()))
