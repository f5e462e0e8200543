"""Clusters: ``lumora.lm_bundles.make_clusters`` against the plain Python/NumPy baseline.

Searches over the cached indexed corpus: a frequent word ("the", several percent of all tokens,
so windows and cluster texts weigh in) and a rare one ("résumé"), each for clusters of 1, 2 and
3 tokens, with ``lowercase`` true (exact form, texts lower-cased) and false (every case variant
through the lower-case dictionary, texts keep their case), without and with the word's tag.
Each call reloads the dictionaries, as the function does. Targets: at least 5x the baseline,
15x for size 3.

    python -m bench.run bundles
    python -m bench.run bundles --tokens 20000000 --texts 4000
"""

from bench import corpus
from bench.baseline_bundles import make_clusters as baseline_make_clusters
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}

WORDS = {"the": "DT", "résumé": "NN"}


def _queries():
    """name -> (node, pos, lowercase, size)"""
    out = {}
    for word, tag in WORDS.items():
        for size in (1, 2, 3):
            for lowercase in (True, False):
                for pos in (None, tag):
                    tagged = word + "/" + pos if pos else word
                    name = f"{tagged}, size {size}, {'exact' if lowercase else 'any case'}"
                    out[name] = (word, pos, lowercase, size)
    return out


QUERIES = _queries()


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _setup(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _native(query):
    def run(c):
        from lumora import lm_bundles

        return lm_bundles.make_clusters(c.workspace, c.corpus_name, *query)
    return run


def _baseline(query):
    def run(c):
        return baseline_make_clusters(c.workspace, c.corpus_name, *query)
    return run


CASES = [
    Case(name, native=_native(query), baseline=_baseline(query), setup=_setup,
         requires="lumora.lm_bundles", floor=True)
    for name, query in QUERIES.items()
]
