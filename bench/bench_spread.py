"""Dispersion: ``lumora.lm_spread.make_dispersion`` against the NumPy baseline.

Four searches over the cached indexed corpus: a frequent one-word node ("the", several percent
of all tokens, so positions and section counting weigh in), a rare one ("résumé"), a three-word
node with a tag for each word (all three frequent, so no array ends early) and a case-insensitive
regular expression (one dictionary walk per call, thousands of ids). Each call reloads the
dictionaries, as the function does. Targets: at least 3x the baseline, within 2x of the floor.

    python -m bench.run spread
    python -m bench.run spread --tokens 20000000 --texts 4000
"""

from bench import corpus
from bench.baseline_spread import make_dispersion as baseline_make_dispersion
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}

# name -> (node, pos, case_sensitive, regexp)
QUERIES = {
    "frequent word": ("the", None, True, False),
    "rare word": ("résumé", None, True, False),
    "three words, tagged": ("of the .", "IN DT PUNCT", True, False),
    "regexp, any case": ("Th\\w*", None, False, True),
}


def prepare(params):
    corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _setup(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _native(query):
    def run(c):
        from lumora import lm_spread

        return lm_spread.make_dispersion(c.workspace, c.corpus_name, *query)
    return run


def _baseline(query):
    def run(c):
        return baseline_make_dispersion(c.workspace, c.corpus_name, *query)
    return run


CASES = [
    Case(name, native=_native(query), baseline=_baseline(query), setup=_setup,
         requires="lumora.lm_spread", floor=True)
    for name, query in QUERIES.items()
]
