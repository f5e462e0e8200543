"""Concordance lines, collocates and token patterns (``Corpus.kwic``, ``Corpus.collocates``)
against NLTK: ``ConcordanceIndex`` built on the same tokens plus ``find_concordance``, and
``BigramCollocationFinder.from_words(..., window_size=5)`` filtered to the node and scored by
one measure. The pattern case has no baseline; its native/floor column sets it against the time
to ``np.load`` every token array. The corpus's token list (for NLTK) and the Corpus with its
Lexicon are made in the setup, outside the timing.

    python -m bench.run query                                   # 2M tokens in 400 texts
    python -m bench.run query --tokens 20000000 --texts 4000
"""

import os
import pickle

import numpy as np

from bench import corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}

_CACHE = {}


class _Context:
    def __init__(self, c):
        import lumora

        self.path = os.path.abspath(c.workspace + c.corpus_name)
        self.corpus = lumora.open(self.path)
        self.corpus._lexicon()
        with open(os.path.join(self.path, "data", "idx", "words.pickle"), "rb") as f:
            words = pickle.load(f)
        key = (self.path, "tokens")
        if key not in _CACHE:
            toks = []
            for p in self.corpus._files():
                arr = np.load(p)
                if arr.ndim == 2:
                    toks.extend(words[i] for i in arr[:, 0].tolist())
            _CACHE[key] = toks
        self.tokens = _CACHE[key]
        # A frequent word: the one whose count is nearest 1.5% of the tokens (about 30,000
        # lines at 2 million tokens).
        if (self.path, "word") not in _CACHE:
            counts = {}
            for t in self.tokens:
                counts[t] = counts.get(t, 0) + 1
            goal = 0.015 * len(self.tokens)
            _CACHE[(self.path, "word")] = min(
                (w for w in counts if w.isalpha() and w == w.lower()),
                key=lambda w: abs(counts[w] - goal))
        self.word = _CACHE[(self.path, "word")]


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _ready(params):
    return _Context(corpus.indexed_copy(params.tokens, params.texts, params.seed))


def _kwic(ctx):
    return ctx.corpus.kwic(ctx.word, case_sensitive=True)


def _nltk_kwic(ctx):
    from nltk.text import ConcordanceIndex

    index = ConcordanceIndex(ctx.tokens)
    return index.find_concordance(ctx.word, width=80)


def _collocates(ctx):
    return ctx.corpus.collocates(ctx.word, span=(4, 4), case_sensitive=True, measures=("ll",))


def _nltk_collocates(ctx):
    from nltk.collocations import BigramAssocMeasures, BigramCollocationFinder

    finder = BigramCollocationFinder.from_words(ctx.tokens, window_size=5)
    word = ctx.word
    finder.apply_ngram_filter(lambda w1, w2: word not in (w1, w2))
    return finder.score_ngrams(BigramAssocMeasures.likelihood_ratio)


def _pattern(ctx):
    return ctx.corpus.kwic('[tag="JJ"] [tag="NN"]', width=0)


CASES = [
    Case("kwic of a frequent word", native=_kwic, baseline=_nltk_kwic, setup=_ready,
         requires="lumora._engine", floor=True),
    Case("collocates span (4, 4), ll", native=_collocates, baseline=_nltk_collocates,
         setup=_ready, requires="lumora._engine", floor=True),
    Case('kwic [tag="JJ"] [tag="NN"]', native=_pattern, baseline=None, setup=_ready,
         requires="lumora._engine", floor=True),
]
