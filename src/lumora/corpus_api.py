"""`lumora.Corpus`: one object for every analysis of a prepared corpus folder, each returning a
columnar `lumora.Table`.

The seven modules are the reference of every number. Where the native engine counts an analysis
its rows equal the module's; where it cannot reproduce a corpus exactly (or is not built), the
module itself runs. ``sort="first"`` keeps the modules' own order (first occurrence, or the word
list's order for keywords); other sorts are stable and renumber the rows from 1.
"""

import builtins
import importlib
import os
import pickle

import numpy as np

from . import corpus as _prep
from .corpus import CorpusError, locate, read_info
from .table import Table, Utf8

__all__ = ["Corpus", "CorpusError", "open", "prepare", "from_texts"]

_KEYWORD_MEASURES = {"ll": 1, "chi2": 2}


def _module(name, what):
    try:
        return importlib.import_module("lumora." + name)
    except ImportError as e:
        raise ImportError(f"{what} needs the module lumora.{name}, which is not available "
                          f"here ({e})") from e


def _engine_part(name):
    """The engine's Python side for an analysis, or None when it (or the engine) is missing."""
    try:
        importlib.import_module("lumora._engine")
        return importlib.import_module("lumora." + name)
    except ImportError:
        return None


def _choice(arg, value, allowed):
    if value not in allowed:
        options = ", ".join(repr(a) for a in allowed)
        raise ValueError(f"{arg} must be one of {options}; got {value!r}")
    return value


def _integer(arg, value, low, high):
    if isinstance(value, bool) or not hasattr(value, "__index__"):
        raise TypeError(f"{arg} must be an integer from {low} to {high}; got {value!r}")
    value = value.__index__()
    if not low <= value <= high:
        raise ValueError(f"{arg} must be an integer from {low} to {high}; got {value!r}")
    return value


def _term(arg, value, most):
    if not isinstance(value, str):
        raise TypeError(f"{arg} must be a str; got {type(value).__name__}")
    words = value.split()
    if not 1 <= len(words) <= most:
        n = "one word" if most == 1 else f"one to {most} words"
        raise ValueError(f"{arg} must have {n}; got {value!r}")
    return " ".join(words)


_COLUMN_TYPES = {int: np.int64, float: np.float32}


def _rows_table(rows, names, kinds, meta, cls=None, **extra):
    """A Table from a module's rows. kinds: per column, int, float (single precision, as the
    modules compute them), float64 or str."""
    columns = {}
    values = list(zip(*rows)) if rows else [() for _ in names]
    for name, kind, col in zip(names, kinds, values):
        if kind is str:
            columns[name] = Utf8.from_strings(col, name)
        elif kind == "float64":
            columns[name] = np.array(col, dtype=np.float64)
        else:
            columns[name] = np.array(col, dtype=_COLUMN_TYPES[kind])
    if cls is None:
        return Table(columns, meta)
    return cls(columns, meta, **extra)


def _ranked(table, sort, keys):
    """The table in the order sort asks for. keys: sort name -> columns to order by (largest
    first, stable); "first" keeps the table's order. The first column is renumbered from 1."""
    rank = table.columns[0]
    if sort != "first":
        rest = table.select(*table.columns[1:]).sort(keys[sort], descending=True)
        columns = {rank: np.arange(1, len(rest) + 1, dtype=np.int64)}
        columns.update((name, rest.column(name)) for name in rest.columns)
        return Table(columns, table.meta)
    return table.with_columns(**{rank: np.arange(1, len(table) + 1, dtype=np.int64)})


class Corpus:
    """A prepared, indexed corpus folder.

    Open one with :func:`lumora.open`, or make one with :func:`lumora.prepare` (files and
    folders of texts) or :func:`lumora.from_texts` (texts in memory).
    """

    def __init__(self, path):
        folder = os.path.abspath(os.fspath(path))
        npy = os.path.join(folder, "data", "npy")
        idx = os.path.join(folder, "data", "idx")
        if not os.path.isdir(folder):
            raise CorpusError(f"no corpus at {os.fspath(path)}: no such folder")
        missing = [p for p in (npy, os.path.join(idx, "words.pickle"),
                               os.path.join(idx, "tags.pickle"))
                   if not os.path.exists(p)]
        if missing:
            rel = os.path.relpath(missing[0], folder)
            raise CorpusError(f"{os.fspath(path)} is not a prepared corpus folder ({rel} is "
                              "missing)")
        tmp1 = os.path.join(folder, "data", "tmp1")
        if os.path.isdir(tmp1) and os.listdir(tmp1) and not os.listdir(npy):
            raise CorpusError(f"{os.fspath(path)} is not indexed yet (data/npy/ is empty)")
        self._folder = folder
        self._workspace, self._name = locate(folder)
        self._info = read_info(folder) or {}
        self._cache = {}

    # -- what the corpus is -------------------------------------------------------------------

    @property
    def path(self):
        """The corpus folder, an absolute path."""
        return self._folder

    @property
    def language(self):
        """The language code the corpus was prepared with ("en" when it does not say)."""
        return self._info.get("language") or "en"

    @property
    def texts(self):
        """The text names, in the order the analyses visit them."""
        return [n[:-4] if n.endswith(".npy") else n for n in self._listing()]

    @property
    def tokens(self):
        """The number of tokens of all texts."""
        if "tokens" not in self._cache:
            total = 0
            for p in self._files():
                arr = np.load(p, mmap_mode="r")
                total += arr.shape[0] if arr.ndim == 2 else 0
            self._cache["tokens"] = total
        return self._cache["tokens"]

    @property
    def types(self):
        """The number of distinct word forms."""
        if "types" not in self._cache:
            self._cache["types"] = len(self._dictionary("words"))
        return self._cache["types"]

    @property
    def tags(self):
        """The tags of the corpus, sorted."""
        return sorted(set(self._dictionary("tags").values()), key=str)

    def __repr__(self):
        return (f"<lumora.Corpus {self._folder!r}: {len(self._listing()):,} texts, "
                f"language {self.language!r}>")

    def __len__(self):
        return len(self._listing())

    # -- shared by the engine's parts ---------------------------------------------------------

    def _listing(self):
        return os.listdir(os.path.join(self._folder, "data", "npy"))

    def _files(self):
        npy = os.path.join(self._folder, "data", "npy")
        return [os.path.join(npy, n) for n in self._listing()]

    def _dictionary(self, which):
        key = "dict:" + which
        if key not in self._cache:
            path = os.path.join(self._folder, "data", "idx", which + ".pickle")
            with builtins.open(path, "rb") as f:
                self._cache[key] = pickle.load(f)
        return self._cache[key]

    def _lexicon(self):
        if "lexicon" not in self._cache:
            from ._lexicon import Lexicon
            self._cache["lexicon"] = Lexicon.from_folder(self._folder)
        return self._cache["lexicon"]

    def _native(self, part, fn, *args, **kw):
        """The engine's columns for an analysis, or None when the module must run instead."""
        mod = _engine_part(part)
        if mod is None or not hasattr(mod, fn):
            return None
        from ._lexicon import Unsupported
        try:
            return getattr(mod, fn)(self, *args, **kw)
        except Unsupported:
            return None

    def _check_tags(self, arg, tags, most=None):
        if tags is None:
            return None
        if not isinstance(tags, str):
            raise TypeError(f"{arg} must be a str of tags separated by spaces, or None; got "
                            f"{type(tags).__name__}")
        pieces = tags.split()
        if not pieces:
            raise ValueError(f"{arg} needs at least one tag; got {tags!r}")
        if most is not None and len(pieces) > most:
            raise ValueError(f"{arg} takes {most} tag{'s' if most > 1 else ''}; got {tags!r}")
        known = set(self._dictionary("tags").values())
        for tag in pieces:
            if tag not in known:
                listing = ", ".join(sorted(map(str, known))) or "none"
                raise ValueError(f"unknown tag {tag!r} in {arg} (tags in this corpus: "
                                 f"{listing})")
        return " ".join(pieces)

    # -- analyses -----------------------------------------------------------------------------

    def words(self, *, lowercase=False, sort="freq", dispersion=False):
        """Every word form with its frequency: columns rank, word, freq. ``lowercase`` merges
        case variants. ``dispersion=True`` adds how evenly each word is spread over the texts
        with tokens: range, dp, dp_norm and juilland_d (see lumora.stats). ``meta``: tokens,
        types, type_token, hapax."""
        _choice("sort", sort, ("freq", "first"))
        lowercase = bool(lowercase)
        native = self._native("_counts", "words", lowercase=lowercase)
        if native is None:
            mod = _module("lm_vocab", "the word list")
            tokens, types, ttr, hapax, rows = mod.make_wordlist(
                self._workspace, self._name, self.language, lowercase)
            table = _rows_table(rows, ("rank", "word", "freq"), (int, str, int),
                                {"tokens": tokens, "types": types, "type_token": ttr,
                                 "hapax": hapax, "texts": len(self)})
        else:
            table = Table(*native)
        table = _ranked(table, sort, {"freq": ["freq"]})
        if dispersion:
            from . import stats
            table = stats.with_dispersion(self, table, lowercase)
        return table

    def wordtags(self, *, lowercase=False, sort="freq"):
        """Every (word, tag) pair with its frequency and share of all tokens: columns rank,
        word, tag, freq, percent. ``lowercase`` merges case variants."""
        _choice("sort", sort, ("freq", "first"))
        lowercase = bool(lowercase)
        native = self._native("_counts", "wordtags", lowercase=lowercase)
        if native is None:
            mod = _module("lm_tagfreq", "the word+tag list")
            rows = mod.make_wtfreq(self._workspace, self._name, self.language, lowercase)
            table = _rows_table(rows, ("rank", "word", "tag", "freq", "percent"),
                                (int, str, str, int, float), {"texts": len(self)})
        else:
            table = Table(*native)
        return _ranked(table, sort, {"freq": ["freq"]})

    def ranges(self, *, lowercase=False, sort="freq"):
        """In how many texts each word occurs (punctuation left out): columns rank, word,
        texts, percent (of all texts)."""
        _choice("sort", sort, ("freq", "first"))
        lowercase = bool(lowercase)
        native = self._native("_counts", "ranges", lowercase=lowercase)
        if native is None:
            mod = _module("lm_docfreq", "the range list")
            rows = mod.make_wfreqinfiles(self._workspace, self._name, self.language, lowercase)
            table = _rows_table(rows, ("rank", "word", "texts", "percent"),
                                (int, str, int, float), {"texts": len(self)})
        else:
            table = Table(*native)
        return _ranked(table, sort, {"freq": ["texts"]})

    def ngrams(self, size, *, tags=None, lowercase=False, min_freq=1, sort="freq"):
        """Every sequence of ``size`` tokens (1 to 5) with frequency and range; n-grams with a
        punctuation-only token are left out. ``tags``: a tag per position ("ADJ NOUN") that
        the n-grams must carry. Columns rank, ngram, freq, texts, percent (of all texts)."""
        size = _integer("size", size, 1, 5)
        min_freq = _integer("min_freq", min_freq, 1, 2**63 - 1)
        _choice("sort", sort, ("freq", "texts", "first"))
        tags = self._check_tags("tags", tags)
        lowercase = bool(lowercase)
        # The engine ranks by frequency itself; its strings are joins of the lexicon's.
        ranked = sort == "freq"
        native = self._native("_ngrams", "ngrams", size, tags=tags, lowercase=lowercase,
                              ranked=ranked)
        if native is None:
            ranked = False
            mod = _module("lm_sequences", "n-grams")
            rows = mod.make_ngrams(self._workspace, self._name, tags, size, lowercase)
            table = _rows_table(rows, ("rank", "ngram", "freq", "texts", "percent"),
                                (int, str, int, int, float), {"texts": len(self)})
        else:
            columns, meta = native
            columns["ngram"] = Utf8._trusted(*columns["ngram"])
            table = Table(columns, meta)
            if min_freq == 1 and (ranked or sort == "first"):
                return table  # in order and numbered from 1 already
        if min_freq > 1:
            table = table.filter(table["freq"] >= min_freq)
        return _ranked(table, "first" if ranked else sort,
                       {"freq": ["freq"], "texts": ["texts", "freq"]})

    def clusters(self, word, *, size=2, tag=None, case_sensitive=False, sort="freq"):
        """The sequences of ``size`` tokens (1 to 3) that contain the search word, with
        frequency and range: columns rank, cluster, freq, texts, percent. ``tag``: only
        occurrences of the word with this tag. ``case_sensitive=False`` finds every case
        variant of the word; True only the exact form."""
        word = _term("word", word, 1)
        size = _integer("size", size, 1, 3)
        _choice("sort", sort, ("freq", "texts", "first"))
        tag = self._check_tags("tag", tag, most=1)
        case_sensitive = bool(case_sensitive)
        native = self._native("_counts", "clusters", word, size=size, tag=tag,
                              case_sensitive=case_sensitive)
        if native is None:
            mod = _module("lm_bundles", "clusters")
            rows = mod.make_clusters(self._workspace, self._name, word, tag, case_sensitive,
                                     size)
            table = _rows_table(rows, ("rank", "cluster", "freq", "texts", "percent"),
                                (int, str, int, int, float), {"texts": len(self)})
        else:
            table = Table(*native)
        return _ranked(table, sort, {"freq": ["freq"], "texts": ["texts", "freq"]})

    def dispersion(self, term, *, tags=None, case_sensitive=False, regexp=False):
        """Where a search term of one to three words occurs in each text: columns text,
        tokens, hits and the hits in each fifth of the text (``s1`` to ``s5``), one row per
        text in listing order. ``positions`` of the result: each text's hit positions in
        percent. ``meta``: the five section totals and the hits."""
        term = _term("term", term, 3)
        tags = self._check_tags("tags", tags)
        if tags is not None and len(tags.split()) != len(term.split()):
            raise ValueError(f"tags must give one tag per word of the term; got {tags!r} for "
                             f"{term!r}")
        if regexp:
            import re
            for w in term.split():
                try:
                    re.compile(w if case_sensitive else w.lower())
                except re.error as e:
                    raise ValueError(f"bad regular expression {w!r} in term: {e}") from None
        mod = _module("lm_spread", "dispersion")
        totals, positions, rows = mod.make_dispersion(self._workspace, self._name, term, tags,
                                                      bool(case_sensitive), bool(regexp))
        names = ("text", "tokens", "hits", "s1", "s2", "s3", "s4", "s5")
        return _rows_table([r[1:] for r in rows], names,
                           (str, int, int, int, int, int, int, int),
                           {"term": term, "hits": sum(r[3] for r in rows),
                            "sections": tuple(totals), "texts": len(rows)},
                           cls=Dispersion, positions=positions)

    def kwic(self, query, *, width=5, sort=None, case_sensitive=False, tags=None,
             regexp=False, within="text", limit=None):
        """Concordance lines of a query (a plain query of words, or a token pattern such as
        ``[tag="ADJ"] [lower="dogs?"]``): columns text, position (of the match's first token
        in its text), left, node, right, up to ``width`` tokens each side (never beyond the
        text, or the sentence with ``within="sentence"``). ``sort``: levels such as "R1" or
        "L1 R1 R2" or "node", by lower-cased token, stable. ``limit``: only the first hits
        in corpus order. Raises lumora.QueryError for a query it cannot read."""
        from . import _concord
        return _concord.kwic(self, query, width=width, sort=sort,
                             case_sensitive=case_sensitive, tags=tags, regexp=regexp,
                             within=within, limit=limit)

    def collocates(self, query, *, span=(4, 4), min_freq=2, within="text", lowercase=False,
                   measures=("mi", "t", "ll", "logdice"), sort=None, case_sensitive=False,
                   tags=None, regexp=False):
        """The words in a window of ``span`` (before, after) tokens round each hit of a query,
        with their window and corpus frequencies and association ``measures`` (mi, mi3, t, z,
        ll, dice, logdice, logratio, deltap): columns collocate, freq, left, right,
        corpus_freq and one per measure, sorted by the first measure unless ``sort`` names
        another column. ``meta``: N, R1 (window positions) and hits."""
        from . import _concord
        return _concord.collocates(self, query, span=span, min_freq=min_freq, within=within,
                                   lowercase=lowercase, measures_=measures, sort=sort,
                                   case_sensitive=case_sensitive, tags=tags, regexp=regexp)

    def keywords(self, reference=None, *, language=None, measure="ll", sort=None,
                 measures=None, lowercase=True, min_freq=1):
        """Keywords of the corpus.

        Without ``reference`` and ``measures``: every word of the lower-cased word list scored
        against the reference list of ``language`` (default: the corpus's own) by
        log-likelihood (``measure="ll"``) or chi-square (``"chi2"``), single precision:
        columns rank, word, freq, score; ``sort`` "score" (default), "freq" or "first".

        With ``reference`` (a language code of a shipped reference list, or another Corpus;
        default: ``language``, else the corpus's language; not both) or ``measures``:
        double-precision statistics, columns rank, word, freq, ref_freq, per_million,
        ref_per_million and one per measure of ``measures`` (default all: ll, chi2,
        log_ratio, pct_diff, bic, p; see lumora.stats).
        Words are lower-cased forms unless ``lowercase=False``. A row is kept when its
        frequency in either corpus is at least ``min_freq``, so words only the reference
        corpus has (negative keywords, rows of a reference Corpus) survive the default of 1.
        ``sort``: any column (numbers largest first, words alphabetically, stable), "first"
        for the word list's order; default the first measure. ``meta``: tokens (the study
        corpus's size), ref_tokens, reference, measures."""
        if reference is None and measures is None:
            sort = "score" if sort is None else sort
            return self._lm_keywords(language, measure, sort)
        if language is not None:
            if reference is not None:
                raise TypeError("keywords() takes a reference or a language, not both (the "
                                "reference may be a language code)")
            reference = language
        return self._keyness(reference, measures, bool(lowercase), min_freq, sort)

    def _lm_keywords(self, language, measure, sort):
        _choice("measure", measure, tuple(_KEYWORD_MEASURES))
        _choice("sort", sort, ("score", "freq", "first"))
        language = self.language if language is None else language
        _check_language(language)
        mod = _module("lm_keyness", "keywords")
        rows = mod.make_keywords(self._workspace, self._name, language,
                                 _KEYWORD_MEASURES[measure])
        table = _rows_table(rows, ("rank", "word", "freq", "score"), (int, str, int, float),
                            {"language": language, "measure": measure, "texts": len(self)})
        return _ranked(table, sort, {"score": ["score"], "freq": ["freq"]})

    def _keyness(self, reference, measures, lowercase, min_freq, sort):
        from . import stats
        if measures is None:
            measures = stats.KEYNESS_MEASURES
        elif isinstance(measures, str):
            measures = (measures,)
        measures = tuple(measures)
        if not measures:
            raise ValueError("measures needs at least one measure")
        for m in measures:
            _choice("measures", m, stats.KEYNESS_MEASURES)
        min_freq = _integer("min_freq", min_freq, 0, 2**63 - 1)
        columns = ("rank", "word", "freq", "ref_freq", "per_million", "ref_per_million")
        sort = measures[0] if sort is None else sort
        _choice("sort", sort, columns[1:] + measures + ("first",))
        study = self.words(lowercase=lowercase, sort="first")
        if reference is None:
            reference = self.language
        if isinstance(reference, Corpus):
            ref = reference.words(lowercase=lowercase, sort="first")
            ref_words, ref_freq, ref_tokens = (ref.column("word"), ref["freq"],
                                               ref.meta["tokens"])
            meta = {"reference": reference.path}
        elif isinstance(reference, str):
            _check_language(reference)
            ref_words, ref_freq, ref_tokens = stats.reference_list(reference, lowercase)
            meta = {"reference": reference}
        else:
            raise TypeError(f"reference must be a language code or a lumora.Corpus; got "
                            f"{type(reference).__name__}")
        meta.update(lowercase=lowercase, texts=len(self))
        return stats.keyword_table(study.column("word"), study["freq"], study.meta["tokens"],
                                   ref_words, ref_freq, ref_tokens, measures=measures,
                                   reference_rows=isinstance(reference, Corpus),
                                   min_freq=min_freq, sort=sort, meta=meta)


class Dispersion(Table):
    """The dispersion table of a search term; ``positions`` maps each text to the percent
    positions of its hits."""

    def __init__(self, columns, meta=None, positions=None):
        super().__init__(columns, meta)
        self.positions = {} if positions is None else positions

    def plot(self, path=None, *, skip_empty=False, texts=None, title=None):
        """A dispersion plot: one row per text with a mark at each hit's position (see
        :func:`lumora.plot.dispersion`, which also draws several terms in one figure). Returns
        the matplotlib Figure; writes it to ``path`` (.png, .svg, .pdf) when given."""
        from . import plot
        return plot.dispersion(self, path, skip_empty=skip_empty, texts=texts, title=title)

    @property
    def measures(self):
        """The term's dispersion over the texts with tokens: a one-row table of term, freq,
        range, dp, dp_norm and juilland_d (see lumora.stats)."""
        from . import stats
        return stats.term_measures(self.meta.get("term", ""), self["hits"], self["tokens"])


def _check_language(language):
    available = reference_languages()
    if language not in available:
        raise ValueError(f"no reference list for language {language!r} (available: "
                         f"{', '.join(available) or 'none'})")


def reference_languages():
    """Language codes with a shipped reference list."""
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")
    try:
        names = os.listdir(folder)
    except OSError:
        return []
    return sorted(n[len("reflist_"):-len(".tab")] for n in names
                  if n.startswith("reflist_") and n.endswith(".tab"))


def open(path):  # noqa: A001 - lumora.open, as the package's users call it
    """Open a prepared, indexed corpus folder."""
    return Corpus(path)


def prepare(sources, path, *, language="en", fmt="auto", tagger="auto", encoding="utf-8",
            progress=None):
    """Prepare and index a corpus folder from files and folders of texts (plain text, vertical,
    CoNLL-U) and open it. An existing corpus at ``path`` is replaced only once the new one is
    complete."""
    info = _prep.prepare(sources, path, fmt=fmt, language=language, tagger=tagger,
                         encoding=encoding, progress=progress)
    return Corpus(info.folder)


def from_texts(texts, path, *, language="en", tagger="rules"):
    """Prepare and index a corpus folder from texts in memory (a mapping or pairs of text name
    to text) and open it."""
    info = _prep.prepare_texts(texts, path, language=language, tagger=tagger)
    return Corpus(info.folder)
