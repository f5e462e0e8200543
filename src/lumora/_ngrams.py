"""N-grams counted by the native engine, as columns.

``ngrams(corpus, size, tags=None, lowercase=False)`` takes a corpus object (``_files()``: the
token-array paths in listing order, ``_lexicon()``: its :class:`lumora._lexicon.Lexicon`) and
returns ``(columns, meta)``: columns rank, ngram, freq, texts, percent whose rows equal, value
for value and in the same order, those of
``lm_sequences.make_ngrams(ws, name, tags, size, lowercase)``. Whatever the engine cannot
reproduce exactly raises :class:`lumora._lexicon.Unsupported` (the caller then asks the module).
"""

import numpy as np

from . import _engine
from ._counts import sequence_columns
from ._lexicon import Unsupported

__all__ = ["ngrams"]

# The filter's view of a word: 0 has a word character, 1 has none (punctuation), 2 is empty.
_WORDY, _PUNCT, _EMPTY = 0, 1, 2


def _shapes(strings, punct):
    empty = np.diff(strings.offsets) == 0
    return np.where(punct, _PUNCT, np.where(empty, _EMPTY, _WORDY)).astype(np.uint8)


def _pattern(lex, tags):
    """The tag ids of the pattern (None: no restriction), as the module reads ``pos``: a list
    of str or a str split on single spaces, blank pieces dropped; one unknown tag voids it."""
    if tags is None:
        return None
    if type(tags) is list:
        if any(type(t) is not str for t in tags):
            raise Unsupported("a tag that is not a str")
        pieces = [t.strip() for t in tags if t.strip()]
    elif type(tags) is str:
        pieces = [t.strip() for t in tags.strip().split(" ") if t.strip()]
    else:
        raise Unsupported("tags neither None, a str nor a list")
    inverted = {}
    for tag_id, tag in zip(lex.tag_ids.tolist(), lex.tags.tolist()):
        inverted[tag] = tag_id
    if any(t not in inverted for t in pieces):
        return None
    return np.array([inverted[t] for t in pieces], dtype=np.int64)


def ngrams(corpus, size, tags=None, lowercase=False, *, threads=None, ranked=False):
    """Columns rank, ngram, freq, texts, percent; meta texts. With ``ranked``, the rows come by
    frequency, largest first, ties in the module's order."""
    if type(size) is not int or not 1 <= size <= 5:
        raise Unsupported("size outside 1 to 5")
    lex = corpus._lexicon()
    if lowercase:
        group, strings, punct = lex.lower_group, lex.lower_forms, lex.lower_punct
    else:
        group, strings, punct = lex.form_group, lex.forms, lex.form_punct
    if size > 1 and np.any(strings.data == ord(" ")):
        # Joined, two different n-grams could then make one string.
        raise Unsupported("a word holds a space")
    pattern = _pattern(lex, tags)
    files = corpus._files()
    result = _engine.count_ngrams(files, size, lex.word_ids, group, strings.pair(),
                                  _shapes(strings, punct), pattern, threads=threads,
                                  ranked=ranked)
    return sequence_columns(result, "ngram"), {"texts": len(files)}
