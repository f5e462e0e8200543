"""The engine's word lists, word+tag lists and ranges (``lumora._counts``) against their modules.

Each engine case runs on one and on two threads against the module doing the same work
(``lm_vocab.make_wordlist``, ``lm_tagfreq.make_wtfreq``, ``lm_docfreq.make_wfreqinfiles``); the
table's native/floor column sets it against the time to ``np.load`` every token array. The
corpus's Lexicon (what the engine needs of each distinct form, cached per corpus) is built in
the setup, outside the timing; the case "Lexicon" times building it once.

    python -m bench.run engine                                   # 2M tokens in 400 texts
    python -m bench.run engine --tokens 20000000 --texts 4000
"""

import os

from bench import corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}


class _Corpus:
    """What the engine reads of a corpus: path, token-array paths in listing order, Lexicon."""

    def __init__(self, c):
        from lumora._lexicon import Lexicon

        self.c = c
        self.path = os.path.abspath(c.workspace + c.corpus_name)
        npy = os.path.join(self.path, "data", "npy")
        self.files = [os.path.join(npy, n) for n in os.listdir(npy)]
        self.lexicon = Lexicon(self)

    def _files(self):
        return self.files

    def _lexicon(self):
        return self.lexicon


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _ready(params):
    return _Corpus(_indexed(params))


def _engine(fn, lowercase, threads):
    def run(ec):
        from lumora import _counts

        return getattr(_counts, fn)(ec, lowercase, threads=threads)
    return run


def _module(fn, lowercase):
    def run(ec):
        from lumora import lm_docfreq, lm_tagfreq, lm_vocab

        call = {"words": lm_vocab.make_wordlist, "wordtags": lm_tagfreq.make_wtfreq,
                "ranges": lm_docfreq.make_wfreqinfiles}[fn]
        return call(ec.c.workspace, ec.c.corpus_name, corpus.LANGUAGE, lowercase)
    return run


def _lexicon(c):
    from lumora._lexicon import Lexicon

    return Lexicon(os.path.abspath(c.workspace + c.corpus_name))


CASES = [Case("Lexicon", native=_lexicon, baseline=None, setup=_indexed,
              requires="lumora._engine")]
for _fn in ("words", "wordtags", "ranges"):
    for _lc in (False, True):
        for _t in (1, 2):
            CASES.append(Case(f"{_fn} lowercase={_lc} threads={_t}",
                              native=_engine(_fn, _lc, _t), baseline=_module(_fn, _lc),
                              setup=_ready, requires="lumora._engine", floor=True))
