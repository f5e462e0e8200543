"""Word+tag frequency list: ``lumora.lm_tagfreq.make_wtfreq`` against the plain-Python rendering.

Both sides read the same cached indexed corpus; nothing is written, so every run uses it as it
is. One case per ``lowercase`` setting. Targets: at least ten times the baseline, and no more
than three times the np.load floor (the time to load every token array of the corpus).

    python -m bench.run tagfreq                                   # 2M tokens in 400 texts
    python -m bench.run tagfreq --tokens 20000000 --texts 4000
"""

from bench import corpus
from bench.baseline_tagfreq import make_wtfreq as baseline_make_wtfreq
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _native(lowercase):
    def run(c):
        from lumora import lm_tagfreq

        return lm_tagfreq.make_wtfreq(c.workspace, c.corpus_name, corpus.LANGUAGE, lowercase)
    return run


def _baseline(lowercase):
    def run(c):
        return baseline_make_wtfreq(c.workspace, c.corpus_name, corpus.LANGUAGE, lowercase)
    return run


CASES = [
    Case("make_wtfreq lowercase=False", native=_native(False), baseline=_baseline(False),
         setup=_indexed, requires="lumora.lm_tagfreq", floor=True),
    Case("make_wtfreq lowercase=True", native=_native(True), baseline=_baseline(True),
         setup=_indexed, requires="lumora.lm_tagfreq", floor=True),
]
