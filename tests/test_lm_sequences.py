import builtins
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


def _write_calls():
    """The process's write system calls so far (Linux), or None."""
    try:
        with open("/proc/self/io") as f:
            return {k: int(v) for k, v in (line.split(": ") for line in f)}["syscw"]
    except OSError:
        return None


class NoDisk:
    """Watches calls for anything written: the module's tempfile and shutil are stand-ins that
    record any use, open() records its modes, and on Linux the process's write system calls are
    counted (nothing else in the process writes while the call runs)."""

    def __init__(self, monkeypatch):
        self.used, self.modes = [], []
        watcher = self

        class StandIn:
            def __init__(self, name):
                self.name = name

            def __getattr__(self, attr):
                watcher.used.append(self.name + "." + attr)
                return getattr({"tempfile": tempfile, "shutil": shutil}[self.name], attr)

        monkeypatch.setattr(lm_sequences, "tempfile", StandIn("tempfile"))
        monkeypatch.setattr(lm_sequences, "shutil", StandIn("shutil"))
        real_open = builtins.open

        def recording_open(file, mode="r", *args, **kwargs):
            if self.watching:
                self.modes.append(mode)
            return real_open(file, mode, *args, **kwargs)

        monkeypatch.setattr(builtins, "open", recording_open)
        self.writes, self.watching = 0, False

    def __call__(self, fn, *args):
        before = _write_calls()
        self.watching = True
        try:
            return fn(*args)
        finally:
            self.watching = False
            after = _write_calls()
            if before is not None:
                self.writes += after - before
            self.check()

    def check(self):
        assert self.used == []
        assert all(set(m) <= set("rbt") for m in self.modes), self.modes
        assert self.writes == 0


@pytest.fixture
def nodisk(monkeypatch):
    return NoDisk(monkeypatch)


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
def test_short_texts_count_nothing(indexed, nodisk, size):
    texts = {"empty": [], "short": tokens_of("a b c d")[:max(size - 2, 0)],
             "exact": tokens_of("a b c d e")[:size - 1], "long": tokens_of("a b c d e f")}
    c = indexed(texts)
    rows = nodisk(lm_sequences.make_ngrams, c.workspace, c.name, None, size, False)
    assert np.load(c.npy / "empty.npy").shape == (0,)
    assert sum(r[2] for r in rows) == 6 - size + 1
    assert all(r[3] == 1 and r[4] == 25.0 for r in rows)


@pytest.mark.parametrize("lengths", [[300], [300, 0, 0], [0, 0, 300], [0, 300, 1, 0],
                                     [1, 2, 1, 2, 299], [150, 150], [2] * 40 + [200]])
@pytest.mark.parametrize("size", [2, 3, 5])
def test_windows_spread_unevenly_over_texts(indexed, rng, lengths, size):
    """The counting shares texts between its threads by their number of windows: texts with
    none, or one text holding nearly all of them, still count every window once."""
    vocab = [f"w{i}" for i in range(60)] + ["The", "the"]
    c = indexed({f"t{i:02d}": [(rng.choice(vocab), "NN") for _ in range(n)]
                 for i, n in enumerate(lengths)})
    for lowercase in (False, True):
        rows = assert_same(c, None, size, lowercase)
        assert sum(r[2] for r in rows) == sum(max(n - size + 1, 0) for n in lengths)


@pytest.mark.parametrize("size", [0, 6, -1, 2**31 - 1])
def test_size_outside_range(indexed, tmp_path, nodisk, size):
    c = indexed({"e": []})
    for first in (np.array([], dtype=int), np.array([5, 6]), np.zeros((2, 1), dtype=np.int8)):
        np.save(c.npy / "e.npy", first)  # whatever the first token array holds
        with pytest.raises(UnboundLocalError) as info:
            nodisk(lm_sequences.make_ngrams, c.workspace, c.name, "NN", size, False)
        assert str(info.value) == "local variable 'counter' referenced before assignment"
    empty = make_indexed(tmp_path, {}, name="c2")
    assert nodisk(lm_sequences.make_ngrams, empty.workspace, empty.name, "NN", size, True) == []


@pytest.mark.parametrize("pos, size, lowercase", [
    (None, 1, False), (None, 2, True), ("DT NN", 2, False), (["NN"], 1, True), (None, 5, True)])
def test_nothing_touches_the_disk(indexed, nodisk, pos, size, lowercase):
    c = indexed({**TEXTS, "x.npy": tokens_of("b/NN a/NN b/NN a/NN c/NN"),
                 "y.txt": tokens_of("a/DT b/NN")})
    rows = nodisk(lm_sequences.make_ngrams, c.workspace, c.name, pos, size, lowercase)
    assert rows == baseline.make_ngrams(c.workspace, c.name, pos, size, lowercase)
    if (pos, size) == (None, 2):
        assert {r[1]: r[2:4] for r in rows}["a b"] == (2, 2)  # twice in one text, once in another


def test_failures_write_nothing(indexed, nodisk):
    c = indexed({"a": tokens_of("a b c"), "b": tokens_of("b c d")})
    os.remove(c.idx / "words.pickle")  # read only after every text is counted
    with pytest.raises(FileNotFoundError) as info:
        nodisk(lm_sequences.make_ngrams, c.workspace, c.name, None, 2, False)
    assert info.value.filename == c.workspace + c.name + "/data/idx/words.pickle"
    with pytest.raises(TypeError):  # None fails at the first concatenation
        nodisk(lm_sequences.make_ngrams, None, c.name, None, 2, False)
    with pytest.raises(IndexError):  # an empty tag pattern, a full window
        nodisk(lm_sequences.make_ngrams, c.workspace, c.name, [], 2, False)


KEY_INT = st.one_of(st.integers(0, 255), st.integers(256, 65535), st.integers(-2**31, 2**31 - 1),
                    st.integers(-2**63, 2**63 - 1))


@settings(max_examples=80, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(size=st.integers(1, 5), seed=st.integers(0, 2**32),
       length=st.sampled_from([0, 1, 2, 3, 999, 1000, 1001, 2000, 7000]),
       pool=st.lists(KEY_INT, min_size=1, max_size=40, unique=True),
       known=st.floats(0, 1), lowercase=st.booleans())
def test_wide_word_ids_and_missing_words(tmp_path_factory, size, seed, length, pool, known,
                                         lowercase):
    """Ids anywhere in 64 bits, some missing from the word dictionary: the same rows, or the
    same KeyError (the first missing id as the texts meet it)."""
    rnd = random.Random(seed)
    arrays = {}
    for t in range(3):
        column = [rnd.choice(pool) if rnd.random() < 0.3 else rnd.randrange(-2**40, 2**40)
                  for _ in range(length // 3 + size - 1)]
        arr = np.zeros((len(column), 4), dtype=np.int64)
        arr[:, 0] = column
        arrays[f"t{t}"] = arr
    ids = sorted({int(i) for a in arrays.values() for i in a[:, 0]})
    words = {i: rnd.choice(["a", "B", ",", "b"]) for i in ids if rnd.random() < known}
    c = raw_corpus(tmp_path_factory.mktemp("p"), arrays, words)
    native, plain = both(c, None, size, lowercase)
    assert native == plain


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


@pytest.mark.parametrize("size", [2, 3, 5])
@pytest.mark.parametrize("letters", ["abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJKLMN",
                                     "àbçdéfghíjklmñòpqrstúvwxyzÀBÇDÉFGHÍJKLMÑÒPQRSTÚVWX"])
def test_words_of_every_length_join(indexed, size, letters):
    """One-byte words of every length from 0 to 40, each made of distinct characters, joined
    with neighbours of other lengths: no character of a word is lost, doubled or moved."""
    words = [letters[k:k + n] for n, k in zip(range(41), range(0, 41 * 7, 7)) for k in [k % 10]]
    order = words + words[::3] + words[::-2] + words[1::4]
    rows = assert_same(indexed({"t": [(w, "NN") for w in order]}), None, size, False)
    assert {" ".join(order[:size]), " ".join(order[20:20 + size])} <= {r[1] for r in rows}


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
def test_argument_failures(nodisk, call, exc, message):
    with pytest.raises(exc) as info:
        nodisk(call)
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("pos, exc, message", [
    (5, AttributeError, "'int' object has no attribute 'strip'"),
    (["NN", 5], TypeError, "Expected str, got int"),
    ([type("S", (str,), {})("NN")], TypeError, "Expected str, got S"),
    (b"NN", TypeError, None),
])
def test_pos_failures(indexed, nodisk, pos, exc, message):
    c = indexed({"a": tokens_of("a b")})
    with pytest.raises(exc) as info:
        nodisk(lm_sequences.make_ngrams, c.workspace, c.name, pos, 2, False)
    if message is not None:
        assert str(info.value) == message
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
    assert seen == [c.npy_path, c.npy_path]


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


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="page faults as Linux counts them")
@pytest.mark.skipif(os.environ.get("PYTHONMALLOC", "pymalloc") not in ("pymalloc", "pymalloc_debug"),
                    reason="the interpreter's own allocator is not in use")
@pytest.mark.parametrize("keep", [True, False])
def test_freed_arenas_are_kept_for_the_next_objects(indexed, keep):
    """Once a call has run, objects fill the interpreter's arenas that earlier objects freed:
    their pages are touched already, so a second list of as many objects takes few page faults
    (and takes as many as the first when turned off). Rows stay right, also in a forked child."""
    c = indexed(TEXTS)
    code = f"""
        import gc, os, resource
        from lumora import lm_sequences

        call = lambda: lm_sequences.make_ngrams({c.workspace!r}, {c.name!r}, None, 2, True)
        expected = repr(call())

        def faults():
            gc.collect()
            before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
            rows = [(i, str(i), (i,)) for i in range(300_000)]
            taken = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before
            del rows
            assert repr(call()) == expected
            return taken

        first, again = faults(), faults()
        pid = os.fork()
        if pid == 0:
            faults()
            os._exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        print(first, again)
    """
    r = run_python(code, env={"LUMORA_KEEP_ARENAS": None if keep else "0"})
    assert r.returncode == 0, r.stderr
    first, again = map(int, r.stdout.split())
    assert first > 5000
    if keep:
        assert again < first / 4
    else:
        assert again > first / 2


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
        texts[f"t{t}"] = list(zip(picks, tags))
    c = make_indexed(tmp_path_factory.mktemp("g"), texts, extra_words=words, extra_tags=["NN"])
    size = data.draw(st.integers(1, 5))
    pos = data.draw(st.sampled_from([None, "NN", ["DT", "NN"], "NN NN NN NN NN"]))
    assert_same(c, pos, size, data.draw(st.booleans()))


@pytest.mark.parametrize("size", [1, 2, 3])
def test_case_variants_over_many_texts(tmp_path, rng, size):
    """Case variants of one n-gram land in different parts of the counting; each text still
    adds one to the merged n-gram's range, however many variants it holds."""
    vocab = ["the", "The", "THE", "cat", "Cat", "sat", "SAT", "on", "On", ",", "a"]
    texts = {"t%02d" % i: [(rng.choice(vocab), "NN") for _ in range(rng.randrange(0, 60))]
             for i in range(40)}
    c = make_indexed(tmp_path, texts)
    for lowercase in (True, False):
        assert_same(c, None, size, lowercase)


@pytest.mark.parametrize("size", [2, 3])
def test_many_buckets_match_plain_rendering(tmp_path, rng, size):
    """Enough windows for the counting to spread over many buckets and both workers: case
    variants met in many texts still merge into one row with one range."""
    vocab = (["the", "The", "THE", "cat", "Cat", "sat", "SAT", ",", "--", "Σσς", "ΣΣΣ"]
             + [f"w{i}" for i in range(400)] + [f"W{i}" for i in range(400)])
    weights = [1.0 / (r + 1) ** 0.8 for r in range(len(vocab))]
    texts = {f"t{i:02d}": [(w, "NN") for w in rng.choices(vocab, weights,
                                                         k=rng.choice([0, 2, 1500, 3000]))]
             for i in range(30)}
    assert sum(map(len, texts.values())) > 20000
    c = make_indexed(tmp_path, texts)
    for lowercase in (True, False):
        assert_same(c, None, size, lowercase)
