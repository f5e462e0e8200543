"""N-gram lists against polars: ``lumora.lm_sequences.make_ngrams`` and the same group-by done
with polars over the same token arrays.

For each size (2 and 3 by default, no tag pattern, ``lowercase`` false) three cases share the
native side and differ in the baseline:

* ``polars rows``: polars computes the rows and hands them over as Python tuples (what
  ``make_ngrams`` returns); target: native at most half this time;
* ``polars frame``: the same, the result left as a polars DataFrame;
* ``floor``: merely building a list of as many 5-tuples (int, str, int, int, float) as the
  result has rows, the floor of any list result.

Before the cases run, polars' rows are compared with lumora's once for every size (outside the
timing); a difference is printed. Needs polars (``pip install lumora[bench]``).

    python -m bench.run ngrams_polars                                # 2M tokens in 400 texts
    python -m bench.run ngrams_polars --tokens 20000000 --texts 4000 --repeat 1
"""

import json
import os
import pickle
import types

import numpy as np

from bench import corpus
from bench.case import Case

DEFAULTS = {"tokens": 2_000_000, "texts": 400}

ONE_WORD = r"^\W+$"
WORDS = r"^\W+ | \W+$| \W+ "


def _sizes():
    chosen = os.environ.get("LUMORA_BENCH_NGRAM_SIZES", "")
    return [int(s) for s in chosen.split(",") if s.strip()] or [2, 3]


def _polars():
    try:
        import polars
    except ImportError as e:
        raise ImportError("the polars comparison needs polars: pip install lumora[bench]") from e
    return polars


def polars_ngrams(c, size, lowercase=False):
    """The rows of make_ngrams(c.workspace, c.corpus_name, None, size, lowercase) as a polars
    DataFrame with columns rank, ngram, freq, texts, percent."""
    pl = _polars()
    folder = c.npy_folder
    names = os.listdir(folder)
    ids, texts = [], []
    for i, name in enumerate(names):
        arr = np.load(folder + name)
        if arr.ndim == 2 and len(arr):
            ids.append(arr[:, 0].astype(np.int64, copy=False))
            texts.append(np.full(len(arr), i, dtype=np.int32))
    with open(c.path + "/data/idx/words.pickle", "rb") as f:
        words = pickle.load(f)
    vocab_ids = np.fromiter(words.keys(), dtype=np.int64, count=len(words))
    order = np.argsort(vocab_ids, kind="stable")
    forms = pl.Series("w", list(words.values()), dtype=pl.String)
    if lowercase:
        forms = forms.str.to_lowercase()
    if not ids:
        return pl.DataFrame({"rank": [], "ngram": [], "freq": [], "texts": [], "percent": []})
    token_ids = np.concatenate(ids)
    text = pl.Series("t", np.concatenate(texts))
    dense = order[np.searchsorted(vocab_ids, token_ids, sorter=order)]
    df = pl.DataFrame({"w": forms.gather(dense), "t": text})
    last = size - 1
    ngram = pl.concat_str([pl.col("w").shift(-k) for k in range(size)], separator=" ")
    df = (df.with_columns(ngram.alias("ngram"), (pl.col("t").shift(-last) == pl.col("t"))
                          .alias("whole"))
          .filter(pl.col("whole")))
    total = len(names)
    out = (df.group_by("ngram", maintain_order=True)
           .agg(pl.len().alias("freq"), pl.col("t").n_unique().alias("texts"))
           .filter(~pl.col("ngram").str.contains(ONE_WORD if size == 1 else WORDS))
           .with_row_index("rank", offset=1)
           .with_columns((pl.col("texts").cast(pl.Float64) / total * 100).cast(pl.Float32)
                         .alias("percent")))
    return out.select("rank", "ngram", "freq", "texts", "percent")


def _indexed(params):
    return corpus.indexed_copy(params.tokens, params.texts, params.seed)


def _rows_file(params):
    return os.path.join(corpus.OUT, "ngram-rows-t%d-n%d-s%d.json" % (
        params.tokens, params.texts, params.seed))


def prepare(params):
    """Compares polars' rows with lumora's once per size and notes the number of rows."""
    c = _indexed(params)
    from lumora import lm_sequences

    counts = {}
    for size in _sizes():
        rows = lm_sequences.make_ngrams(c.workspace, c.corpus_name, None, size, False)
        counts[str(size)] = len(rows)
        theirs = polars_ngrams(c, size).rows()
        same = theirs == rows
        print("polars rows equal lumora's for size %d: %s (%d rows)" % (size, same, len(rows)))
        if not same:
            diff = next(i for i, (a, b) in enumerate(zip(rows, theirs)) if a != b)
            print("  first difference at row %d: %r != %r" % (diff, rows[diff], theirs[diff]))
        del rows, theirs
    with open(_rows_file(params), "w") as f:
        json.dump(counts, f)


def _native(size):
    def run(c):
        from lumora import lm_sequences

        return lm_sequences.make_ngrams(c.workspace, c.corpus_name, None, size, False)
    return run


def _polars_rows(size):
    return lambda c: polars_ngrams(c, size).rows()


def _polars_frame(size):
    return lambda c: polars_ngrams(c, size)


def _floor_setup(size):
    def setup(params):
        with open(_rows_file(params)) as f:
            n = json.load(f)[str(size)]
        c = _indexed(params)
        return types.SimpleNamespace(workspace=c.workspace, corpus_name=c.corpus_name,
                                     row_count=n)
    return setup


def _floor(c):
    s = "the n-gram"
    return [(i + 1, s, i + 2, i + 3, i * 0.5) for i in range(c.row_count)]


CASES = []
for _size in _sizes():
    CASES += [
        Case("size %d, polars rows" % _size, native=_native(_size), baseline=_polars_rows(_size),
             setup=_indexed, requires="lumora.lm_sequences"),
        Case("size %d, polars frame" % _size, native=_native(_size),
             baseline=_polars_frame(_size), setup=_indexed, requires="lumora.lm_sequences"),
        Case("size %d, floor: a list of 5-tuples" % _size, native=_native(_size),
             baseline=_floor, setup=_floor_setup(_size), requires="lumora.lm_sequences"),
    ]
