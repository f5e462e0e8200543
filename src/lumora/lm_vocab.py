"""Word list of an indexed corpus: every word form with its frequency, ranked."""

import os
import pickle

import numpy as np

__all__ = ["make_wordlist"]

# The distinct ids of each text are kept apart and folded into the running totals only
# once they are at least as many as the totals (and at least this many), so that folding
# costs amortised linear time however many texts there are.
_FOLD_AT = 1 << 16


def _load_dict(path):
    with open(path, "rb") as f:
        obj = pickle.load(f)
    if not isinstance(obj, dict):
        raise TypeError(f"Expected dict, got {type(obj).__name__:.200}")
    return obj


def _fold(ids, counts):
    """Merge repeated ids: each id once, with its counts summed, in order of its first record."""
    if ids.size == 0:
        return ids, counts
    order = np.argsort(ids, kind="stable")
    sorted_ids = ids[order]
    starts = np.flatnonzero(np.concatenate(([True], sorted_ids[1:] != sorted_ids[:-1])))
    sums = np.add.reduceat(counts[order], starts)
    # The stable sort puts each id's earliest record at the start of its run.
    by_first = np.argsort(order[starts], kind="stable")
    return sorted_ids[starts][by_first], sums[by_first]


def _count_ids(npy_folder):
    """Word ids of every token array with their frequencies, in order of first appearance.

    First appearance means: texts in listing order, within a text by first position.
    """
    parts = []  # (ids, counts) pairs in appearance order; parts[0] may hold folded totals
    held = pending = 0
    for name in os.listdir(npy_folder):
        arr = np.load(npy_folder + name)
        if arr.ndim == 1 and arr.size == 0:
            continue  # a text without tokens
        ids, first, counts = np.unique(arr[:, 0], return_index=True, return_counts=True)
        del arr
        by_pos = np.argsort(first, kind="stable")
        parts.append((ids[by_pos], counts[by_pos]))
        pending += ids.size
        if pending >= max(held, _FOLD_AT):
            parts = [_fold(*_joined(parts))]
            held, pending = parts[0][0].size, 0
    if not parts:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    return _fold(*_joined(parts))


def _joined(parts):
    if len(parts) == 1:
        return parts[0]
    return np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts])


def make_wordlist(workspace, corpus_name, language, lowercase):
    """Return (tokens, types, type_token, hapax, wordlist) for an indexed corpus.

    wordlist is a list of (rank, word, frequency) tuples, most frequent first; equal
    frequencies keep the order of first appearance. A true lowercase merges case variants
    under their lower-case form. language is accepted and not used.
    """
    lowercase = bool(lowercase)
    corpus = workspace + corpus_name
    dict_words = _load_dict(corpus + "/data/idx/words.pickle")
    ids, counts = _count_ids(corpus + "/data/npy/")

    words = [dict_words[i] for i in ids.tolist()]
    if lowercase:
        words = [w.lower() for w in words]
    # Forms are merged by their text (case variants when lower-casing); a merged form
    # keeps the place of its first variant, as words are in order of first appearance.
    slots = {}
    index = [slots.setdefault(w, len(slots)) for w in words]
    forms = list(slots)
    if len(forms) < len(words):
        freqs = np.zeros(len(forms), dtype=np.int64)
        np.add.at(freqs, index, counts)
    else:
        freqs = counts

    tokens = int(freqs.sum())
    types = len(forms)
    type_token = types / tokens if tokens else 0.0
    hapax = int(np.count_nonzero(freqs == 1))
    order = np.argsort(-freqs, kind="stable")
    wordlist = [
        (rank, forms[j], f)
        for rank, (j, f) in enumerate(zip(order.tolist(), freqs[order].tolist()), 1)
    ]
    return tokens, types, type_token, hapax, wordlist
