"""Index builder: ``lumora.lm_build.make_indexes`` against the plain-Python builder.

The build rewrites the dictionaries of the folder it indexes, so every timed run gets a
pristine copy of the prepared corpus, made before the timing starts and removed after it.
Target: at least ten times the baseline's tokens per second.
"""

from bench import corpus
from bench.baseline_build import make_indexes as baseline_make_indexes
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}


def prepare(params):
    corpus.prepared(params.tokens, params.texts, params.seed)


def _fresh(params):
    return corpus.fresh_prepared(params.tokens, params.texts, params.seed)


def _native(c):
    from lumora import lm_build

    lm_build.make_indexes(c.workspace, c.corpus_name, corpus.LANGUAGE)


def _baseline(c):
    baseline_make_indexes(c.workspace, c.corpus_name, corpus.LANGUAGE)


CASES = [
    Case("make_indexes", native=_native, baseline=_baseline, setup=_fresh,
         teardown=corpus.discard, requires="lumora.lm_build"),
]
