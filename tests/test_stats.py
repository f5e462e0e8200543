"""Dispersion measures and keyness scores: every number against a plain-Python rendering of the
formulas (on generated corpora, by the engine and by the NumPy fallback), hand-worked tables,
and the options of Corpus.words, Corpus.keywords, Dispersion.measures and the command line."""

import math
import os
import pickle
import random
from collections import Counter

import numpy as np
import pytest
from conftest import make_indexed

import lumora
from lumora import stats
from lumora.cli import main

LEXICON = ["the", "The", "THE", "cat", "Cat", "sat", "on", "mat", "dog", "Dogs", "ran", "a",
           "über", "Über", ",", ".", "x-ray", "İstanbul", "ß"]
NAN = float("nan")


def random_texts(rnd, texts):
    out = {}
    for k in range(texts):
        n = rnd.choice([0, 1, 3, rnd.randint(4, 40), rnd.randint(40, 300)])
        # A skewed vocabulary: some words crowd a few texts, others are everywhere.
        words = LEXICON[:rnd.randint(2, len(LEXICON))]
        out[f"t{k:02d}"] = [(rnd.choice(words), "NN") for _ in range(n)]
    return out


# ---------------------------------------------------------------------------------------------
# Plain-Python renderings of the formulas

def py_dispersion(f, t):
    """(freq, range, dp, dp_norm, juilland_d) of one word: f[i] its frequency in text i, t[i]
    the text's tokens; texts without tokens are no parts."""
    pairs = [(fi, ti) for fi, ti in zip(f, t) if ti > 0]
    n = len(pairs)
    freq = sum(fi for fi, _ in pairs)
    rng = sum(1 for fi, _ in pairs if fi > 0)
    if freq == 0:
        return freq, rng, NAN, NAN, NAN
    total = sum(ti for _, ti in pairs)
    dp = 0.5 * sum(abs(fi / freq - ti / total) for fi, ti in pairs)
    if n == 1:
        return freq, rng, dp, NAN, NAN
    dp_norm = dp / (1 - min(ti for _, ti in pairs) / total)
    p = [fi / ti for fi, ti in pairs]
    mean = sum(p) / n
    sd = math.sqrt(sum((x - mean) ** 2 for x in p) / n)
    return freq, rng, dp, dp_norm, 1 - (sd / mean) / math.sqrt(n - 1)


def py_keyness(a, b, c, d):
    n = c + d
    e1, e2 = c * (a + b) / n, d * (a + b) / n
    g = 2 * ((a * math.log(a / e1) if a else 0.0) + (b * math.log(b / e2) if b else 0.0))
    ll = -g if a / c < b / d else g
    denom = (a + b) * (n - a - b) * c * d
    chi2 = n * (a * (d - b) - b * (c - a)) ** 2 / denom if denom else NAN
    log_ratio = math.log2(((a or 0.5) / c) / ((b or 0.5) / d))
    pct = 100 * (a / c - b / d) / (b / d) if b else math.inf
    return {"ll": ll, "chi2": chi2, "log_ratio": log_ratio, "pct_diff": pct,
            "bic": ll - math.log(n), "p": math.erfc(math.sqrt(abs(ll) / 2))}


def close(got, want):
    if math.isnan(want):
        return math.isnan(got)
    return got == pytest.approx(want, rel=1e-9, abs=1e-9)


@pytest.fixture(params=["engine", "numpy"])
def way(request, monkeypatch):
    """Run each test by the native engine and by the NumPy fallback."""
    if request.param == "numpy":
        monkeypatch.setattr(stats, "_engine", lambda: None)
    else:
        pytest.importorskip("lumora._engine")
    return request.param


# ---------------------------------------------------------------------------------------------
# Dispersion

def compact_ids(c):
    """Renumber a corpus's words 1, 2, 3, ... as prepared corpora number them (make_indexed
    spreads them over 31 bits)."""
    words = pickle.loads((c.idx / "words.pickle").read_bytes())
    new = {old: i for i, old in enumerate(sorted(words), 1)}
    (c.idx / "words.pickle").write_bytes(pickle.dumps({new[k]: w for k, w in words.items()}))
    for path in c.npy.iterdir():
        arr = np.load(str(path))
        if arr.size:
            arr[:, 0] = [new[int(i)] for i in arr[:, 0]]
            np.save(str(path), arr)
    return c


@pytest.mark.parametrize("seed", range(8))
@pytest.mark.parametrize("lowercase", [False, True])
@pytest.mark.parametrize("ids", ["wide", "compact"])
def test_word_dispersion_equals_the_formulas(tmp_path, way, seed, lowercase, ids):
    rnd = random.Random(seed)
    texts = random_texts(rnd, rnd.randint(1, 9))
    c = make_indexed(tmp_path, texts, seed=seed)
    corpus = lumora.open((compact_ids(c) if ids == "compact" else c).folder)
    key = str.lower if lowercase else str
    counts = [Counter(key(w) for w, _ in texts[name]) for name in corpus.texts]
    sizes = [len(texts[name]) for name in corpus.texts]
    table = corpus.words(lowercase=lowercase, dispersion=True)
    plain = corpus.words(lowercase=lowercase)
    assert table.columns == ["rank", "word", "freq", "range", "dp", "dp_norm", "juilland_d"]
    assert table.select("rank", "word", "freq").to_list() == plain.to_list()
    assert table.meta["parts"] == sum(1 for s in sizes if s)
    for word, freq, rng, dp, dp_norm, jd in table.select(
            "word", "freq", "range", "dp", "dp_norm", "juilland_d"):
        want = py_dispersion([c[word] for c in counts], sizes)
        assert (freq, rng) == want[:2], word
        assert all(close(g, w) for g, w in zip((dp, dp_norm, jd), want[2:])), word


def test_first_order_keeps_its_rows(tmp_path, way):
    texts = random_texts(random.Random(3), 6)
    corpus = lumora.open(make_indexed(tmp_path, texts).folder)
    table = corpus.words(sort="first", dispersion=True)
    assert table.select("rank", "word", "freq").to_list() == \
        corpus.words(sort="first").to_list()


@pytest.mark.parametrize("f, t, want", [
    # A word spread evenly: dp 0, juilland_d 1.
    ([2, 2, 2, 2], [10, 10, 10, 10], (8, 4, 0.0, 0.0, 1.0)),
    # In one part of n equal parts: dp 1 - 1/n, normalised 1, juilland_d 0.
    ([5, 0, 0, 0], [10, 10, 10, 10], (5, 1, 0.75, 1.0, 0.0)),
    ([1, 0], [3, 3], (1, 1, 0.5, 1.0, 0.0)),
    # Texts without tokens are no parts.
    ([5, 0, 0, 0, 0], [10, 10, 0, 10, 10], (5, 1, 0.75, 1.0, 0.0)),
    # One part: dp 0, the others not defined.
    ([3], [7], (3, 1, 0.0, NAN, NAN)),
    ([0, 3], [0, 7], (3, 1, 0.0, NAN, NAN)),
    # Proportional to the parts' sizes: dp 0 although the sizes differ.
    ([1, 3], [10, 30], (4, 2, 0.0, 0.0, 1.0)),
    # A term that does not occur.
    ([0, 0], [4, 4], (0, 0, NAN, NAN, NAN)),
])
def test_hand_worked_measures(f, t, want):
    row = stats.term_measures("x", f, t).to_list()[0]
    assert row[0] == "x" and row[1:3] == want[:2]
    assert all(close(g, w) for g, w in zip(row[3:], want[2:])), row
    assert all(close(g, w) for g, w in zip(row[3:], py_dispersion(f, t)[2:]))


def test_dispersion_measures_of_a_term(tmp_path):
    pytest.importorskip("lumora.lm_spread")
    texts = {"a": [("cat", "NN")] * 3 + [("dog", "NN")] * 7, "b": [], "c": [("dog", "NN")] * 5,
             "d": [("Cat", "NN"), ("dog", "NN")]}
    corpus = lumora.open(make_indexed(tmp_path, texts).folder)
    disp = corpus.dispersion("cat")
    m = disp.measures
    assert m.columns == ["term", "freq", "range", "dp", "dp_norm", "juilland_d"]
    order = corpus.texts
    f = [{"a": 3, "d": 1}.get(n, 0) for n in order]
    sizes = [len(texts[n]) for n in order]
    row = m.to_list()[0]
    assert row[:3] == ("cat", 4, 2)
    assert all(close(g, w) for g, w in zip(row[3:], py_dispersion(f, sizes)[2:]))
    assert m.meta["texts"] == 3


def test_a_word_id_the_dictionary_lacks_is_an_error_not_a_number(tmp_path, way):
    c = make_indexed(tmp_path, {"a": [("cat", "NN"), ("dog", "NN")]})
    corpus = lumora.open(c.folder)
    table = corpus.words()
    arr = np.load(str(c.npy / "a.npy"))
    arr[0, 0] = 7  # no word has this id
    np.save(str(c.npy / "a.npy"), arr)
    with pytest.raises(ValueError, match="lacks"):
        stats.with_dispersion(corpus, table, False)


# ---------------------------------------------------------------------------------------------
# Keyness

@pytest.mark.parametrize("a, b, c, d", [
    (10, 5, 1000, 2000), (5, 50, 1000, 2000), (0, 7, 500, 800), (9, 0, 500, 800),
    (1, 1, 10, 10), (123456, 654321, 10**7, 4 * 10**7), (3, 1, 3, 100), (1, 0, 1, 5),
])
def test_scores_equal_the_formulas(way, a, b, c, d):
    got = stats.keyness_scores([a], [b], c, d)
    want = py_keyness(a, b, c, d)
    for m in stats.KEYNESS_MEASURES:
        assert close(float(got[m][0]), want[m]), m


def test_hand_worked_scores():
    s = {m: float(v[0]) for m, v in stats.keyness_scores([10], [5], 1000, 2000).items()}
    assert s["ll"] == pytest.approx(10 * math.log(2))  # E1 = 5, E2 = 10
    assert s["chi2"] == pytest.approx(7.5376884)
    assert s["log_ratio"] == pytest.approx(2.0) and s["pct_diff"] == pytest.approx(300.0)
    assert s["bic"] == pytest.approx(10 * math.log(2) - math.log(3000))
    # A word equally frequent in both: no evidence either way.
    even = stats.keyness_scores([4], [8], 1000, 2000)
    assert even["ll"][0] == 0.0 and even["p"][0] == 1.0 and even["log_ratio"][0] == 0.0


def test_bic_sorts_as_ll_does():
    a = np.array([50, 1, 0, 30, 2, 0])
    b = np.array([10, 90, 400, 30, 2, 1])
    s = stats.keyness_scores(a, b, 10_000, 20_000)
    assert list(np.argsort(-s["bic"], kind="stable")) == list(np.argsort(-s["ll"], kind="stable"))
    assert (s["bic"] < s["ll"]).all()


def two_corpora(tmp_path, seed):
    rnd = random.Random(seed)
    study = lumora.open(make_indexed(tmp_path, random_texts(rnd, 4), name="s", seed=seed).folder)
    ref = lumora.open(make_indexed(tmp_path, random_texts(rnd, 5), name="r", seed=seed).folder)
    return study, ref


@pytest.mark.parametrize("seed", range(6))
def test_corpus_against_corpus_equals_the_formulas(tmp_path, way, seed):
    study, ref = two_corpora(tmp_path, seed)
    a = dict(study.words(lowercase=True).select("word", "freq"))
    b = dict(ref.words(lowercase=True).select("word", "freq"))
    c, d = sum(a.values()), sum(b.values())
    table = study.keywords(reference=ref)
    assert table.columns == ["rank", "word", "freq", "ref_freq", "per_million",
                             "ref_per_million", *stats.KEYNESS_MEASURES]
    assert (table.meta["tokens"], table.meta["ref_tokens"]) == (c, d)
    assert sorted(table["word"]) == sorted(set(a) | set(b))  # words only the reference has too
    assert list(table["rank"]) == list(range(1, len(table) + 1))
    for row in table.to_list():
        word, fa, fb = row[1:4]
        assert (fa, fb) == (a.get(word, 0), b.get(word, 0))
        assert close(row[4], fa / c * 1e6) and close(row[5], fb / d * 1e6)
        want = py_keyness(fa, fb, c, d)
        assert all(close(g, want[m]) for g, m in zip(row[6:], stats.KEYNESS_MEASURES)), word
    ll = table["ll"]
    assert (np.diff(ll) <= 0).all()  # sorted by the first measure
    assert (ll[table["freq"] == 0] < 0).all()  # the reference's own words are negative keywords


@pytest.mark.parametrize("seed", range(3))
def test_swapping_the_corpora_negates_ll_and_log_ratio(tmp_path, seed):
    study, ref = two_corpora(tmp_path, seed)
    one = {r[0]: r[1:] for r in study.keywords(ref, measures=("ll", "log_ratio", "chi2"))
           .select("word", "ll", "log_ratio", "chi2")}
    other = {r[0]: r[1:] for r in ref.keywords(study, measures=("ll", "log_ratio", "chi2"))
             .select("word", "ll", "log_ratio", "chi2")}
    assert one.keys() == other.keys()
    for w, (ll, lr, chi2) in one.items():
        assert close(other[w][0], -ll) and close(other[w][1], -lr) and close(other[w][2], chi2)


@pytest.mark.parametrize("lowercase", [True, False])
def test_against_a_reference_list(tmp_path, way, lowercase):
    words = ["the", "The", "cat", "zzqx", "and", "And", "."]
    rnd = random.Random(5)
    texts = {f"t{k}": [(rnd.choice(words), "NN") for _ in range(30)] for k in range(3)}
    corpus = lumora.open(make_indexed(tmp_path, texts).folder)
    path = os.path.join(os.path.dirname(lumora.__file__), "data", "reflist_en.tab")
    ref, d = {}, 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.strip().split("\t")
            if len(fields) >= 2:
                ref[fields[0]] = int(fields[1])
                d += int(fields[1])
    a = dict(corpus.words(lowercase=lowercase).select("word", "freq"))
    c = sum(a.values())
    table = corpus.keywords(reference="en", lowercase=lowercase, measures=["ll", "pct_diff"])
    assert table.meta["ref_tokens"] == d and table.meta["reference"] == "en"
    assert sorted(table["word"]) == sorted(a)  # a reference list adds no rows
    for word, fa, fb, ll, pct in table.select("word", "freq", "ref_freq", "ll", "pct_diff"):
        assert (fa, fb) == (a[word], ref.get(word, 0))
        want = py_keyness(fa, fb, c, d)
        assert close(ll, want["ll"]) and close(pct, want["pct_diff"])
    if not lowercase:
        assert dict(table.select("word", "ref_freq"))["The"] == 0  # the list is lower case
    same = corpus.keywords(language="en", lowercase=lowercase, measures=["ll", "pct_diff"])
    assert same.to_list() == table.to_list()


def test_options(tmp_path):
    study, ref = two_corpora(tmp_path, 1)
    full = study.keywords(ref, sort="first")
    for m in (2, 5):
        kept = study.keywords(ref, min_freq=m, sort="first")
        mask = (full["freq"] >= m) | (full["ref_freq"] >= m)
        assert kept.select("word", "freq", "ref_freq").to_list() == \
            full.filter(mask).select("word", "freq", "ref_freq").to_list()
    by_word = study.keywords(ref, sort="word")
    assert list(by_word["word"]) == sorted(full["word"])
    by_freq = study.keywords(ref, sort="freq")
    keyed = sorted(full.to_list(), key=lambda r: -r[2])  # stable, from the word list's order
    assert [r[1] for r in by_freq.to_list()] == [r[1] for r in keyed]
    by_p = study.keywords(ref, sort="p")
    p = by_p["p"]
    assert (np.diff(p[~np.isnan(p)]) >= 0).all()  # the most significant first
    assert list(by_p["word"][:3]) == list(study.keywords(ref, sort="first").take(
        np.lexsort((full["p"],)))["word"][:3])
    one = study.keywords(ref, measures="log_ratio")
    assert one.columns[-1] == "log_ratio" and "ll" not in one.columns


def test_nan_sorts_last():
    t = lumora.Table({"word": stats.Utf8.from_strings(["a", "b", "c", "d"]),
                      "x": np.array([1.0, NAN, math.inf, -2.0])})
    assert list(t.take(stats._order(t, "x"))["word"]) == ["c", "a", "d", "b"]


@pytest.mark.parametrize("call, error, fragment", [
    (lambda c, r: c.keywords(r, language="en"), TypeError, "not both"),
    (lambda c, r: c.keywords(r, measures=("ll", "mi")), ValueError, "'log_ratio'"),
    (lambda c, r: c.keywords(r, measures=()), ValueError, "at least one"),
    (lambda c, r: c.keywords(r, sort="score"), ValueError, "sort"),
    (lambda c, r: c.keywords(reference="xx"), ValueError, "no reference list"),
    (lambda c, r: c.keywords(reference=3), TypeError, "language code or a lumora.Corpus"),
    (lambda c, r: c.keywords(r, min_freq=-1), ValueError, "min_freq"),
])
def test_mistakes(tmp_path, call, error, fragment):
    study, ref = two_corpora(tmp_path, 2)
    with pytest.raises(error, match=fragment):
        call(study, ref)


# ---------------------------------------------------------------------------------------------
# Command line

@pytest.fixture
def pair(tmp_path):
    study, ref = two_corpora(tmp_path, 4)
    return study, ref


def tsv(out):
    lines = out.rstrip("\n").split("\n")
    return lines[0].split("\t"), [line.split("\t") for line in lines[1:]]


def test_cli_range_dispersion(pair, capsys):
    study, _ = pair
    assert main(["range", study.path, "--dispersion", "--lowercase", "--format", "tsv"]) == 0
    head, rows = tsv(capsys.readouterr().out)
    assert head == ["rank", "word", "freq", "range", "dp", "dp_norm", "juilland_d"]
    want = study.words(lowercase=True, dispersion=True)
    assert [r[1] for r in rows] == list(want["word"])
    assert [float(r[4]) for r in rows] == pytest.approx(list(want["dp"]), nan_ok=True)
    assert main(["range", study.path, "--format", "tsv"]) == 0  # without it: the range list
    assert tsv(capsys.readouterr().out)[0] == ["rank", "word", "texts", "percent"]


def test_cli_keywords_reference(pair, capsys):
    study, ref = pair
    assert main(["keywords", study.path, "--reference", ref.path, "--measure", "ll,log_ratio",
                 "--format", "tsv"]) == 0
    head, rows = tsv(capsys.readouterr().out)
    assert head == ["rank", "word", "freq", "ref_freq", "per_million", "ref_per_million", "ll",
                    "log_ratio"]
    want = study.keywords(ref, measures=("ll", "log_ratio"))
    assert [r[1] for r in rows] == list(want["word"])
    assert [float(r[6]) for r in rows] == pytest.approx(list(want["ll"]))
    assert main(["keywords", study.path, "--reference", "en", "--sort", "freq", "--format",
                 "tsv"]) == 0
    head, rows = tsv(capsys.readouterr().out)
    assert head[-6:] == list(stats.KEYNESS_MEASURES)
    assert [int(r[2]) for r in rows] == sorted((int(r[2]) for r in rows), reverse=True)


@pytest.mark.parametrize("options", [[], ["--measure", "ll"]])
def test_cli_keywords_without_reference_are_as_before(pair, capsys, options):
    pytest.importorskip("lumora.lm_keyness")
    study, _ = pair
    assert main(["keywords", study.path, "--format", "tsv", *options]) == 0
    head, rows = tsv(capsys.readouterr().out)
    assert head == ["rank", "word", "freq", "log-likelihood"]
    assert [r[1] for r in rows] == list(study.keywords()["word"])


@pytest.mark.parametrize("options, fragment", [
    (["--measure", "ll,mi"], "unknown measure 'mi'"),
    (["--reference", "xx"], "neither a corpus folder nor a language"),
    (["--reference", "en", "--language", "en"], "not both"),
])
def test_cli_keyword_mistakes(pair, capsys, options, fragment):
    study, _ = pair
    assert main(["keywords", study.path, *options]) == 2
    err = capsys.readouterr().err
    assert err.startswith("lumora: error: ") and fragment in err
