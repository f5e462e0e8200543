"""Queries, concordance lines and collocates against a plain Python reference on generated
corpora: every query construct, text and sentence edges, sort levels, counts and measures."""

import math
import re

import numpy as np
import pytest

import lumora
from lumora import _concord
from lumora.query import QueryError

WORDS = ["the", "The", "dog", "Dog", "cat", "big", "old", "ran", ".", "a", "dogs"]
TAGS = ["DT", "NOUN", "ADJ", "VERB", "PUNCT"]


def random_texts(rng, texts=6, most=40):
    out = {}
    for k in range(texts):
        n = rng.randint(0, most)
        toks, sent = [], 1
        for i in range(n):
            if rng.random() < 0.15:
                sent += 1
            toks.append((rng.choice(WORDS), rng.choice(TAGS), sent, i))
        out[f"t{k}.txt"] = toks
    return out


@pytest.fixture
def generated(indexed, rng):
    texts = random_texts(rng)
    c = indexed(texts)
    corpus = lumora.open(c.folder)
    # The reference reads the texts in the corpus's own listing order.
    by_name = {name + ".npy": texts[name] for name in texts}
    return corpus, [by_name[n] for n in corpus._listing()]


# -- a plain Python reference -----------------------------------------------------------------

def cond_ok(cond, tok):
    """Reference conditions as Python functions of (word, tag)."""
    return cond(tok[0], tok[1])


def ref_hits(texts, tokens, within="text"):
    """tokens: list of (predicate, low, high). Longest match (>= 1 token) at each start."""
    out = []
    for ti, toks in enumerate(texts):
        segs = segments(toks, within)
        for b, e in segs:
            for p in range(b, e):
                best = 0
                states = {(0, 0)}  # (condition index, repetitions of it so far)
                for i in range(p, e + 1):
                    closure = set(states)
                    stack = list(states)
                    while stack:
                        k, r = stack.pop()
                        if k < len(tokens) and r >= tokens[k][1] and (k + 1, 0) not in closure:
                            closure.add((k + 1, 0))
                            stack.append((k + 1, 0))
                    if (len(tokens), 0) in closure and i > p:
                        best = i - p
                    if i == e:
                        break
                    states = {(k, r + 1) for k, r in closure
                              if k < len(tokens) and r < tokens[k][2]
                              and cond_ok(tokens[k][0], toks[i])}
                    if not states:
                        break
                if best:
                    out.append((ti, p, best, b, e))
    return out


def segments(toks, within):
    if not toks:
        return []
    if within == "text":
        return [(0, len(toks))]
    out, b = [], 0
    for i in range(1, len(toks)):
        if toks[i][2] != toks[i - 1][2]:
            out.append((b, i))
            b = i
    out.append((b, len(toks)))
    return out


QUERIES = [
    ("dog", {}, [(lambda w, t: w.lower() == "dog", 1, 1)]),
    ("dog", {"case_sensitive": True}, [(lambda w, t: w == "dog", 1, 1)]),
    ("the dog", {"tags": "DT NOUN"},
     [(lambda w, t: w.lower() == "the" and t == "DT", 1, 1),
      (lambda w, t: w.lower() == "dog" and t == "NOUN", 1, 1)]),
    ("dogs? the", {"regexp": True},
     [(lambda w, t: re.fullmatch("dogs?", w.lower()), 1, 1),
      (lambda w, t: w.lower() == "the", 1, 1)]),
    ('[word="dogs?"]', {}, [(lambda w, t: re.fullmatch("dogs?", w), 1, 1)]),
    ('[word="the"%c] [tag!="NOUN"]', {},
     [(lambda w, t: w.lower() == "the", 1, 1), (lambda w, t: t != "NOUN", 1, 1)]),
    ('[tag="ADJ"]+ [tag="NOUN"]', {},
     [(lambda w, t: t == "ADJ", 1, 10), (lambda w, t: t == "NOUN", 1, 1)]),
    ('[lower="the"] []* [word="ran"]', {},
     [(lambda w, t: w.lower() == "the", 1, 1), (lambda w, t: True, 0, 10),
      (lambda w, t: w == "ran", 1, 1)]),
    ('[tag="DT"]? [(tag="NOUN" | tag="ADJ") & !word="cat"]{2,3}', {},
     [(lambda w, t: t == "DT", 0, 1),
      (lambda w, t: t in ("NOUN", "ADJ") and w != "cat", 2, 3)]),
    ('[]{2}', {}, [(lambda w, t: True, 2, 2)]),
    ('[word="big" | word="old"]* [lower="dogs?"]', {},
     [(lambda w, t: w in ("big", "old"), 0, 10),
      (lambda w, t: re.fullmatch("dogs?", w.lower()), 1, 1)]),
]


@pytest.mark.parametrize("within", ["text", "sentence"])
@pytest.mark.parametrize("query,kw,tokens", QUERIES, ids=[q[0] + str(q[1]) for q in QUERIES])
def test_hits_and_lines_equal_reference(generated, query, kw, tokens, within):
    corpus, texts = generated
    expected = ref_hits(texts, tokens, within)
    text, start, length = _concord.hits(corpus, query, within=within, **kw)
    assert list(zip(text.tolist(), start.tolist(), length.tolist())) == \
        [h[:3] for h in expected]
    table = corpus.kwic(query, width=3, within=within, **kw)
    names = corpus.texts
    rows = []
    for ti, p, n, b, e in expected:
        toks = [w for w, *_ in texts[ti]]
        rows.append((names[ti], p, " ".join(toks[max(b, p - 3):p]), " ".join(toks[p:p + n]),
                     " ".join(toks[p + n:min(e, p + n + 3)])))
    assert list(table) == rows


def test_kwic_sort_levels_are_stable_and_missing_first(generated):
    corpus, texts = generated
    lines = list(corpus.kwic("the"))
    names = corpus.texts

    def token(row, side, k):
        toks = [w for w, *_ in texts[names.index(row[0])]]
        at = row[1] - k if side == "L" else row[1] + k
        return toks[at].lower() if 0 <= at < len(toks) else None

    for sort in ("R1", "L1 R1 R2", "L2", "node"):
        levels = [] if sort == "node" else [(s[0], int(s[1:])) for s in sort.split()]
        key = (lambda r: [r[3].lower()]) if sort == "node" else (
            lambda r: [(token(r, s, k) is not None, token(r, s, k) or "") for s, k in levels])
        assert list(corpus.kwic("the", sort=sort)) == sorted(lines, key=key)


def test_kwic_limit_keeps_the_first_hits(generated):
    corpus, _ = generated
    every = list(corpus.kwic("[]"))
    assert list(corpus.kwic("[]", limit=7)) == every[:7]


# -- collocates --------------------------------------------------------------------------------

def ref_measures(o11, c1, r1, n, hits):
    e11 = r1 * c1 / n
    o12, o21, o22 = r1 - o11, c1 - o11, n - r1 - c1 + o11
    e12, e21, e22 = r1 * (n - c1) / n, (n - r1) * c1 / n, (n - r1) * (n - c1) / n
    ll = 2 * sum(o * math.log(o / e) for o, e in ((o11, e11), (o12, e12), (o21, e21),
                                                 (o22, e22)) if o > 0)
    dice = 2 * o11 / (hits + c1)
    return {
        "mi": math.log2(o11 / e11), "mi3": math.log2(o11 ** 3 / e11),
        "t": (o11 - e11) / math.sqrt(o11), "z": (o11 - e11) / math.sqrt(e11),
        "ll": -ll if o11 < e11 else ll, "dice": dice, "logdice": 14 + math.log2(dice),
        "logratio": math.log2((o11 / r1) / ((o21 if o21 > 0 else 0.5) / (n - r1))),
        "deltap": o11 / r1 - o21 / (n - r1),
    }


@pytest.mark.parametrize("lowercase", [False, True])
@pytest.mark.parametrize("within,span", [("text", (4, 4)), ("sentence", (2, 3)),
                                         ("text", (0, 2))])
def test_collocates_equal_reference(indexed, rng, lowercase, within, span):
    texts = random_texts(rng, texts=8, most=200)
    c = indexed(texts)
    corpus = lumora.open(c.folder)
    by_name = {name + ".npy": texts[name] for name in texts}
    listing = [by_name[n] for n in corpus._listing()]
    pred = [(lambda w, t: w.lower() == "dog", 1, 1)]
    key = (lambda w: w.lower()) if lowercase else (lambda w: w)
    left, right, freq = {}, {}, {}
    r1 = hits = 0
    for ti, p, n, b, e in ref_hits(listing, pred, within):
        toks = listing[ti]
        hits += 1
        for i in range(max(b, p - span[0]), p):
            left[key(toks[i][0])] = left.get(key(toks[i][0]), 0) + 1
            r1 += 1
        for i in range(p + n, min(e, p + n + span[1])):
            right[key(toks[i][0])] = right.get(key(toks[i][0]), 0) + 1
            r1 += 1
    for toks in listing:
        for w, *_ in toks:
            freq[key(w)] = freq.get(key(w), 0) + 1
    total = sum(freq.values())
    table = corpus.collocates("dog", span=span, within=within, lowercase=lowercase,
                              min_freq=1, measures=_concord.MEASURES, sort="collocate")
    assert table.meta["N"] == total and table.meta["R1"] == r1 and table.meta["hits"] == hits
    words = sorted(set(left) | set(right), reverse=True)
    got = {row[0]: row for row in table}
    assert sorted(got, reverse=True) == words
    names = list(table.columns)
    for w in words:
        o11 = left.get(w, 0) + right.get(w, 0)
        row = dict(zip(names, got[w]))
        assert (row["freq"], row["left"], row["right"], row["corpus_freq"]) == \
            (o11, left.get(w, 0), right.get(w, 0), freq[w])
        if total - r1 <= 0:
            continue
        for m, v in ref_measures(o11, freq[w], r1, total, hits).items():
            assert row[m] == pytest.approx(v, rel=1e-12, abs=1e-12), m


def test_collocates_min_freq_and_default_sort(generated):
    corpus, _ = generated
    table = corpus.collocates("the", min_freq=2)
    assert all(f >= 2 for f in table["freq"])
    mi = list(table["mi"])
    assert mi == sorted(mi, reverse=True)
    assert list(table.columns)[:5] == ["collocate", "freq", "left", "right", "corpus_freq"]


# -- errors ------------------------------------------------------------------------------------

@pytest.mark.parametrize("query,message", [
    ('[word="a"', "expected ']' to close the token, found the end of the query\n"
                  '  [word="a"\n           ^'),
    ('[lemma="a"]', "unknown attribute 'lemma' (attributes: word, lower, tag)\n"
                    '  [lemma="a"]\n   ^'),
    ('[word="a("]', "bad regular expression 'a(': missing ), unterminated subpattern\n"
                    '  [word="a("]\n          ^'),
    ('[word="a"] dog', "expected '[' to start a token, found 'd'\n"
                       '  [word="a"] dog\n             ^'),
    ('[word="a"]{3,1}', "repetition {3,1} has its maximum below its minimum\n"
                        '  [word="a"]{3,1}\n               ^'),
    ('[word="a" &]', "expected an attribute (word, lower or tag), found ']'\n"
                     '  [word="a" &]\n             ^'),
    ('[word=a]', "expected a quoted regular expression, found 'a'\n"
                 '  [word=a]\n        ^'),
    ('[word="a"%x]', "unknown flag (only %c, ignore case, is known)\n"
                     '  [word="a"%x]\n            ^'),
    ("   ", "empty query\n     \n  ^"),
])
def test_query_errors(generated, query, message):
    corpus, _ = generated
    with pytest.raises(QueryError) as exc:
        corpus.kwic(query)
    assert str(exc.value) == message
    assert lumora.QueryError is QueryError


def test_treebank(tmp_path, conllu_corpus):
    corpus = lumora.prepare([str(conllu_corpus())], tmp_path / "ewt")
    table = corpus.kwic('[tag="ADJ"] [tag="NOUN"]', width=2)
    assert len(table) > 100
    arrays = [np.load(p) for p in corpus._files()]
    tags = corpus._dictionary("tags")
    n = 0
    for arr in arrays:
        if arr.ndim != 2:
            continue
        t = [tags[i] for i in arr[:, 1].tolist()]
        n += sum(1 for i in range(len(t) - 1) if t[i] == "ADJ" and t[i + 1] == "NOUN")
    assert len(table) == n
    col = corpus.collocates("the", span=(1, 1), measures=("ll",))
    assert col.meta["hits"] == len(corpus.kwic("the"))


def test_command_line(generated, capsys):
    from lumora import cli
    corpus, _ = generated
    assert cli.main(["kwic", corpus.path, "dog", "--format", "tsv"]) == 0
    lines = capsys.readouterr().out.splitlines()
    expected = ["\t".join(map(str, row)) for row in corpus.kwic("dog")]
    assert lines == ["text\tposition\tleft\tnode\tright"] + expected
    assert cli.main(["collocates", corpus.path, "the", "--span", "2,1", "--measure", "ll",
                     "--min-freq", "1", "--format", "csv"]) == 0
    out = capsys.readouterr().out.splitlines()
    table = corpus.collocates("the", span=(2, 1), measures=("ll",), min_freq=1)
    assert out[0] == "collocate,freq,left,right,corpus_freq,ll"
    assert len(out) == len(table) + 1
    assert cli.main(["kwic", corpus.path, '[tag="NOUN"']) == 1
    assert "expected ']' to close the token" in capsys.readouterr().err


def test_threads_and_arrays_numpy_reads(generated):
    corpus, _ = generated
    from lumora import _engine
    lex = corpus._lexicon()
    _, _, program = _concord._prepared(corpus, '[]{1,3} [lower="the"]', False, None, False)
    one = _engine.query_hits(corpus._files(), lex.word_ids, lex.tag_ids, program.arrays(),
                             False, threads=1)
    two = _engine.query_hits(corpus._files(), lex.word_ids, lex.tag_ids, program.arrays(),
                             False, threads=2)
    assert [bytes(b) for b in one] == [bytes(b) for b in two]
    before = list(corpus.kwic("the dog"))
    # Big-endian arrays are refused by the native reader and read by NumPy instead.
    for p in corpus._files():
        arr = np.load(p)
        if arr.ndim == 2:
            np.save(p, arr.astype(">i8"), allow_pickle=False)
    assert list(lumora.open(corpus.path).kwic("the dog")) == before
