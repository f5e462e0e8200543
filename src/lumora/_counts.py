"""Word lists, word+tag lists, ranges and clusters counted by the native engine, as columns.

Each function takes a corpus object (``path``, ``_files()``: the token-array paths in listing
order, ``_lexicon()``: its :class:`lumora._lexicon.Lexicon`) and returns ``(columns, meta)``:
``columns`` a dict of column name -> NumPy array, or ``(offsets, data)`` for strings, rows in the
modules' own order, so that the rows equal value for value those of

* ``words``: ``lm_vocab.make_wordlist(ws, name, language, lowercase)``'s word list;
* ``wordtags``: ``lm_tagfreq.make_wtfreq(ws, name, language, lowercase)``;
* ``ranges``: ``lm_docfreq.make_wfreqinfiles(ws, name, language, lowercase)``;
* ``clusters``: ``lm_bundles.make_clusters(ws, name, word, tag, case_sensitive, size)``.

``threads`` is the number of threads to count on (default: ``LUMORA_THREADS`` or every core);
the result does not depend on it. Whatever the engine cannot reproduce exactly raises
:class:`lumora._lexicon.Unsupported` (the caller then asks the module).
"""

import weakref

import numpy as np

from . import _engine
from ._lexicon import Unsupported

__all__ = ["clusters", "ranges", "words", "wordtags"]


def _strings(pair):
    off, data = pair
    return np.frombuffer(off, dtype=np.int64), np.frombuffer(data, dtype=np.uint8)


def _ranks(n):
    return np.arange(1, n + 1, dtype=np.int64)


def words(corpus, lowercase=False, *, threads=None):
    """Columns rank, word, freq; meta tokens, types, type_token, hapax, texts."""
    lex = corpus._lexicon()
    files = corpus._files()
    if lowercase:
        group, strings = lex.lower_group, lex.lower_forms
    else:
        group, strings = lex.form_group, lex.forms
    word, freq, tokens, types, hapax = _engine.count_words(
        files, lex.word_ids, group, strings.pair(), threads=threads)
    freq = np.frombuffer(freq, dtype=np.int64)
    columns = {"rank": _ranks(len(freq)), "word": _strings(word), "freq": freq}
    meta = {"tokens": tokens, "types": types, "type_token": types / tokens if tokens else 0.0,
            "hapax": hapax, "texts": len(files)}
    return columns, meta


def wordtags(corpus, lowercase=False, *, threads=None):
    """Columns rank, word, tag, freq, percent; meta tokens, texts."""
    lex = corpus._lexicon()
    files = corpus._files()
    if lowercase:
        args = (True, lex.lower_group, lex.lower_forms.pair(), lex.tag_group,
                lex.tag_forms.pair())
    else:
        args = (False, lex.identity_words, lex.words.pair(), lex.identity_tags, lex.tags.pair())
    word, tag, freq, percent, tokens = _engine.count_wordtags(
        files, lex.word_ids, lex.tag_ids, *args, threads=threads)
    freq = np.frombuffer(freq, dtype=np.int64)
    columns = {"rank": _ranks(len(freq)), "word": _strings(word), "tag": _strings(tag),
               "freq": freq, "percent": np.frombuffer(percent, dtype=np.float32)}
    return columns, {"tokens": tokens, "texts": len(files)}


def ranges(corpus, lowercase=False, *, threads=None):
    """Columns rank, word, texts, percent; meta texts, tokens."""
    lex = corpus._lexicon()
    files = corpus._files()
    if lowercase:
        args = (True, lex.lower_group, lex.lower_forms.pair(), lex.lower_punct)
    else:
        args = (False, lex.identity_words, lex.words.pair(), lex.punct)
    word, texts, percent, n_files, tokens = _engine.count_ranges(
        files, lex.word_ids, *args, threads=threads)
    texts = np.frombuffer(texts, dtype=np.int64)
    columns = {"rank": _ranks(len(texts)), "word": _strings(word), "texts": texts,
               "percent": np.frombuffer(percent, dtype=np.float32)}
    return columns, {"texts": n_files, "tokens": tokens}


# Per lexicon: what clusters need of it beyond its own facts, computed once.
_cluster_facts = weakref.WeakKeyDictionary()
_INT64 = (-(2**63), 2**63 - 1)


def _shapes(strings, punct):
    """The FormShape bits of each string: empty (1), no word character (2), holds a space (4),
    which is all the punctuation rule of clusters can tell of a form."""
    lengths = np.diff(strings.offsets)
    spaces = np.concatenate(([0], np.cumsum(strings.data == ord(" "), dtype=np.int64)))
    spaced = spaces[strings.offsets[1:]] > spaces[strings.offsets[:-1]]
    return ((lengths == 0) * 1 + punct * 2 + spaced * 4).astype(np.uint8)


def _facts(lex, key, make):
    facts = _cluster_facts.setdefault(lex, {})
    if key not in facts:
        facts[key] = make()
    return facts[key]


def _last_of(ids, values):
    """value -> its last id in dictionary order (the inverse of an id-to-string dict)."""
    return dict(zip(values.tolist(), ids.tolist()))


def _first_word(text):
    """The first non-empty stripped piece of text.strip() split on single spaces, or None."""
    for piece in text.strip().split(" "):
        piece = piece.strip()
        if piece:
            return piece
    return None


def _lower_ids(value):
    """The ids a lower-case dictionary value stands for, as NumPy would read it."""
    if type(value) is int:
        value = [value]
    if type(value) is not list or any(type(v) is not int or not _INT64[0] <= v <= _INT64[1]
                                      for v in value):
        raise Unsupported("a lower-case dictionary value that is not a list of ids")
    return np.array(value, dtype=np.int64)


def _empty_clusters(n_files):
    empty = np.zeros(0, dtype=np.int64)
    columns = {"rank": empty, "cluster": (np.zeros(1, dtype=np.int64), np.zeros(0, np.uint8)),
               "freq": empty, "texts": empty, "percent": np.zeros(0, dtype=np.float32)}
    return columns, {"texts": n_files}


def clusters(corpus, word, size=2, tag=None, case_sensitive=False, *, threads=None):
    """Columns rank, cluster, freq, texts, percent; meta texts. ``case_sensitive`` is the
    module's ``lowercase``: true finds the exact form and reports clusters lower-cased, false
    finds every case variant and keeps their case."""
    if type(size) is not int or not 1 <= size <= 3:
        raise Unsupported("size outside 1 to 3")
    if type(word) is not str or (tag is not None and type(tag) is not str):
        raise Unsupported("a search word or tag that is not a str")
    exact = bool(case_sensitive)
    search = _first_word(word if exact else word.lower())
    if search is None:
        raise Unsupported("a search text without a word")
    lex = corpus._lexicon()
    if exact:
        found = _facts(lex, "word ids", lambda: _last_of(lex.word_ids, lex.words)).get(search)
        search_ids = None if found is None else np.array([found], dtype=np.int64)
    else:
        value = lex.wordslc().get(search)
        search_ids = None if value is None else _lower_ids(value)
    if tag is None:
        tag_ids = None
    else:
        first = _first_word(tag)
        found = None if first is None else \
            _facts(lex, "tag ids", lambda: _last_of(lex.tag_ids, lex.tags)).get(first)
        if first is None:
            tag_ids = np.zeros(0, dtype=np.int64)  # a tag without a word: no token passes
        elif found is None:
            tag_ids = None  # an unknown tag drops the filter
        else:
            tag_ids = np.array([found], dtype=np.int64)
    files = corpus._files()
    if search_ids is None:
        return _empty_clusters(len(files))
    if exact:
        group, strings, punct = lex.lower_group, lex.lower_forms, lex.lower_punct
    else:
        group, strings, punct = lex.form_group, lex.forms, lex.form_punct
    shapes = _facts(lex, ("shapes", exact), lambda: _shapes(strings, punct))
    result = _engine.count_clusters(files, size, lex.word_ids, group, strings.pair(), shapes,
                                    search_ids, tag_ids, threads=threads)
    return sequence_columns(result, "cluster"), {"texts": len(files)}


def sequence_columns(result, name):
    """The columns of a sequence list (n-grams, clusters) from the engine's buffers:
    rank, the sequences' strings as ``name``, freq, texts, percent."""
    rank, (offsets, data), freq, texts, percent = result
    return {"rank": np.frombuffer(rank, dtype=np.int64),
            name: (np.frombuffer(offsets, dtype=np.int64), np.frombuffer(data, dtype=np.uint8)),
            "freq": np.frombuffer(freq, dtype=np.int64),
            "texts": np.frombuffer(texts, dtype=np.int64),
            "percent": np.frombuffer(percent, dtype=np.float32)}
