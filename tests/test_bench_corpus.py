"""The benchmark corpus generator and the plain-Python index builder (bench/)."""

import os
import pickle
from pathlib import Path

import numpy as np
import pytest

from bench import corpus, run
from bench.baseline_build import make_indexes
from bench.case import Case, Params

TOKENS, TEXTS, SEED = 6_000, 9, 7
INT32 = (-(2**31), 2**31 - 1)


def _load(path):
    with open(path, "rb") as f:
        return pickle.load(f)


def _token_lines(c):
    """{file name: [fields of each line]} of a prepared corpus."""
    out = {}
    for name in os.listdir(c.tmp1_folder):
        with open(c.tmp1_folder + name, encoding="utf-8", newline="") as f:
            out[name] = [line.split("\t") for line in f.read().split("\n")[:-1]]
    return out


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    return corpus.generate(str(tmp_path_factory.mktemp("ws")) + os.sep, "c1", TOKENS, TEXTS, SEED)


def test_layout(tiny):
    assert sorted(os.listdir(tiny.path + "/data")) == ["idx", "npy", "tmp1"]
    assert sorted(os.listdir(tiny.path + "/data/idx")) == [
        "tags.pickle", "words.pickle", "wordslc.pickle"]
    assert os.listdir(tiny.npy_folder) == []
    assert len(os.listdir(tiny.tmp1_folder)) == TEXTS


@pytest.mark.parametrize("ids", ["dense", "wide"])
def test_ids_distinct_nonzero_32bit(tmp_path, ids):
    c = corpus.generate(str(tmp_path) + os.sep, "c", 4_000, 3, SEED, ids=ids)
    for name in ("words", "tags"):
        d = _load(f"{c.path}/data/idx/{name}.pickle")
        assert type(d) is dict
        assert all(type(k) is str and type(v) is int for k, v in d.items())
        values = list(d.values())
        assert len(set(values)) == len(values)
        assert 0 not in values
        assert all(INT32[0] <= v <= INT32[1] for v in values)
        if ids == "dense":
            assert sorted(values) == list(range(1, len(values) + 1))
            assert values != sorted(values)
    if ids == "wide":
        words = _load(c.path + "/data/idx/words.pickle").values()
        assert min(words) < 0 < max(words) and max(map(abs, words)) > 2**24


def test_token_files_match_dictionaries(tiny):
    words = _load(tiny.path + "/data/idx/words.pickle")
    tags = _load(tiny.path + "/data/idx/tags.pickle")
    lines = _token_lines(tiny)
    assert sum(map(len, lines.values())) == TOKENS
    assert all(lines.values()), "every text has at least one token"
    seen_words, seen_tags = set(), set()
    for rows in lines.values():
        previous = (0, 0)
        for word, tag, sentence, position in rows:
            seen_words.add(word)
            seen_tags.add(tag)
            assert word == word.strip() and word and tag
            s, p = int(sentence), int(position)
            # Numbering: sentences count up from 1 per text, positions from 1 per sentence.
            assert (s, p) in ((previous[0], previous[1] + 1), (previous[0] + 1, 1))
            previous = (s, p)
    assert seen_words == set(words) and seen_tags == set(tags)


def test_wordslc_groups_case_variants(tiny):
    words = _load(tiny.path + "/data/idx/words.pickle")
    wordslc = _load(tiny.path + "/data/idx/wordslc.pickle")
    assert type(wordslc) is dict
    assert sorted(i for ids in wordslc.values() for i in ids) == sorted(words.values())
    for key, ids in wordslc.items():
        assert type(ids) is list
        assert set(ids) == {i for w, i in words.items() if w.lower() == key}


def test_looks_like_running_text(tmp_path):
    c = corpus.generate(str(tmp_path) + os.sep, "c", 40_000, 20, SEED)
    words = _load(c.path + "/data/idx/words.pickle")
    tags = _load(c.path + "/data/idx/tags.pickle")
    assert {"the", "The", ",", ".", "--", "..."} <= set(words)
    assert any(w.isupper() and len(w) > 1 and w.isalpha() for w in words)
    assert any(any(ch.isdigit() for ch in w) for w in words)
    assert any("'" in w and len(w) > 1 for w in words)
    assert 8 <= len(tags) <= 15
    assert len(words) > 5_000
    lengths = [len(rows) for rows in _token_lines(c).values()]
    assert max(lengths) > 5 * min(lengths)


def test_same_seed_same_files(tmp_path):
    made = [corpus.generate(str(tmp_path) + os.sep, name, 3_000, 4, seed)
            for name, seed in (("a", 1), ("b", 1), ("c", 2))]

    def contents(c):
        root = Path(c.path)
        return {str(p.relative_to(root)): p.read_bytes() for p in root.rglob("*") if p.is_file()}

    assert contents(made[0]) == contents(made[1])
    assert contents(made[0]) != contents(made[2])


@pytest.mark.parametrize("tokens,texts", [(1, 1), (10, 10), (1_000, 7), (123_457, 400)])
def test_text_lengths_sum_exactly(tokens, texts):
    lengths = corpus.text_lengths(tokens, texts, SEED)
    assert len(lengths) == texts and lengths.min() >= 1 and lengths.sum() == tokens


@pytest.mark.parametrize("tokens,texts", [(5, 6), (0, 1), (10, 0)])
def test_impossible_sizes_raise(tokens, texts):
    with pytest.raises(ValueError):
        corpus.text_lengths(tokens, texts, SEED)


def test_baseline_build_of_generated_corpus(tmp_path):
    c = corpus.generate(str(tmp_path) + os.sep, "c", 5_000, 6, SEED, ids="wide")
    words = _load(c.path + "/data/idx/words.pickle")
    tags = _load(c.path + "/data/idx/tags.pickle")
    wordslc = _load(c.path + "/data/idx/wordslc.pickle")
    assert make_indexes(c.workspace, c.corpus_name, "english") is None
    for name, rows in _token_lines(c).items():
        arr = np.load(c.npy_folder + name + ".npy")
        assert arr.dtype == np.dtype(int) and arr.shape == (len(rows), 4)
        expected = [[words[w], tags[t], int(s), int(p)] for w, t, s, p in rows]
        assert arr.tolist() == expected
    assert len(os.listdir(c.npy_folder)) == 6
    # Inverted in the same order; the lower-case dictionary is the caller's and stays.
    for name, before in (("words", words), ("tags", tags)):
        after = _load(f"{c.path}/data/idx/{name}.pickle")
        assert list(after.items()) == [(v, k) for k, v in before.items()]
    assert _load(c.path + "/data/idx/wordslc.pickle") == wordslc
    with pytest.raises(KeyError):
        make_indexes(c.workspace, c.corpus_name, "english")


def _hand_made(tmp_path, token_text, words=None, tags=None):
    root = str(tmp_path) + "/c"
    for sub in ("idx", "npy", "tmp1"):
        os.makedirs(root + "/data/" + sub)
    with open(root + "/data/tmp1/a.txt", "w", encoding="utf-8", newline="") as f:
        f.write(token_text)
    for name, d in (("words", words or {"dog": 5, "cat": 9}), ("tags", tags or {"NN": 2})):
        with open(f"{root}/data/idx/{name}.pickle", "wb") as f:
            pickle.dump(d, f)
    return str(tmp_path) + os.sep, root


@pytest.mark.parametrize("text,expected", [
    ("  dog\tNN\t3\t7  \r\n\n \t \ncat\tNN\t-1\t 4\textra\r", [[5, 2, 3, 7], [9, 2, -1, 4]]),
    ("\n  \n\t\n", None),
])
def test_baseline_build_lines(tmp_path, text, expected):
    ws, root = _hand_made(tmp_path, text)
    make_indexes(ws, "c", None)
    arr = np.load(root + "/data/npy/a.txt.npy")
    if expected is None:
        assert arr.shape == (0,)
    else:
        assert arr.tolist() == expected


@pytest.mark.parametrize("words,tags,exc,message", [
    ({"dog": 5.0}, None, TypeError, "an integer is required"),
    (None, {"NN": 2**31}, OverflowError, None),
    (None, {"NN": 2, 7: 3}, TypeError, "Expected str, got int"),
])
def test_baseline_inversion_failure_leaves_both_files(tmp_path, words, tags, exc, message):
    ws, root = _hand_made(tmp_path, "dog\tNN\t1\t1\n", words, tags)
    before = {n: Path(root, "data/idx", n).read_bytes() for n in ("words.pickle", "tags.pickle")}
    with pytest.raises(exc) as info:
        make_indexes(ws, "c", "english")
    if message is not None:
        assert str(info.value) == message
    assert {n: Path(root, "data/idx", n).read_bytes() for n in before} == before
    assert sorted(os.listdir(root + "/data/idx")) == ["tags.pickle", "words.pickle"]


def test_baseline_true_id_becomes_int(tmp_path):
    ws, root = _hand_made(tmp_path, "dog\tNN\t1\t1\n", {"dog": True})
    make_indexes(ws, "c", "english")
    inverted = _load(root + "/data/idx/words.pickle")
    assert inverted == {1: "dog"} and type(next(iter(inverted))) is int


def test_indexed_copy_is_cached_and_checked(tmp_path):
    c = corpus.indexed_copy(3_000, 5, SEED, builder="baseline", root=tmp_path)
    assert len(os.listdir(c.npy_folder)) == 5
    assert all(type(k) is int for k in _load(c.path + "/data/idx/words.pickle"))
    stamp = os.stat(c.npy_folder).st_mtime_ns
    assert corpus.indexed_copy(3_000, 5, SEED, builder="baseline", root=tmp_path) == c
    assert os.stat(c.npy_folder).st_mtime_ns == stamp

    fresh = corpus.fresh_prepared(3_000, 5, SEED, root=tmp_path)
    master = corpus.prepared(3_000, 5, SEED, root=tmp_path)
    pristine = _load(master.path + "/data/idx/words.pickle")
    assert _load(fresh.path + "/data/idx/words.pickle") == pristine
    make_indexes(fresh.workspace, fresh.corpus_name, "english")
    assert corpus.compare_indexed(fresh.path, c.path) == []
    name = os.listdir(fresh.npy_folder)[0]
    arr = np.load(fresh.npy_folder + name)
    arr[-1, 0] += 1
    np.save(fresh.npy_folder + name, arr)
    assert corpus.compare_indexed(fresh.path, c.path) == [
        "%s: {0}%s vs {0}%s".format(np.dtype(int)) % (name, arr.shape, arr.shape)]
    corpus.discard(fresh, root=tmp_path)
    assert not os.path.exists(fresh.workspace)
    with pytest.raises(ValueError):
        corpus.discard(master, root=tmp_path)


@pytest.mark.parametrize("faulty", [False, True])
def test_indexed_copy_checks_each_native_build_once(tmp_path, monkeypatch, faulty):
    def native_make_indexes(workspace, corpus_name, language):
        make_indexes(workspace, corpus_name, language)
        if faulty:
            path = workspace + corpus_name + "/data/npy/" + os.listdir(c0.tmp1_folder)[0] + ".npy"
            np.save(path, np.load(path)[:-1])

    so = tmp_path / "lm_build.so"
    so.write_bytes(b"1")
    fake = type("Module", (), {"make_indexes": staticmethod(native_make_indexes),
                               "__file__": str(so)})
    monkeypatch.setattr(corpus, "native_builder", lambda: (fake, None))
    checks = []
    compare = corpus.compare_indexed
    monkeypatch.setattr(corpus, "compare_indexed", lambda a, b: checks.append(a) or compare(a, b))
    c0 = corpus.prepared(3_000, 4, SEED, root=tmp_path)
    if faulty:
        with pytest.raises(RuntimeError, match="lumora.lm_build and the baseline build differ"):
            corpus.indexed_copy(3_000, 4, SEED, root=tmp_path)
    else:
        corpus.indexed_copy(3_000, 4, SEED, root=tmp_path)
        corpus.indexed_copy(3_000, 4, SEED, root=tmp_path)
        assert len(checks) == 1
        os.utime(so, ns=(1, 1))  # a new build of the module is checked again
        corpus.indexed_copy(3_000, 4, SEED, root=tmp_path)
        assert len(checks) == 2
    # Whatever the native build did, the cached copy is the baseline's output.
    c = corpus.indexed_copy(3_000, 4, SEED, builder="baseline", root=tmp_path)
    reference = corpus.fresh_prepared(3_000, 4, SEED, root=tmp_path)
    make_indexes(reference.workspace, reference.corpus_name, "english")
    assert compare(reference.path, c.path) == []


def test_worker_reports_missing_native_as_skipped(monkeypatch):
    suite = type("Suite", (), {"CASES": [Case(
        "sum", native=lambda ctx: None, baseline=lambda ctx: sum(range(ctx)),
        setup=lambda params: params.tokens, requires="lumora.lm_not_built_yet")]})
    monkeypatch.setattr(run, "load_suite", lambda name: suite)
    spec = {"suite": "x", "case": "sum", "params": Params(1_000, 1, repeat=2).__dict__}
    native = run._worker(dict(spec, side="native"))
    assert native["status"] == "skipped" and "lumora.lm_not_built_yet" in native["reason"]
    baseline = run._worker(dict(spec, side="baseline"))
    assert baseline["status"] == "ok" and len(baseline["times"]) == 2
