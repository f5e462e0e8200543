"""The engine's clusters against lm_bundles.make_clusters: the same rows, values and types, in
the same order, on generated corpora and the shared treebanks; what the engine cannot reproduce
raises Unsupported."""

import os
import threading
from pathlib import Path

import numpy as np
import pytest
from conftest import CORPORA, make_indexed, seconds_to_interrupt, sequence_rows, tokens_of
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import lumora
from lumora import _counts, lm_bundles
from lumora._lexicon import Lexicon, Unsupported


class Handle:
    """The parts of a corpus object the engine reads."""

    def __init__(self, c):
        self.workspace, self.name = c.workspace, c.name
        self.path = c.workspace + c.name
        self._lex = Lexicon.from_folder(self.path)

    def _files(self):
        npy = os.path.join(self.path, "data", "npy")
        return [os.path.join(npy, n) for n in os.listdir(npy)]

    def _lexicon(self):
        return self._lex


def rows_of(columns):
    return sequence_rows(columns, "cluster")


def assert_equal(h, word, size, tag, case_sensitive, threads=None):
    want = lm_bundles.make_clusters(h.workspace, h.name, word, tag, case_sensitive, size)
    columns, meta = _counts.clusters(h, word, size, tag, case_sensitive, threads=threads)
    got = rows_of(columns)
    assert got == want, (word, size, tag, case_sensitive, threads)
    assert [type(v) for r in got[:1] for v in r] == [type(v) for r in want[:1] for v in r]
    assert meta == {"texts": len(h._files())}
    return got


# No form holds a space: the engine refuses those (see test_refusals).
VOCAB = ["the", "The", "THE", "cat", "Cat", "sat", ",", ".", "...", "--", "a.", ".a", "'s",
         "don't", "", "_", "x1", "3.5", "café", "Café", "CAFÉ", "İstanbul", "istanbul", "ß",
         "SS", "Σσς", "ΑΣ", "中文", "😀", "x\n", ",\n", "\t"]
TAGS = ["NN", "DT", "VB"]
SEARCHES = ["the", "The", "THE", "cat", ",", "...", "café", "CAFÉ", "istanbul", "ß", "ss",
            "σσς", "x1 the", "  cat  ", "zzz"]


def random_texts(rng, n_texts, longest, vocab=VOCAB):
    return {f"t{i:03}": [(rng.choice(vocab), rng.choice(TAGS))
                         for _ in range(rng.choice([0, 1, 2, 3, rng.randrange(longest + 1)]))]
            for i in range(n_texts)}


@pytest.mark.parametrize("n_texts,longest", [(1, 6), (4, 30), (12, 120), (60, 40)])
def test_generated_corpora(tmp_path, rng, n_texts, longest):
    for k in range(2):
        c = make_indexed(tmp_path / str(k), random_texts(rng, n_texts, longest),
                         seed=rng.randrange(2**32), extra_words=["Dog"], extra_tags=TAGS)
        h = Handle(c)
        for word in rng.sample(SEARCHES, 5):
            for size in (1, 2, 3):
                for case_sensitive in (False, True):
                    for tag in (None, "NN", "DT VB", "ZZ", ""):
                        assert_equal(h, word, size, tag, case_sensitive, rng.choice([1, 2, 3]))


def test_cases_the_module_documents(indexed):
    c = indexed({"a": tokens_of("The cat sat . the Cat , the"),
                 "b": tokens_of("very very good the/DT end"), "c": [], "d": tokens_of("x")})
    h = Handle(c)
    rows = assert_equal(h, "the", 2, None, False)
    assert sorted(r[1] for r in rows) == ["The cat", "good the", "the Cat", "the end"]
    assert {r[4] for r in rows} == {25.0}
    rows = assert_equal(h, "The", 2, None, True)  # the exact form, reported lower-cased
    assert [r[1] for r in rows] == ["the cat"]
    rows = assert_equal(h, "very", 2, None, False)  # neighbouring hits count apart
    assert rows[0][1:3] == ("very very", 2)
    assert [r[1] for r in assert_equal(h, "the", 2, "DT", False)] == ["good the", "the end"]
    assert assert_equal(h, "the", 2, "", False) == []
    assert assert_equal(h, "dog", 2, None, False) == []
    assert assert_equal(h, ".", 1, None, False) == [(1, ".", 1, 1, 25.0)]
    assert assert_equal(h, ".", 2, None, False) == []


# Forms made of word and other characters, no space: the punctuation rule over the forms'
# edges must decide every window as Python's re does over the joined text.
FORM = st.text(alphabet=["a", "_", "é", "5", ".", ",", "'", "\n", "-", "¿"], max_size=3)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(forms=st.lists(FORM, min_size=2, max_size=8, unique=True), data=st.data())
def test_punctuation_rule_over_any_forms(tmp_path_factory, forms, data):
    texts = {f"t{i}": [(w, "NN") for w in data.draw(st.lists(st.sampled_from(forms),
                                                             max_size=30))]
             for i in range(3)}
    c = make_indexed(tmp_path_factory.mktemp("p"), texts, extra_words=forms, extra_tags=["NN"])
    h = Handle(c)
    word = data.draw(st.sampled_from([f for f in forms if f.strip()] or ["a"]))
    for size in (1, 2, 3):
        assert_equal(h, word, size, None, data.draw(st.booleans()))


def test_results_do_not_depend_on_threads(tmp_path, rng, monkeypatch):
    big = [f"w{i}" for i in range(200)] + VOCAB
    h = Handle(make_indexed(tmp_path, random_texts(rng, 80, 400, big)))
    for size in (1, 2, 3):
        for cs in (False, True):
            want = rows_of(_counts.clusters(h, "the", size, None, cs, threads=1)[0])
            assert want
            for t in (2, 3, 8):
                assert rows_of(_counts.clusters(h, "the", size, None, cs, threads=t)[0]) == want
            monkeypatch.setenv("LUMORA_THREADS", "2")
            assert rows_of(_counts.clusters(h, "the", size, None, cs)[0]) == want
            monkeypatch.delenv("LUMORA_THREADS")


def treebank(name):
    """A shared treebank: LUMORA_CORPORA names their folder where the tests' own default does
    not hold them (a worktree beside the shared folder)."""
    for root in (os.environ.get("LUMORA_CORPORA"), CORPORA):
        if root and (Path(root) / name).exists():
            return Path(root) / name
    pytest.skip(f"shared corpus {name} not available")


@pytest.mark.parametrize("name,words", [
    ("en_ewt-ud-dev.conllu", ["the", "The", "I", "of", ",", "said", "'s"]),
    ("de_gsd-ud-dev.conllu", ["die", "Die", "und", "über", "Jahr", "."])])
def test_shared_treebanks(tmp_path, name, words):
    from lumora.corpus import prepare
    info = prepare(str(treebank(name)), str(tmp_path / "tb"))

    class C:
        workspace, name = info.workspace, info.name
    h = Handle(C)
    tags = sorted(set(h._lex.tags.tolist()))
    for word in words:
        for size in (1, 2, 3):
            for cs in (False, True):
                for tag in (None, "NOUN" if "NOUN" in tags else tags[0]):
                    assert_equal(h, word, size, tag, cs)


def test_corpus_clusters_run_on_the_engine(indexed, monkeypatch):
    c = indexed({"a": tokens_of("the cat sat on the mat"), "b": tokens_of("The dog , the end")})
    corpus = lumora.open(c.workspace + c.name)
    calls = []
    real = _counts.clusters
    monkeypatch.setattr(_counts, "clusters", lambda *a, **k: calls.append(1) or real(*a, **k))
    table = corpus.clusters("the", size=2, sort="first")
    assert calls and table.to_list() == lm_bundles.make_clusters(
        c.workspace, c.name, "the", None, False, 2)


@pytest.mark.parametrize("spoil", ["spaced form", "missing id", "1-d array", "three columns",
                                   "no word", "size"])
def test_refusals(indexed, spoil):
    b = [("New York", "NN"), ("the", "NN")] if spoil == "spaced form" else tokens_of("a the")
    c = indexed({"a": tokens_of("the cat sat"), "b": b})
    word, size = "the", 3
    if spoil == "missing id":
        d = c.read_dict("words")
        del d[c.word_ids["sat"]]
        c.write_dict("words", d)
    elif spoil == "1-d array":
        np.save(str(c.npy / "b.npy"), np.array([1, 2, 3]))
    elif spoil == "three columns":
        np.save(str(c.npy / "b.npy"), np.ones((2, 3), dtype=np.int64))
    elif spoil == "no word":
        word = "   "
    elif spoil == "size":
        size = 4
    h = Handle(c)
    if spoil == "spaced form":
        # A counted form with a space: joined texts could then meet.
        assert_equal(h, "cat", 2, None, False)  # "New York" is in no window of "cat"
        size = 2
    with pytest.raises(Unsupported):
        _counts.clusters(h, word, size)


@pytest.mark.parametrize("layout", ["fortran", "int32", "big-endian"])
def test_token_arrays_as_numpy_writes_them(indexed, layout):
    c = indexed({"a": tokens_of("the cat sat on the mat"), "b": tokens_of("The dog , the end")})
    arr = np.load(str(c.npy / "a.npy"))
    if layout == "fortran":
        arr = np.asfortranarray(arr)
    else:
        arr = arr.astype(np.int32 if layout == "int32" else ">i8")
    np.save(str(c.npy / "a.npy"), arr)
    h = Handle(c)
    try:
        got = rows_of(_counts.clusters(h, "the", 2)[0])
    except Unsupported:  # read by NumPy in the module only
        assert layout != "fortran"
    else:
        assert got == lm_bundles.make_clusters(c.workspace, c.name, "the", None, False, 2)


def test_other_threads_run_during_a_count(tmp_path, rng):
    c = make_indexed(tmp_path, {f"t{i}": [(rng.choice(["the", "a", "cat", "dog"]), "NN")
                                          for _ in range(20000)] for i in range(40)})
    h = Handle(c)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.001)

    t = threading.Thread(target=tick)
    t.start()
    try:
        before = len(ticks)
        for _ in range(5):
            _counts.clusters(h, "the", 3, threads=1)
        during = len(ticks) - before
    finally:
        stop.set()
        t.join()
    assert during > 0


def test_ctrl_c_interrupts_a_large_count(tmp_path):
    setup = f"""
        import os, sys
        import numpy as np
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_engine_clusters import Handle
        from conftest import make_indexed
        from lumora import _counts
        rng = np.random.default_rng(0)
        c = make_indexed({str(tmp_path)!r}, {{"t0": [("a", "NN"), ("b", "NN")]}})
        a, b = c.word_ids["a"], c.word_ids["b"]
        for i in range(400):
            ids = rng.integers(1, 2**31, size=(50000, 4))
            ids[:, 0] = rng.choice([a, b], size=50000)
            np.save(str(c.npy / f"x{{i}}"), ids)
        h = Handle(c)
        """
    assert seconds_to_interrupt(setup, '_counts.clusters(h, "a", 3, threads=1)', 0.3) < 5.0
