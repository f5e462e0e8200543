"""The engine's n-grams against lm_sequences.make_ngrams: the same rows, values and types, in
the same order, on generated corpora and the shared treebanks; what the engine cannot
reproduce raises Unsupported."""

import os
import types

import numpy as np
import pytest
from conftest import make_indexed, seconds_to_interrupt, sequence_rows, tokens_of

lm_sequences = pytest.importorskip("lumora.lm_sequences")
_ngrams = pytest.importorskip("lumora._ngrams")
from lumora._lexicon import Lexicon, Unsupported  # noqa: E402


def handle(folder):
    """The parts of a corpus object the engine reads."""
    folder = str(folder)
    npy = os.path.join(folder, "data", "npy")
    lex = Lexicon.from_folder(folder)
    return types.SimpleNamespace(
        path=folder, _files=lambda: [os.path.join(npy, n) for n in os.listdir(npy)],
        _lexicon=lambda: lex)


def random_arrays(root, vocabulary, texts, tokens, seed=0):
    """A corpus of a text holding each of `vocabulary` words once, then `texts` token arrays of
    `tokens` words drawn at random."""
    c = make_indexed(root, {"t0": [(f"w{i}", "NN") for i in range(vocabulary)]})
    ids = np.array(sorted(c.word_ids.values()), dtype=np.int64)
    gen = np.random.default_rng(seed)
    for i in range(texts):
        arr = np.zeros((tokens, 4), dtype=np.int64)
        arr[:, 0] = gen.choice(ids, size=tokens)
        np.save(str(c.npy / f"x{i}"), arr)
    return c


def rows_of(columns):
    return sequence_rows(columns, "ngram")


def engine_or_module(c, h, pos, size, lowercase, threads=None):
    """(engine rows or None when unsupported, module rows or the exception type)."""
    try:
        module = lm_sequences.make_ngrams(c.workspace, c.name, pos, size, lowercase)
    except Exception as e:  # noqa: BLE001 - the engine must then refuse
        module = type(e)
    try:
        columns, meta = _ngrams.ngrams(h, size, pos, lowercase, threads=threads)
    except Unsupported:
        return None, module
    assert meta == {"texts": len(h._files())}
    return rows_of(columns), module


VOCAB = ["the", "The", "THE", "cat", "Cat", "sat", ",", ".", "--", "a.", "'s", "", "Σσς", "ΑΣ",
         "中文", "😀", "e.g.", "_", "x1"]


@pytest.mark.parametrize("round_", range(6))
def test_generated_corpora(tmp_path, rng, round_):
    texts = {}
    for i in range(rng.randrange(1, 30)):
        n = rng.choice([0, 1, 2, 3, rng.randrange(0, 200)])
        texts["t%02d" % i] = [(rng.choice(VOCAB), rng.choice(["NN", "DT", "VB"]))
                              for _ in range(n)]
    c = make_indexed(tmp_path, texts, extra_words=["Dog"], extra_tags=["NN", "DT", "VB"])
    h = handle(c.workspace + c.name)
    for size in range(1, 6):
        for lowercase in (False, True):
            for pos in (None, "DT NN", ["NN"], "NN ZZ", "DT NN VB NN DT", "", []):
                threads = rng.choice([1, 2, 3, 7])
                engine, module = engine_or_module(c, h, pos, size, lowercase, threads)
                if engine is None:
                    # The engine refuses only what the module refuses too (a short pattern).
                    assert module is IndexError, (size, lowercase, pos)
                else:
                    assert engine == module, (size, lowercase, pos, threads)
                    if pos is None:
                        assert_ranked(h, size, lowercase, threads, module)


def test_many_buckets_and_workers(tmp_path):
    """A corpus large enough for two- and three-word n-grams to be counted in many buckets, split
    over several workers, with texts of every length between them: the module's rows still."""
    import random

    rng = random.Random(5)
    vocab = VOCAB + [f"w{i}" for i in range(1500)] + [f"W{i}" for i in range(300)]
    weights = [1.0 / (r + 1) for r in range(len(vocab))]
    texts = {}
    for i in range(60):
        n = rng.choice([0, 1, 2, 3] + [rng.randrange(100, 4000)] * 4)
        words = rng.choices(vocab, weights, k=n)
        texts[f"t{i:02d}"] = [(w, rng.choice(["NN", "DT"])) for w in words]
    c = make_indexed(tmp_path, texts, extra_tags=["NN", "DT"])
    h = handle(c.workspace + c.name)
    assert sum(len(v) for v in texts.values()) > 40000  # eight buckets or more
    for size in (2, 3):
        for lowercase in (False, True):
            module = lm_sequences.make_ngrams(c.workspace, c.name, None, size, lowercase)
            for threads in (1, 2, 5):
                engine, _ = engine_or_module(c, h, None, size, lowercase, threads)
                assert engine == module, (size, lowercase, threads)
            assert_ranked(h, size, lowercase, 2, module)
        engine, module = engine_or_module(c, h, "DT NN NN"[:3 * size - 1], size, False, 2)
        assert engine == module


def assert_ranked(h, size, lowercase, threads, rows):
    """ranked=True gives the rows a stable sort by frequency, largest first, would give."""
    ranked = rows_of(_ngrams.ngrams(h, size, None, lowercase, threads=threads, ranked=True)[0])
    by_freq = sorted(rows, key=lambda r: -r[2])
    assert [r[1:] for r in ranked] == [r[1:] for r in by_freq], (size, lowercase, threads)
    assert [r[0] for r in ranked] == list(range(1, len(rows) + 1))


def test_refusals(indexed):
    c = indexed({"a": tokens_of("the cat sat"), "b": [("New York", "NN"), ("x", "NN")]})
    h = handle(c.workspace + c.name)
    with pytest.raises(Unsupported):  # joined, words holding spaces could collide
        _ngrams.ngrams(h, 2)
    assert rows_of(_ngrams.ngrams(h, 1)[0]) == lm_sequences.make_ngrams(
        c.workspace, c.name, None, 1, False)
    for size in (0, 6, 2.0):
        with pytest.raises(Unsupported):
            _ngrams.ngrams(h, size)
    words = c.read_dict("words")
    del words[c.word_ids["sat"]]
    c.write_dict("words", words)
    h = handle(c.workspace + c.name)
    with pytest.raises(Unsupported):  # the module raises KeyError
        _ngrams.ngrams(h, 1)
    np.save(c.npy / "a.npy", np.array([1, 2, 3]))
    with pytest.raises(Unsupported):
        _ngrams.ngrams(handle(c.workspace + c.name), 1)


@pytest.mark.parametrize("treebank", ["en_ewt-ud-dev.conllu", "de_gsd-ud-dev.conllu"])
def test_shared_treebanks(tmp_path, conllu_corpus, treebank):
    from lumora import corpus as prep

    folder = tmp_path / "tb"
    prep.prepare(str(conllu_corpus(treebank)), str(folder),
                 language="en" if treebank.startswith("en") else "de")
    c = types.SimpleNamespace(workspace=str(tmp_path) + os.sep, name="tb")
    h = handle(folder)
    tags = sorted(set(Lexicon.from_folder(folder).tags.tolist()))
    for size in range(1, 6):
        for lowercase in (False, True):
            for pos in (None, " ".join(tags[:1] * size)):
                engine, module = engine_or_module(c, h, pos, size, lowercase)
                assert engine is not None and engine == module, (size, lowercase, pos)


def test_ctrl_c_interrupts_a_large_count(tmp_path):
    setup = f"""
        import os, sys
        import numpy as np
        sys.path.insert(0, {os.path.dirname(__file__)!r})
        from test_engine_ngrams import handle, random_arrays
        from lumora import _ngrams
        c = random_arrays({str(tmp_path)!r}, 2000, 200, 50000)
        h = handle(c.workspace + c.name)
        """
    assert seconds_to_interrupt(setup, '_ngrams.ngrams(h, 3, threads=2)', 0.5) < 5.0


def test_columns_outlive_their_call(tmp_path):
    """The engine's columns view buffers the engine hands over: they stay valid and writable
    after the call, while later calls take and fill large blocks of their own."""
    c = random_arrays(tmp_path, 5000, 20, 20000, seed=1)
    h = handle(c.workspace + c.name)
    columns = _ngrams.ngrams(h, 2)[0]
    assert columns["freq"].nbytes > 2**21  # large enough for blocks that are reused
    kept = {name: columns[name] for name in ("freq", "texts", "rank")}
    offsets, data = columns["ngram"]
    before = {name: a.copy() for name, a in kept.items()}
    before_text = (offsets.copy(), data.copy())
    del columns
    for size in (2, 3, 2):
        _ngrams.ngrams(h, size)
    for name, a in kept.items():
        assert np.array_equal(a, before[name]), name
    assert np.array_equal(offsets, before_text[0]) and np.array_equal(data, before_text[1])
    kept["freq"][0] += 1  # writable, as a NumPy column built by the caller would be


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_a_forked_child_counts(tmp_path):
    """A child forked after large calls (whose freed blocks the engine keeps) counts alike."""
    c = random_arrays(tmp_path, 3000, 10, 30000)
    h = handle(c.workspace + c.name)
    expected = rows_of(_ngrams.ngrams(h, 3, threads=2)[0])
    pid = os.fork()
    if pid == 0:  # the child: exit 0 only when its rows are the parent's
        code = 1
        try:
            import signal
            signal.alarm(60)
            code = 0 if rows_of(_ngrams.ngrams(h, 3, threads=2)[0]) == expected else 1
        finally:
            os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0
