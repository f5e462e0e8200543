"""Statistics corpus linguists report: dispersion of a word over the texts, and keyness of the
words of one corpus against a reference (a shipped reference list or another corpus).

Dispersion treats the texts with tokens as the parts (a text without tokens enters no measure).
With f_i a word's frequency in part i, t_i the part's tokens, f and T their sums and n the parts:

* ``range``: the parts with f_i > 0;
* ``dp``: 0.5 * sum |f_i / f - t_i / T| (Gries' DP);
* ``dp_norm``: dp / (1 - min t_i / T) (Lijffijt and Gries);
* ``juilland_d``: 1 - (sd(p) / mean(p)) / sqrt(n - 1), p_i = f_i / t_i, sd the population
  standard deviation; NaN with one part (as dp_norm), NaN for a word that does not occur.

Keyness compares a word's frequency a in a study corpus of c tokens with b in a reference of d
tokens: log-likelihood (G2, negative where the word is relatively more frequent in the
reference), Pearson's chi-square, Log Ratio (a zero frequency taken as 0.5), %DIFF, BIC
(ll - ln(c + d)) and the p-value of |G2| (chi-square, one degree of freedom). Everything is
double precision; the native engine counts and scores, NumPy does the same where it is not
built.
"""

import math
import os

import numpy as np

from .table import Table, Utf8

__all__ = ["DISPERSION_MEASURES", "KEYNESS_MEASURES", "dispersion_measures", "keyness_scores",
           "reference_list"]

DISPERSION_MEASURES = ("range", "dp", "dp_norm", "juilland_d")
KEYNESS_MEASURES = ("ll", "chi2", "log_ratio", "pct_diff", "bic", "p")


def _engine():
    try:
        from . import _engine as engine
    except ImportError:
        return None
    return engine


# ---------------------------------------------------------------------------------------------
# Dispersion

def dispersion_measures(item, part, count, part_tokens, items):
    """The measures of ``items`` items from records (item, part, count) of the parts they occur
    in (each pair at most once, counts above 0); ``part_tokens`` gives every part's size, all
    above 0. Returns a dict of freq, range (int64) and dp, dp_norm, juilland_d (float64)
    arrays indexed by item."""
    item = np.asarray(item, dtype=np.int64)
    part = np.asarray(part, dtype=np.int64)
    count = np.asarray(count, dtype=np.int64)
    t = np.asarray(part_tokens, dtype=np.int64)
    n = len(t)
    total = float(t.sum())
    freq = np.bincount(item, weights=count, minlength=items).astype(np.int64)
    rng = np.bincount(item, minlength=items).astype(np.int64)
    with np.errstate(divide="ignore", invalid="ignore"):
        share = t[part] / total
        # A part without the item adds t_i / T to the sum: together, 1 - the parts it is in.
        inside = np.bincount(item, weights=share, minlength=items)
        gap = np.abs(count / freq[item] - share)
        dp = 0.5 * (np.bincount(item, weights=gap, minlength=items) + (1.0 - inside))
        p = count / t[part]
        mean = np.bincount(item, weights=p, minlength=items) / n if n else np.zeros(items)
        dev = np.bincount(item, weights=(p - mean[item]) ** 2, minlength=items)
        sd = np.sqrt((dev + (n - rng) * mean * mean) / n) if n else np.zeros(items)
        if n > 1:
            dp_norm = dp / (1.0 - t.min() / total)
            jd = 1.0 - (sd / mean) / math.sqrt(n - 1)
        else:
            dp_norm = np.full(items, np.nan)
            jd = np.full(items, np.nan)
    absent = freq == 0
    for col in (dp, dp_norm, jd):
        col[absent] = np.nan
    return {"freq": freq, "range": rng, "dp": dp, "dp_norm": dp_norm, "juilland_d": jd}


def term_measures(term, hits, tokens):
    """A one-row table (term, freq, range, dp, dp_norm, juilland_d) of a term's hits per text
    and the texts' tokens; texts without tokens are left out."""
    hits = np.asarray(hits, dtype=np.int64)
    tokens = np.asarray(tokens, dtype=np.int64)
    keep = tokens > 0
    hits, tokens = hits[keep], tokens[keep]
    present = np.flatnonzero(hits > 0)
    m = dispersion_measures(np.zeros(len(present), dtype=np.int64), present, hits[present],
                            tokens, 1)
    columns = {"term": Utf8.from_strings([term], "term")}
    columns.update((k, m[k]) for k in ("freq",) + DISPERSION_MEASURES)
    return Table(columns, {"term": term, "texts": int(keep.sum()),
                           "tokens": int(tokens.sum())})


def _group_measures_numpy(corpus, group_of, groups):
    """The engine's word_dispersion done with NumPy over the token arrays: (measures by group,
    the number of texts with tokens)."""
    lex = corpus._lexicon()
    items, parts, counts, sizes = [], [], [], []
    for path in corpus._files():
        arr = np.load(path, mmap_mode="r", allow_pickle=False)
        if arr.ndim != 2 or arr.shape[0] == 0:
            if arr.size:
                raise ValueError(f"{path} is not a token array")
            continue
        dense = lex.word_index(np.asarray(arr[:, 0]))
        if (dense < 0).any():
            raise ValueError(f"{path} holds a word id the corpus's dictionary lacks")
        g, c = np.unique(group_of[dense], return_counts=True)
        items.append(g)
        counts.append(c)
        parts.append(np.full(len(g), len(sizes), dtype=np.int64))
        sizes.append(arr.shape[0])
    cat = (lambda xs: np.concatenate(xs) if xs else np.zeros(0, dtype=np.int64))
    return (dispersion_measures(cat(items), cat(parts), cat(counts), sizes, groups),
            len(sizes))


def with_dispersion(corpus, table, lowercase):
    """The word table (rows and order as they are) with the four dispersion columns added."""
    from ._lexicon import Unsupported
    try:
        lex = corpus._lexicon()
    except Unsupported as e:
        raise ValueError(f"dispersion cannot be counted for this corpus: {e}") from None
    group_of, strings = ((lex.lower_group, lex.lower_forms) if lowercase
                         else (lex.form_group, lex.forms))
    engine = _engine()
    measures = None
    if engine is not None:
        try:
            _first, *cols, parts, _tokens = engine.word_dispersion(
                corpus._files(), lex.word_ids, group_of, len(strings))
            names = ("freq", "range", "dp", "dp_norm", "juilland_d")
            kinds = (np.int64, np.int64, np.float64, np.float64, np.float64)
            measures = {n: np.frombuffer(c, dtype=k) for n, c, k in zip(names, cols, kinds)}
        except Unsupported:
            measures = None
    if measures is None:
        measures, parts = _group_measures_numpy(corpus, group_of, len(strings))
    row = match_strings(Utf8._trusted(*strings.pair()), table.column("word"))
    if (row < 0).any() or not np.array_equal(measures["freq"][row], table["freq"]):
        # The word list and the count over the token arrays disagree: no number is better
        # than a wrong one.
        raise RuntimeError("the dispersion counts do not match the word list")
    columns = {name: table.column(name) for name in table.columns}
    columns.update((k, measures[k][row]) for k in DISPERSION_MEASURES)
    return Table(columns, dict(table.meta, parts=int(parts)))


# ---------------------------------------------------------------------------------------------
# Keyness

def match_strings(strings, others):
    """For each string of ``others`` (a Utf8 column) its row in ``strings``, or -1."""
    engine = _engine()
    if engine is not None:
        at = engine.match_strings((strings.offsets, strings.data),
                                  (others.offsets, others.data))
        return np.frombuffer(at, dtype=np.int64)
    row = {}
    for i, s in enumerate(strings.to_numpy()):
        row.setdefault(s, i)
    return np.fromiter((row.get(s, -1) for s in others.to_numpy()), dtype=np.int64,
                       count=len(others))


def _scores_numpy(a, b, c, d):
    a = a.astype(np.float64)
    b = b.astype(np.float64)
    n = float(c + d)
    with np.errstate(divide="ignore", invalid="ignore"):
        e1 = c * (a + b) / n
        e2 = d * (a + b) / n
        g = 2.0 * (np.where(a > 0, a * np.log(a / e1), 0.0)
                   + np.where(b > 0, b * np.log(b / e2), 0.0))
        g = np.maximum(g, 0.0)
        ll = np.where((c > 0) & (d > 0) & (b / d > a / c), -g, g)
        cross = a * (d - b) - b * (c - a)
        denom = (a + b) * (n - a - b) * c * d
        chi2 = np.where(denom > 0, n * cross * cross / denom, np.nan)
        if c > 0 and d > 0:
            log_ratio = np.log2((np.where(a > 0, a, 0.5) / c) / (np.where(b > 0, b, 0.5) / d))
            pct = np.where(b > 0, 100.0 * (a / c - b / d) / (b / d),
                           np.where(a > 0, np.inf, np.nan))
        else:
            log_ratio = pct = np.full(len(a), np.nan)
        bic = ll - math.log(n) if n > 0 else np.full(len(a), np.nan)
        p = _chi2_tail(g)
    return ll, chi2, log_ratio, pct, bic, p


def _chi2_tail(g):
    erfc = np.frompyfunc(math.erfc, 1, 1)
    return erfc(np.sqrt(g / 2.0)).astype(np.float64)


def keyness_scores(freq, ref_freq, tokens, ref_tokens):
    """A dict of the six scores (float64 arrays) of words with frequencies ``freq`` in a study
    corpus of ``tokens`` tokens and ``ref_freq`` in a reference of ``ref_tokens``."""
    a = np.ascontiguousarray(freq, dtype=np.int64)
    b = np.ascontiguousarray(ref_freq, dtype=np.int64)
    engine = _engine()
    if engine is not None:
        cols = [np.frombuffer(x, dtype=np.float64)
                for x in engine.keyness_scores(a, b, int(tokens), int(ref_tokens))]
    else:
        cols = _scores_numpy(a, b, int(tokens), int(ref_tokens))
    return dict(zip(KEYNESS_MEASURES, cols))


_REFERENCE_CACHE = {}


def reference_list(language, lowercase=True):
    """(words as Utf8, frequencies, size) of the shipped reference list of ``language``. A word
    on two lines keeps the later frequency, and both count in the size (the size is the sum of
    every line's frequency). ``lowercase`` merges words that are equal once lower-cased."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                        f"reflist_{language}.tab")
    stamp = os.stat(path).st_mtime_ns
    key = (path, bool(lowercase))
    hit = _REFERENCE_CACHE.get(key)
    if hit is not None and hit[0] == stamp:
        return hit[1]
    freq, size = {}, 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.strip().split("\t")
            if len(fields) < 2:  # an empty line, or a word without a frequency
                continue
            value = int(fields[1])
            freq[fields[0]] = value
            size += value
    if lowercase:
        merged = {}
        for w, v in freq.items():
            lw = w.lower()
            merged[lw] = merged.get(lw, 0) + v
        freq = merged
    result = (Utf8.from_strings(list(freq), "word"),
              np.fromiter(freq.values(), dtype=np.int64, count=len(freq)), size)
    _REFERENCE_CACHE[key] = (stamp, result)
    return result


def _concat(a, b):
    offsets = np.concatenate((a.offsets, b.offsets[1:] + a.offsets[-1]))
    data = np.concatenate((a.data[:int(a.offsets[-1])], b.data[:int(b.offsets[-1])]))
    return Utf8._trusted(offsets, data)


def _order(table, sort):
    """Row order for sorting by a column: numbers largest first (NaN last), except p, whose
    smallest (the most significant) come first; words alphabetically; stable."""
    values = table[sort]
    if sort == "word":
        return np.argsort(values, kind="stable")
    values = np.asarray(values, dtype=np.float64)
    return np.lexsort((values if sort == "p" else -values, np.isnan(values)))


def keyword_table(words, freq, tokens, ref_words, ref_freq, ref_tokens, *, measures,
                  reference_rows, min_freq, sort, meta):
    """The keyness table: rank, word, freq, ref_freq, per_million, ref_per_million and one
    column per measure. ``reference_rows``: words only the reference has are rows too."""
    at = match_strings(words, ref_words)
    b = np.zeros(len(freq), dtype=np.int64)
    found = at >= 0
    np.add.at(b, at[found], ref_freq[found])
    a = np.asarray(freq, dtype=np.int64)
    if reference_rows:
        only = np.flatnonzero(~found)
        words = _concat(words, ref_words.take(only))
        a = np.concatenate((a, np.zeros(len(only), dtype=np.int64)))
        b = np.concatenate((b, ref_freq[only]))
    keep = (a >= min_freq) | (b >= min_freq)
    if not keep.all():
        rows = np.flatnonzero(keep)
        words, a, b = words.take(rows), a[rows], b[rows]
    scores = keyness_scores(a, b, tokens, ref_tokens)
    with np.errstate(divide="ignore", invalid="ignore"):
        pm = a * (1e6 / tokens) if tokens else np.full(len(a), np.nan)
        ref_pm = b * (1e6 / ref_tokens) if ref_tokens else np.full(len(b), np.nan)
    columns = {"rank": np.arange(1, len(a) + 1, dtype=np.int64), "word": words, "freq": a,
               "ref_freq": b, "per_million": pm, "ref_per_million": ref_pm}
    columns.update((m, scores[m]) for m in measures)
    table = Table(columns, dict(meta, tokens=int(tokens), ref_tokens=int(ref_tokens),
                                measures=tuple(measures)))
    if sort == "first":
        return table
    table = table.take(_order(table, sort))
    return table.with_columns(rank=np.arange(1, len(table) + 1, dtype=np.int64))
