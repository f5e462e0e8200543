"""Word lists, word+tag lists and ranges counted by the native engine, as columns.

Each function takes a corpus object (``path``, ``_files()``: the token-array paths in listing
order, ``_lexicon()``: its :class:`lumora._lexicon.Lexicon`) and returns ``(columns, meta)``:
``columns`` a dict of column name -> NumPy array, or ``(offsets, data)`` for strings, rows in the
modules' own order, so that the rows equal value for value those of

* ``words``: ``lm_vocab.make_wordlist(ws, name, language, lowercase)``'s word list;
* ``wordtags``: ``lm_tagfreq.make_wtfreq(ws, name, language, lowercase)``;
* ``ranges``: ``lm_docfreq.make_wfreqinfiles(ws, name, language, lowercase)``.

``threads`` is the number of threads to count on (default: ``LUMORA_THREADS`` or every core);
the result does not depend on it. Whatever the engine cannot reproduce exactly raises
:class:`lumora._lexicon.Unsupported` (the caller then asks the module).
"""

import numpy as np

from . import _engine

__all__ = ["ranges", "wordtags", "words"]


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
