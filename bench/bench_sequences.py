"""N-gram lists: ``lumora.lm_sequences.make_ngrams`` against the plain-Python rendering.

Both sides read the same cached indexed corpus; the baseline writes its presence files into a
temporary folder of its own (the runtime's default location), which each call removes, while
the native module writes nothing. One case per n-gram size (1 to 5), without and with a tag
pattern (one tag per word of the n-gram; for one word, two tags either of which may match), with
``lowercase`` false and true. Targets: at least 30 times the baseline for every size, and a
lower peak memory. ``bench_ngrams_polars`` compares the same calls with polars.

    python -m bench.run sequences                                   # 2M tokens in 400 texts
    LUMORA_BENCH_NGRAM_SIZES=2,3 python -m bench.run sequences \\
        --tokens 20000000 --texts 4000 --only native                # the large corpus

``LUMORA_BENCH_NGRAM_SIZES`` (a comma-separated list) keeps the cases of those sizes only.
"""

import os

from bench import corpus
from bench.baseline_sequences import make_ngrams as baseline_make_ngrams
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}

PATTERNS = {
    1: "NN NNS",
    2: "DT NN",
    3: "DT JJ NN",
    4: "IN DT JJ NN",
    5: "NN IN DT JJ NN",
}


def _sizes():
    chosen = os.environ.get("LUMORA_BENCH_NGRAM_SIZES", "")
    return [int(s) for s in chosen.split(",") if s.strip()] or sorted(PATTERNS)


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _native(pos, size, lowercase):
    def run(c):
        from lumora import lm_sequences

        return lm_sequences.make_ngrams(c.workspace, c.corpus_name, pos, size, lowercase)
    return run


def _baseline(pos, size, lowercase):
    def run(c):
        return baseline_make_ngrams(c.workspace, c.corpus_name, pos, size, lowercase)
    return run


CASES = [
    Case("size %d, %s, lowercase=%s" % (size, "pos %r" % pos if pos else "no pos", lowercase),
         native=_native(pos, size, lowercase), baseline=_baseline(pos, size, lowercase),
         setup=_indexed, requires="lumora.lm_sequences", floor=True)
    for size in _sizes()
    for pos in (None, PATTERNS[size])
    for lowercase in (False, True)
]
