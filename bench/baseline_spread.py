"""Dispersion in plain Python and NumPy: the baseline for ``lumora.lm_spread`` and its reference.

The search is the straightforward vectorised one: per token array, ``np.isin`` masks over the
word column (and the tag column), ``np.any`` to stop at the first empty mask, shifted index
ranges and ``&`` to join the words of a two- or three-word node, ``np.where`` for the rows. The
dictionaries are loaded (and inverted) on every call, positions are ``round(i / tokens * 100, 2)``
per hit, and ``translate`` counts ``round(p)`` into five sections.

A text without tokens (an array of shape (0,)) is read as an array of shape (0, 4): it gets the
record (name, 0, 0, []) instead of failing the whole search, as in the native module. Messages
for a wrong number of arguments are Python's own here, not the native module's.
"""

import os
import pickle
import re

import numpy as np

DTYPE = int


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got "
                        f"{type(value).__name__})")


def load_dict(path):
    """dict() of the one object pickled in ``path``."""
    with open(path, "rb") as f:
        obj = pickle.load(f)
    return dict(obj)


def _invert(d):
    out = {}
    for k, v in d.items():
        out[v] = k
    return out


def parse_search(workspace, corpus_name, node, pos, case_sensitive, regexp):
    """(encoded node, encoded tags): lists of id arrays, or None."""
    lowercase = case_sensitive == False
    if lowercase:
        dictionary = load_dict(workspace + corpus_name + "/data/idx/wordslc.pickle")
    else:
        dictionary = _invert(load_dict(workspace + corpus_name + "/data/idx/words.pickle"))
    tags = _invert(load_dict(workspace + corpus_name + "/data/idx/tags.pickle"))

    if case_sensitive == False:
        node = node.lower()
    words = [w.strip() for w in node.strip().split(" ") if w.strip()]

    tag_list = []
    if pos != None:
        if type(pos) is list:
            pieces = pos
            for t in pieces:
                if type(t) is not str:
                    raise TypeError(f"Expected str, got {type(t).__name__}")
        else:
            pieces = pos.strip().split(" ")
        tag_list = [t.strip() for t in pieces if t.strip()]

    encoded_node = []
    if regexp == False:
        for w in words:
            if w in dictionary:
                encoded_node.append(np.array(dictionary[w], dtype=int))
            else:
                encoded_node = None
                break
    else:
        patterns = [re.compile(w) for w in words]
        for pattern in patterns:
            ids = []
            for key in dictionary:
                if pattern.match(key) is not None:
                    if lowercase:
                        ids.extend(dictionary[key])
                    else:
                        ids.append(dictionary[key])
            if not ids:
                encoded_node = None
                break
            encoded_node.append(np.array(ids, dtype=int))

    encoded_pos = None
    if pos != None:
        encoded_pos = []
        for t in tag_list:
            if t in tags:
                encoded_pos.append(np.array(tags[t], dtype=int))
            else:
                encoded_pos = None
                break
    return encoded_node, encoded_pos


def arr_search_indexes(arr, encoded_node, encoded_pos):
    """The rows of ``arr`` at which the node begins."""
    if arr.ndim == 1 and arr.shape[0] == 0:
        arr = arr.reshape(0, 4)
    n = len(encoded_node)
    W = arr[:, [0]]
    if encoded_pos is None:
        if n == 1:
            m = np.isin(W, encoded_node)
            ix = np.where(m)[0]
        elif n == 2:
            a = np.isin(W, encoded_node[0])
            if not np.any(a):
                return np.where(a)[0]
            b = np.isin(W, encoded_node[1])
            if not np.any(b):
                return np.where(b)[0]
            N = a.shape[0]
            x, y = np.arange(0, N - 1), np.arange(1, N)
            ix = np.where(a[x] & b[y])[0]
        elif n == 3:
            a = np.isin(W, encoded_node[0])
            if not np.any(a):
                return np.where(a)[0]
            b = np.isin(W, encoded_node[1])
            if not np.any(b):
                return np.where(b)[0]
            c = np.isin(W, encoded_node[2])
            if not np.any(c):
                return np.where(c)[0]
            N = a.shape[0]
            x, y, z = np.arange(0, N - 2), np.arange(1, N - 1), np.arange(2, N)
            ix = np.where(a[x] & b[y] & c[z])[0]
    else:
        T = arr[:, [1]]
        if n == 1:
            m = np.isin(W, encoded_node)
            t = np.isin(T, encoded_pos)
            ix = np.where(m & t)[0]
        elif n == 2:
            a, pa = np.isin(W, encoded_node[0]), np.isin(T, encoded_pos[0])
            for mask in (a, pa):
                if not np.any(mask):
                    return np.where(mask)[0]
            b, pb = np.isin(W, encoded_node[1]), np.isin(T, encoded_pos[1])
            for mask in (b, pb):
                if not np.any(mask):
                    return np.where(mask)[0]
            N = a.shape[0]
            x, y = np.arange(0, N - 1), np.arange(1, N)
            ix = np.where(a[x] & pa[x] & b[y] & pb[y])[0]
        elif n == 3:
            a, pa = np.isin(W, encoded_node[0]), np.isin(T, encoded_pos[0])
            for mask in (a, pa):
                if not np.any(mask):
                    return np.where(mask)[0]
            b, pb = np.isin(W, encoded_node[1]), np.isin(T, encoded_pos[1])
            for mask in (b, pb):
                if not np.any(mask):
                    return np.where(mask)[0]
            c, pc = np.isin(W, encoded_node[2]), np.isin(T, encoded_pos[2])
            for mask in (c, pc):
                if not np.any(mask):
                    return np.where(mask)[0]
            N = a.shape[0]
            x, y, z = np.arange(0, N - 2), np.arange(1, N - 1), np.arange(2, N)
            ix = np.where(a[x] & pa[x] & b[y] & pb[y] & c[z] & pc[z])[0]
    return ix  # unbound for a node of no word or more than three: UnboundLocalError


def search_node(npy_path, encoded_node, encoded_pos):
    """Searches the node in every text file and gets positions."""
    files = os.listdir(npy_path)
    data = []
    for filename in files:
        arr = np.load(npy_path + filename)
        if not isinstance(arr, np.ndarray):
            raise TypeError(f"Cannot convert {type(arr).__name__} to numpy.ndarray")
        ix = arr_search_indexes(arr, encoded_node, encoded_pos)
        positions = []
        for i in ix.tolist():
            p = round(i / arr.shape[0] * 100, 2)
            positions.append(p)
        data.append((filename.replace(".npy", ""), arr.shape[0], len(ix), positions))
    return data


def translate(positions):
    """Translate numbers back to words in a list format for lumora KIWC object."""
    dispersion = []
    dpts = {}
    total_s1 = total_s2 = total_s3 = total_s4 = total_s5 = 0
    for i, d in enumerate(positions, 1):
        s1 = s2 = s3 = s4 = s5 = 0
        dpts[d[0]] = d[3]
        for p in d[3]:
            point = round(p)
            if point >= 0 and point <= 19:
                s1 += 1
            elif point >= 20 and point <= 39:
                s2 += 1
            elif point >= 40 and point <= 59:
                s3 += 1
            elif point >= 60 and point <= 79:
                s4 += 1
            elif point >= 80 and point <= 100:
                s5 += 1
        total_s1 += s1
        total_s2 += s2
        total_s3 += s3
        total_s4 += s4
        total_s5 += s5
        dispersion.append((i, d[0], d[1], d[2], s1, s2, s3, s4, s5))
    return (total_s1, total_s2, total_s3, total_s4, total_s5), dpts, dispersion


def make_dispersion(workspace, corpus_name, node, pos, case_sensitive, regexp):
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    _check_str("node", node)
    dispersion = []
    dpts = {}
    totals = ()
    encoded_node, encoded_pos = parse_search(workspace, corpus_name, node, pos, case_sensitive,
                                             regexp)
    if encoded_node != None:
        positions = search_node(workspace + corpus_name + "/data/npy/", encoded_node, encoded_pos)
        if positions:
            totals, dpts, dispersion = translate(positions)
    return totals, dpts, dispersion
