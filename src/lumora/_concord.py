"""Concordance lines and collocates of a query, counted by the native engine.

The query is parsed and compiled into tables over the corpus's distinct word forms and tags
(:mod:`lumora.query`); the engine finds the hits text by text and writes lines or window counts
into column buffers. Collocate measures are computed here over the distinct collocates, in
double precision.
"""

import numpy as np

from .corpus import CorpusError
from .query import compile_query, parse
from .table import Table, Utf8, native_engine

__all__ = ["MEASURES", "collocates", "hits", "kwic"]

MEASURES = ("mi", "mi3", "t", "z", "ll", "dice", "logdice", "logratio", "deltap")
_WITHIN = ("text", "sentence")
_SIDES = {"L": 0, "NODE": 1, "R": 2}




def _attributes(corpus, lex):
    key = "query:attributes"
    if key not in corpus._cache:
        corpus._cache[key] = {
            "word": (lex.forms.tolist(), lex.form_group),
            "lower": (lex.lower_forms.tolist(), lex.lower_group),
            "tag": (lex.tag_forms.tolist(), lex.tag_group),
        }
    return corpus._cache[key]


def _prepared(corpus, query, case_sensitive, tags, regexp):
    if tags is not None and not isinstance(query, str):
        raise TypeError(f"query must be a str; got {type(query).__name__}")
    if tags is not None and not str(query).lstrip().startswith("["):
        tags = corpus._check_tags("tags", tags)
    parsed = parse(query, case_sensitive=bool(case_sensitive), tags=tags, regexp=bool(regexp))
    lex = corpus._lexicon()
    program = compile_query(parsed, _attributes(corpus, lex))
    return parsed, lex, program


def _load(path):
    """A token array as NumPy reads it, as the int64 (n, k) array the engine takes."""
    arr = np.load(path)
    if arr.ndim == 1 and arr.shape[0] == 0:
        return np.zeros((0, 4), dtype=np.int64)
    if arr.ndim != 2 or arr.dtype.kind not in "iub":
        raise CorpusError(f"{path} is not a token array: a {arr.ndim}-dimensional "
                          f"{arr.dtype} array")
    return np.ascontiguousarray(arr, dtype=np.int64)


def _run(corpus, fn, lex, program, within, *args, **kw):
    """Calls an engine query function over every token array. Files the native reader refuses
    are read by NumPy and handed over as arrays."""
    from ._lexicon import Unsupported
    files = corpus._files()
    call = getattr(native_engine("queries"), fn)
    try:
        try:
            return call(files, lex.word_ids, lex.tag_ids, program.arrays(),
                        within == "sentence", *args, **kw)
        except Unsupported:
            arrays = [_load(p) for p in files]
            return call(arrays, lex.word_ids, lex.tag_ids, program.arrays(),
                        within == "sentence", *args, **kw)
    except LookupError as e:
        # "text N: ..." from the engine, N the text's place in the listing.
        head, _, rest = str(e).partition(": ")
        try:
            name = corpus.texts[int(head.split()[1])]
        except (IndexError, ValueError):
            name = head
        raise CorpusError(f"text {name!r}: {rest}") from None


def _int64(buf):
    return np.frombuffer(buf, dtype=np.int64)


def _strings(pair):
    offsets, data = pair
    return (np.frombuffer(offsets, dtype=np.int64), np.frombuffer(data, dtype=np.uint8))


def _within(within):
    if within not in _WITHIN:
        raise ValueError(f"within must be 'text' or 'sentence'; got {within!r}")
    return within


def hits(corpus, query, *, case_sensitive=False, tags=None, regexp=False, within="text",
         limit=None):
    """(text number, start, length) int64 arrays of every hit, in corpus order."""
    _within(within)
    _, lex, program = _prepared(corpus, query, case_sensitive, tags, regexp)
    text, start, length = _run(corpus, "query_hits", lex, program, within, limit)
    return _int64(text), _int64(start), _int64(length)


# -- concordance lines --------------------------------------------------------------------------

def _levels(sort, max_node):
    """Sort levels ("L2 R1 node") as (side, k) pairs; "node" stands for each node token."""
    if sort is None:
        return []
    if not isinstance(sort, str):
        raise TypeError(f"sort must be a str of levels such as 'R1' or 'L1 R1 R2'; got "
                        f"{type(sort).__name__}")
    levels = []
    for piece in sort.replace(",", " ").split():
        word = piece.upper()
        if word in ("NODE", "N", "C", "KWIC"):
            levels.extend((1, k) for k in range(1, max_node + 1))
            continue
        side, digits = word[:1], word[1:]
        if side not in ("L", "R") or not digits.isdigit() or int(digits) < 1:
            raise ValueError(f"unknown sort level {piece!r} in sort={sort!r} (levels are L1, "
                             "L2, ..., R1, R2, ... and node)")
        levels.append((_SIDES[side], int(digits)))
    if not levels:
        raise ValueError(f"sort needs at least one level; got {sort!r}")
    return levels


def _lower_rank(corpus, lex):
    """Per dense word entry, the rank of its lower-cased form among all lower-cased forms."""
    key = "query:lower_rank"
    if key not in corpus._cache:
        lower = _attributes(corpus, lex)["lower"][0]
        order = sorted(range(len(lower)), key=lower.__getitem__)
        rank = np.empty(len(lower), dtype=np.int64)
        rank[np.array(order, dtype=np.int64)] = np.arange(len(lower), dtype=np.int64)
        corpus._cache[key] = rank[lex.lower_group] if len(lex.lower_group) else rank[:0]
    return corpus._cache[key]


def kwic(corpus, query, *, width=5, sort=None, case_sensitive=False, tags=None, regexp=False,
         within="text", limit=None):
    _within(within)
    if isinstance(width, bool) or not isinstance(width, int) or width < 0:
        raise ValueError(f"width must be a non-negative integer; got {width!r}")
    if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)
                              or limit < 0):
        raise ValueError(f"limit must be a non-negative integer or None; got {limit!r}")
    parsed, lex, program = _prepared(corpus, query, case_sensitive, tags, regexp)
    levels = _levels(sort, parsed.max_length)
    flat = np.array([x for lv in levels for x in lv], dtype=np.int64)
    text, position, left, node, right, keys = _run(
        corpus, "query_kwic", lex, program, within, width, flat, lex.words.pair(), limit)
    text, position = _int64(text), _int64(position)
    names = Utf8.from_strings(corpus.texts, "text")
    table = Table({"text": names.take(text), "position": position, "left": _strings(left),
                   "node": _strings(node), "right": _strings(right)},
                  {"query": parsed.text, "hits": len(text), "width": width, "within": within})
    if levels and len(table):
        keys = np.frombuffer(keys, dtype=np.int32).reshape(len(table), len(levels))
        rank = _lower_rank(corpus, lex)
        order = np.arange(len(table))
        # A stable sort by each level from the last to the first; a missing token (-1) first.
        for j in reversed(range(len(levels))):
            dense = keys[order, j]
            key = np.where(dense < 0, -1, rank[np.maximum(dense, 0)])
            order = order[np.argsort(key, kind="stable")]
        table = table.take(order)
    return table


# -- collocates ---------------------------------------------------------------------------------

def _span(span):
    if isinstance(span, int) and not isinstance(span, bool):
        span = (span, span)
    try:
        left, right = span
    except (TypeError, ValueError):
        raise ValueError(f"span must be a pair (left, right) of non-negative integers; got "
                         f"{span!r}") from None
    for v in (left, right):
        if isinstance(v, bool) or not isinstance(v, int) or v < 0:
            raise ValueError(f"span must be a pair (left, right) of non-negative integers; "
                             f"got {span!r}")
    return left, right


def measures(o11, c1, r1, n, hits, names):
    """The association measures `names` of collocates with window frequency o11 and corpus
    frequency c1 (float64 arrays), for R1 window positions, N tokens and `hits` hits."""
    o11 = np.asarray(o11, dtype=np.float64)
    c1 = np.asarray(c1, dtype=np.float64)
    r1, n = float(r1), float(n)
    out = {}
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        e11 = r1 * c1 / n
        o12, o21, o22 = r1 - o11, c1 - o11, n - r1 - c1 + o11
        e12, e21, e22 = r1 * (n - c1) / n, (n - r1) * c1 / n, (n - r1) * (n - c1) / n
        for name in names:
            if name == "mi":
                v = np.log2(o11 / e11)
            elif name == "mi3":
                v = np.log2(o11 ** 3 / e11)
            elif name == "t":
                v = (o11 - e11) / np.sqrt(o11)
            elif name == "z":
                v = (o11 - e11) / np.sqrt(e11)
            elif name == "ll":
                # A cell that holds nothing adds nothing (nor does one below zero, which
                # overlapping windows can make of O12, O21 or O22).
                total = np.zeros_like(o11)
                for o, e in ((o11, e11), (o12, e12), (o21, e21), (o22, e22)):
                    total += np.where(o > 0, o * np.log(np.where(o > 0, o, 1.0) / e), 0.0)
                v = np.where(o11 < e11, -2.0 * total, 2.0 * total)
            elif name == "dice":
                v = 2.0 * o11 / (hits + c1)
            elif name == "logdice":
                v = 14.0 + np.log2(2.0 * o11 / (hits + c1))
            elif name == "logratio":
                v = np.log2((o11 / r1) / (np.where(o21 > 0, o21, 0.5) / (n - r1)))
            elif name == "deltap":
                v = o11 / r1 - o21 / (n - r1)
            else:
                raise ValueError(f"unknown measure {name!r}")
            out[name] = np.asarray(v, dtype=np.float64)
    return out


def _measure_names(measures_arg):
    if isinstance(measures_arg, str):
        names = [m for m in measures_arg.replace(",", " ").split()]
    else:
        names = list(measures_arg)
    for m in names:
        if m not in MEASURES:
            raise ValueError(f"unknown measure {m!r} (measures: {', '.join(MEASURES)})")
    return list(dict.fromkeys(names))


def collocates(corpus, query, *, span=(4, 4), min_freq=2, within="text", lowercase=False,
               measures_=("mi", "t", "ll", "logdice"), sort=None, case_sensitive=False,
               tags=None, regexp=False):
    _within(within)
    span_left, span_right = _span(span)
    if isinstance(min_freq, bool) or not isinstance(min_freq, int) or min_freq < 1:
        raise ValueError(f"min_freq must be a positive integer; got {min_freq!r}")
    names = _measure_names(measures_)
    parsed, lex, program = _prepared(corpus, query, case_sensitive, tags, regexp)
    left, right, freq, r1, n_hits, n = _run(corpus, "query_collocates", lex, program, within,
                                            span_left, span_right)
    left, right, freq = _int64(left), _int64(right), _int64(freq)
    if lowercase:
        group, strings = lex.lower_group, lex.lower_forms
    else:
        group, strings = lex.form_group, lex.forms
    groups = len(strings)
    g_left = np.bincount(group, weights=left, minlength=groups).astype(np.int64)
    g_right = np.bincount(group, weights=right, minlength=groups).astype(np.int64)
    g_freq = np.bincount(group, weights=freq, minlength=groups).astype(np.int64)
    o11 = g_left + g_right
    keep = np.flatnonzero(o11 >= min_freq)
    columns = {
        "collocate": Utf8(*strings.pair()).take(keep),
        "freq": o11[keep],
        "left": g_left[keep],
        "right": g_right[keep],
        "corpus_freq": g_freq[keep],
    }
    columns.update(measures(o11[keep], g_freq[keep], r1, n, n_hits, names))
    table = Table(columns, {"query": parsed.text, "N": int(n), "R1": int(r1),
                            "hits": int(n_hits), "span": (span_left, span_right),
                            "within": within})
    key = sort if sort is not None else (names[0] if names else "freq")
    if key not in columns:
        raise ValueError(f"sort must name a column ({', '.join(columns)}); got {sort!r}")
    if len(table):
        table = table.sort(key, descending=key != "collocate")
    return table
