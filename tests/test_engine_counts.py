"""The engine's word lists, word+tag lists and ranges equal their modules' rows exactly."""

import os
import threading

import numpy as np
import pytest

from conftest import make_indexed, seconds_to_interrupt

from lumora import _counts, lm_docfreq, lm_tagfreq, lm_vocab
from lumora._lexicon import Lexicon, Unsupported


class StandIn:
    """The attributes of a corpus that the engine reads."""

    def __init__(self, c):
        self._workspace, self._name = c.workspace, c.name
        self.path = os.path.abspath(c.workspace + c.name)
        self._lex = None

    def _files(self):
        npy = os.path.join(self.path, "data", "npy")
        return [os.path.join(npy, n) for n in os.listdir(npy)]

    def _lexicon(self):
        if self._lex is None:
            self._lex = Lexicon(self)
        return self._lex


def rows(columns):
    cols = []
    for c in columns.values():
        if isinstance(c, tuple):
            off, data = c
            raw, off = data.tobytes(), off.tolist()
            cols.append([raw[a:b].decode("utf-8") for a, b in zip(off, off[1:])])
        else:
            cols.append(c.tolist())
    return list(zip(*cols))


def assert_all_equal(c, threads=None):
    s = StandIn(c)
    for lc in (False, True):
        cols, meta = _counts.words(s, lc, threads=threads)
        tokens, types, ttr, hapax, wl = lm_vocab.make_wordlist(c.workspace, c.name, "en", lc)
        assert rows(cols) == wl
        assert [type(v) for r in rows(cols)[:1] for v in r] == [type(v) for r in wl[:1] for v in r]
        assert (meta["tokens"], meta["types"], meta["type_token"], meta["hapax"]) == \
            (tokens, types, ttr, hapax)
        cols, _ = _counts.wordtags(s, lc, threads=threads)
        assert rows(cols) == lm_tagfreq.make_wtfreq(c.workspace, c.name, "en", lc)
        cols, _ = _counts.ranges(s, lc, threads=threads)
        assert rows(cols) == lm_docfreq.make_wfreqinfiles(c.workspace, c.name, "en", lc)


VOCAB = ["the", "The", "THE", "cat", "Cat", "CAT", ",", ".", "...", "--", "café", "Café",
         "don't", "_", "3.5", "İstanbul", "istanbul", "ß", "SS", "ss", "ﬁnal", "Σ", "σ", "ς",
         "a b", "", " ", "x\n", ",\n"]
TAGS = ["DT", "NN", "PUNCT", "VB"]


def random_texts(rng, n_texts, longest, vocab=VOCAB):
    texts = {}
    for i in range(n_texts):
        n = rng.choice([0, 1, 2, rng.randrange(longest + 1)])
        texts[f"t{i:03}.txt"] = [(rng.choice(vocab), rng.choice(TAGS)) for _ in range(n)]
    return texts


@pytest.mark.parametrize("n_texts,longest", [(1, 5), (5, 40), (40, 200), (300, 30)])
def test_generated_corpora_equal_the_modules(tmp_path, rng, n_texts, longest):
    for k in range(3):
        c = make_indexed(tmp_path / str(k), random_texts(rng, n_texts, longest),
                         seed=rng.randrange(2**32))
        assert_all_equal(c, threads=rng.choice([1, 2, 3]))


def test_empty_corpus_and_empty_texts(tmp_path):
    c = make_indexed(tmp_path / "a", {})
    assert_all_equal(c)
    c = make_indexed(tmp_path / "b", {"x": [], "y": []}, extra_words=["w"], extra_tags=["T"])
    assert_all_equal(c)
    cols, meta = _counts.ranges(StandIn(c))
    assert meta["texts"] == 2 and len(cols["rank"]) == 0


def test_results_do_not_depend_on_threads(tmp_path, rng, monkeypatch):
    big = [f"w{i}" for i in range(300)] + VOCAB
    c = make_indexed(tmp_path, random_texts(rng, 60, 400, big))
    s = StandIn(c)
    for fn in (_counts.words, _counts.wordtags, _counts.ranges):
        for lc in (False, True):
            want = rows(fn(s, lc, threads=1)[0])
            for t in (2, 3, 8):
                assert rows(fn(s, lc, threads=t)[0]) == want
            monkeypatch.setenv("LUMORA_THREADS", "2")
            assert rows(fn(s, lc)[0]) == want


@pytest.mark.parametrize("name", ["en_ewt-ud-dev.conllu", "de_gsd-ud-dev.conllu"])
def test_treebanks_equal_the_modules(tmp_path, conllu_corpus, name):
    from lumora.corpus import prepare
    info = prepare(conllu_corpus(name), str(tmp_path / "tb"))

    class C:
        workspace, name = info.workspace, info.name
    assert_all_equal(C)


@pytest.mark.parametrize("spoil", ["missing id", "non-str value", "1-d array", "big-endian array"])
def test_what_cannot_be_reproduced_is_unsupported(tmp_path, spoil):
    c = make_indexed(tmp_path, {"a": [("x", "NN"), ("y", "NN")], "b": [("x", "VB")]})
    if spoil == "missing id":
        d = c.read_dict("words")
        d.pop(c.word_ids["y"])
        c.write_dict("words", d)
    elif spoil == "non-str value":
        d = c.read_dict("words")
        d[c.word_ids["y"]] = b"y"
        c.write_dict("words", d)
    elif spoil == "1-d array":
        np.save(str(c.npy / "b"), np.array([1, 2, 3]))
    else:
        np.save(str(c.npy / "b"), np.array([[c.word_ids["x"], 1]], dtype=">i8"))
    for fn in (_counts.words, _counts.wordtags, _counts.ranges):
        with pytest.raises(Unsupported):
            fn(StandIn(c), False)


def test_other_threads_run_during_a_count(tmp_path, rng):
    c = make_indexed(tmp_path, {f"t{i}": [(f"w{rng.randrange(5000)}", "NN")
                                          for _ in range(20000)] for i in range(40)})
    s = StandIn(c)
    s._lexicon()
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
            _counts.ranges(s, True, threads=1)
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
        from test_engine_counts import StandIn
        from conftest import make_indexed
        from lumora import _counts
        rng = np.random.default_rng(0)
        c = make_indexed({str(tmp_path)!r}, {{"t0": [("a", "NN")]}})
        for i in range(400):
            ids = rng.integers(1, 2**31, size=(50000, 4))
            ids[:, 0] = next(iter(c.word_ids.values()))
            np.save(str(c.npy / f"x{{i}}"), ids)
        s = StandIn(c)
        """
    assert seconds_to_interrupt(setup, '_counts.words(s, False, threads=1)', 0.3) < 5.0
