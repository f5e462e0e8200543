"""What a data scientist with polars would write to get lumora's tables from the same token
arrays: the rival of ``lumora.Corpus`` in the benchmarks.

N-grams: the word ids of every text in one frame, shifted by 1 .. n-1 within the text, windows
with a punctuation-only word left out, grouped by the ids in order of first occurrence with
frequency and number of distinct texts, the forms joined with spaces. The same rows as
``Corpus.ngrams(n, sort="first")`` for a corpus whose forms hold no spaces.
"""

import os
import pickle
import re

import numpy as np

_PUNCT = re.compile(r"\W+")


def _load(workspace, name):
    npy = workspace + name + "/data/npy/"
    files = os.listdir(npy)
    arrays = [np.load(npy + f) for f in files]
    with open(workspace + name + "/data/idx/words.pickle", "rb") as f:
        words = pickle.load(f)
    return files, arrays, words


def ngrams_frame(workspace, name, size):
    """The n-gram table as a polars DataFrame: ngram, freq, texts, percent (float32)."""
    import polars as pl

    files, arrays, words = _load(workspace, name)
    parts = [a[:, 0] for a in arrays if a.ndim == 2 and a.shape[0]]
    text_of = [np.full(a.shape[0], i, dtype=np.int32)
               for i, a in enumerate(arrays) if a.ndim == 2 and a.shape[0]]
    ids = np.concatenate(parts) if parts else np.zeros(0, dtype=np.int64)
    texts = np.concatenate(text_of) if text_of else np.zeros(0, dtype=np.int32)
    forms = pl.DataFrame({"id": np.fromiter(words.keys(), dtype=np.int64, count=len(words)),
                          "form": list(words.values())})
    punct = forms.filter(pl.col("form").map_elements(lambda w: bool(_PUNCT.fullmatch(w)),
                                                     return_dtype=pl.Boolean))["id"]
    df = pl.DataFrame({"t": texts, "w0": ids})
    df = df.with_columns([pl.col("w0").shift(-k).alias(f"w{k}") for k in range(1, size)]
                         + [pl.col("t").shift(-k).alias(f"t{k}") for k in range(1, size)])
    keep = pl.lit(True)
    for k in range(size):
        keep = keep & ~pl.col(f"w{k}").is_in(punct.implode())
        if k:
            keep = keep & (pl.col(f"t{k}") == pl.col("t"))
    keys = [f"w{k}" for k in range(size)]
    grouped = (df.filter(keep)
               .group_by(keys, maintain_order=True)
               .agg(pl.len().alias("freq"), pl.col("t").n_unique().alias("texts")))
    for k in range(size):
        grouped = grouped.join(forms.rename({"id": f"w{k}", "form": f"f{k}"}), on=f"w{k}",
                               how="left", maintain_order="left")
    return grouped.select(
        pl.concat_str([pl.col(f"f{k}") for k in range(size)], separator=" ").alias("ngram"),
        pl.col("freq").cast(pl.Int64),
        pl.col("texts").cast(pl.Int64),
        (pl.col("texts") / len(files) * 100).cast(pl.Float32).alias("percent"),
    )
