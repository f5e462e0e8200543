"""lumora.Corpus: every sort="first" table equals its module's rows, value for value and type
for type; sort="freq" is a stable sort renumbered from 1; options are checked by name."""

import os

import numpy as np
import pytest
from conftest import make_indexed

import lumora
from lumora.lm_bundles import make_clusters
from lumora.lm_docfreq import make_wfreqinfiles
from lumora.lm_keyness import make_keywords
from lumora.lm_sequences import make_ngrams
from lumora.lm_spread import make_dispersion
from lumora.lm_tagfreq import make_wtfreq
from lumora.lm_vocab import make_wordlist

LEXICON = ["the", "The", "THE", "cat", "Cat", "sat", "on", "mat", "dog", "Dogs", "ran", "a",
           "über", "Über", "naïve", "3.5", "e.g.", "don't", ",", ".", "!", "--", "(", ")",
           "x-ray", "İstanbul", "ß", "a.b"]
TAGS = ["NOUN", "VERB", "DET", "PUNCT", "ADJ"]


def random_texts(rng, texts=None):
    out = {}
    for k in range(texts or rng.randint(1, 9)):
        n = rng.choice([0, 0, 1, 2, 3, rng.randint(4, 60), rng.randint(60, 400)])
        out[f"t{k:02d}"] = [(rng.choice(LEXICON), rng.choice(TAGS)) for _ in range(n)]
    return out


def opened(c):
    return lumora.open(c.workspace + c.name)


def same_rows(table, rows):
    """The table's rows equal the module's, with the same Python types in every cell."""
    got = table.to_list()
    want = [tuple(r) for r in rows]
    assert got == want
    for g, w in zip(got, want):
        assert [type(v) for v in g] == [type(v) for v in w]


@pytest.fixture
def random_corpus(tmp_path, rng):
    def make(k):
        return make_indexed(tmp_path, random_texts(rng), name=f"c{k}", seed=k)
    return make


@pytest.mark.parametrize("k", range(12))
def test_first_order_equals_the_modules(random_corpus, rng, k):
    c = random_corpus(k)
    corpus = opened(c)
    ws, name = c.workspace, c.name
    for lc in (False, True):
        tokens, types, ttr, hapax, rows = make_wordlist(ws, name, "en", lc)
        t = corpus.words(lowercase=lc, sort="first")
        same_rows(t, rows)
        assert (t.meta["tokens"], t.meta["types"], t.meta["hapax"]) == (tokens, types, hapax)
        assert t.meta["type_token"] == ttr
        same_rows(corpus.wordtags(lowercase=lc, sort="first"), make_wtfreq(ws, name, "en", lc))
        same_rows(corpus.ranges(lowercase=lc, sort="first"),
                  make_wfreqinfiles(ws, name, "en", lc))
        for size in range(1, 6):
            same_rows(corpus.ngrams(size, lowercase=lc, sort="first"),
                      make_ngrams(ws, name, None, size, lc))
        if corpus.tags:
            tags = " ".join(rng.choice(corpus.tags) for _ in range(2))
            same_rows(corpus.ngrams(2, tags=tags, lowercase=lc, sort="first"),
                      make_ngrams(ws, name, tags, 2, lc))
        word = rng.choice(LEXICON[:12])
        for size in (1, 2, 3):
            same_rows(corpus.clusters(word, size=size, case_sensitive=lc, sort="first"),
                      make_clusters(ws, name, word, None, lc, size))
        if "NOUN" in corpus.tags:
            same_rows(corpus.clusters(word, tag="NOUN", case_sensitive=lc, sort="first"),
                      make_clusters(ws, name, word, "NOUN", lc, 2))
    for measure, code in (("ll", 1), ("chi2", 2)):
        same_rows(corpus.keywords(measure=measure, sort="first"),
                  make_keywords(ws, name, "en", code))


def test_dispersion_equals_the_module(random_corpus):
    c = random_corpus(0)
    corpus = opened(c)
    for term, cs, rx in (("the", False, False), ("The cat", True, False), ("c.t", False, True)):
        totals, positions, rows = make_dispersion(c.workspace, c.name, term, None, cs, rx)
        t = corpus.dispersion(term, case_sensitive=cs, regexp=rx)
        assert t.columns == ["text", "tokens", "hits", "s1", "s2", "s3", "s4", "s5"]
        same_rows(t, [r[1:] for r in rows])
        assert t.positions == positions
        assert t.meta["sections"] == tuple(totals)
        assert t.meta["hits"] == sum(r[3] for r in rows)


def ranked(rows, key):
    """The plain rendering of sort="freq": stable, largest first, renumbered."""
    rows = sorted(rows, key=key, reverse=True)
    return [(i,) + tuple(r[1:]) for i, r in enumerate(rows, 1)]


@pytest.mark.parametrize("k", range(4))
def test_sorts_are_stable_and_renumbered(random_corpus, k):
    c = random_corpus(100 + k)
    corpus = opened(c)
    ws, name = c.workspace, c.name
    rows = make_ngrams(ws, name, None, 2, False)
    assert corpus.ngrams(2).to_list() == ranked(rows, lambda r: r[2])
    assert corpus.ngrams(2, sort="texts").to_list() == ranked(rows, lambda r: (r[3], r[2]))
    kept = [r for r in rows if r[2] >= 2]
    assert corpus.ngrams(2, min_freq=2).to_list() == ranked(kept, lambda r: r[2])
    assert corpus.ranges().to_list() == ranked(make_wfreqinfiles(ws, name, "en", False),
                                               lambda r: r[2])
    kw = [tuple(r) for r in make_keywords(ws, name, "en", 1)]
    assert corpus.keywords().to_list() == ranked(kw, lambda r: r[3])
    assert corpus.keywords(sort="freq").to_list() == ranked(kw, lambda r: r[2])


def test_properties(tmp_path):
    corpus = lumora.from_texts({"b": "The cat sat. The dog ran!", "a": "", "c": "A cat."},
                               tmp_path / "small")
    assert corpus.path == str(tmp_path / "small")
    assert corpus.language == "en"
    assert sorted(corpus.texts) == ["a", "b", "c"]
    assert corpus.texts == [n[:-4] for n in os.listdir(tmp_path / "small" / "data" / "npy")]
    assert corpus.tokens == 11
    assert corpus.types == len(set("The cat sat . dog ran ! A".split()))
    assert len(corpus) == 3
    assert "PUNCT" in corpus.tags


@pytest.mark.parametrize("call, exc, message", [
    (lambda c: c.ngrams(6), ValueError, "size must be an integer from 1 to 5; got 6"),
    (lambda c: c.ngrams("2"), TypeError, "size must be an integer from 1 to 5; got '2'"),
    (lambda c: c.ngrams(2, sort="alpha"), ValueError,
     "sort must be one of 'freq', 'texts', 'first'; got 'alpha'"),
    (lambda c: c.words(sort="texts"), ValueError, "sort must be one of 'freq', 'first'; got 'texts'"),
    (lambda c: c.clusters("the cat"), ValueError, "word must have one word; got 'the cat'"),
    (lambda c: c.clusters("cat", size=4), ValueError,
     "size must be an integer from 1 to 3; got 4"),
    (lambda c: c.ngrams(2, tags="NOUN BOGUS"), ValueError,
     "unknown tag 'BOGUS' in tags (tags in this corpus: DET, NOUN, PUNCT, VERB)"),
    (lambda c: c.clusters("cat", tag="NOUN VERB"), ValueError,
     "tag takes 1 tag; got 'NOUN VERB'"),
    (lambda c: c.dispersion("a b c d"), ValueError,
     "term must have one to 3 words; got 'a b c d'"),
    (lambda c: c.dispersion("the cat", tags="DET"), ValueError,
     "tags must give one tag per word of the term; got 'DET' for 'the cat'"),
    (lambda c: c.keywords(measure="mi"), ValueError,
     "measure must be one of 'll', 'chi2'; got 'mi'"),
    (lambda c: c.keywords(language="xx"), ValueError,
     "no reference list for language 'xx' (available: de, en, es, fr, it, nl, pt)"),
])
def test_bad_options_name_the_argument(tmp_path, call, exc, message):
    c = make_indexed(tmp_path, {"t": [("the", "DET"), ("cat", "NOUN"), ("sat", "VERB"),
                                      (".", "PUNCT")]})
    with pytest.raises(exc) as e:
        call(opened(c))
    assert str(e.value) == message


def test_opening_what_is_not_a_corpus(tmp_path):
    with pytest.raises(lumora.CorpusError) as e:
        lumora.open(tmp_path / "nothing")
    assert str(tmp_path / "nothing") in str(e.value)
    (tmp_path / "plain").mkdir()
    with pytest.raises(lumora.CorpusError) as e:
        lumora.open(tmp_path / "plain")
    assert str(e.value) == f"{tmp_path / 'plain'} is not a prepared corpus folder " \
                           f"({os.path.join('data', 'npy')} is missing)"


def test_shared_treebanks_equal_the_modules(tmp_path, conllu_corpus):
    for lang, fname in (("en", "en_ewt-ud-dev.conllu"), ("de", "de_gsd-ud-dev.conllu")):
        src = conllu_corpus(fname)
        corpus = lumora.prepare([str(src)], tmp_path / lang, language=lang)
        ws, name = corpus._workspace, corpus._name
        same_rows(corpus.wordtags(sort="first"), make_wtfreq(ws, name, lang, False))
        same_rows(corpus.ranges(lowercase=True, sort="first"),
                  make_wfreqinfiles(ws, name, lang, True))
        same_rows(corpus.words(sort="first"), make_wordlist(ws, name, lang, False)[4])
        for size in (1, 3):
            same_rows(corpus.ngrams(size, sort="first"), make_ngrams(ws, name, None, size, False))
        same_rows(corpus.clusters("in", size=2, sort="first"),
                  make_clusters(ws, name, "in", None, False, 2))
        same_rows(corpus.keywords(sort="first"), make_keywords(ws, name, lang, 1))


def test_tables_flow_into_numpy(tmp_path):
    corpus = lumora.from_texts({"a": "The cat sat on the mat. The end."}, tmp_path / "c")
    t = corpus.words()
    assert t.columns == ["rank", "word", "freq"]
    assert t["freq"].dtype == np.int64 and list(t["rank"]) == list(range(1, len(t) + 1))
    assert t["word"][0] in ("The", ".")
