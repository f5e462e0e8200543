"""Plain-Python keyword list: the benchmark baseline and the reference rendering tests compare with.

Same arguments, rows, scores and exception types as ``lumora.lm_keyness.make_keywords``.
Single-precision steps are double operations rounded to single through ``struct``. A failure
inside a scoring function is printed to standard error (the native module hands it to
``sys.unraisablehook``) and scores 0.0.
"""

import math
import operator
import os
import struct
import sys
import traceback

import lumora
from lumora.lm_vocab import make_wordlist

# Stands for the native module's file: the reference lists are in data/ beside it.
MODULE_FILE = os.path.join(os.path.dirname(os.path.abspath(lumora.__file__)), "lm_keyness.py")

_F32 = struct.Struct("f")
_I32_MIN, _I32_MAX = -(2**31), 2**31 - 1


def f32(x):
    """x rounded to single precision (beyond its range: an infinity, as a C cast gives)."""
    try:
        return _F32.unpack(_F32.pack(x))[0]
    except OverflowError:
        return math.copysign(math.inf, x)


def to_int32(v):
    if isinstance(v, (float, str)) or not hasattr(type(v), "__index__"):
        raise TypeError("an integer is required")
    v = operator.index(v)
    if not _I32_MIN <= v <= _I32_MAX:
        raise OverflowError("value too large to convert to int")
    return v


def _report(where):
    sys.stderr.write(f"Exception ignored in: '{where}'\n")
    traceback.print_exc()


def ll(a, b, c, d):
    try:
        C, D, S = f32(c), f32(d), f32(a + b)
        N = f32(D + C)
        if N == 0:
            raise ZeroDivisionError("float division")
        E1 = f32(f32(C * S) / N)
        E2 = f32(f32(D * S) / N)
        T1 = 0.0 if a < 1 or E1 < 1.0 else f32(math.log(f32(f32(a) / E1)))
        T2 = 0.0 if b < 1 or E2 < 1.0 else f32(math.log(f32(f32(b) / E2)))
        total = f32(f32(f32(b) * T2) + f32(f32(a) * T1))
        G = f32(round(total * 2.0, 2))
        if c == 0 or d == 0:
            raise ZeroDivisionError("float division")
        Ra = f32(a / c)
        Rb = f32(b / d)
        if Ra == 0:
            Ra = f32(0.5 / c)
        if Rb == 0:
            Rb = f32(0.5 / d)
        return -G if Rb > Ra else G
    except BaseException:  # noqa: BLE001 - a scoring function never raises
        _report("lumora.lm_keyness.ll")
        return 0.0


def chi_square(a, b, c, d):
    try:
        a, b, c, d = float(a), float(b), float(c), float(d)
        den = (a + b) * (c + d - a - b) * c * d
        x = a * (d - b) - b * (c - a)
        num = (c + d) * (x * x)
        if den == 0:
            raise ZeroDivisionError("float division")
        return f32(round(num / den, 2))
    except BaseException:  # noqa: BLE001 - a scoring function never raises
        _report("lumora.lm_keyness.chi_square")
        return 0.0


def load_reference(language):
    ref = {}
    size = 0
    folder = os.path.dirname(os.path.abspath(MODULE_FILE))
    if type(folder) is not str:
        raise TypeError(f"Expected str, got {type(folder).__name__}")
    with open(folder + "/data/reflist_" + language + ".tab", "r", encoding="utf-8") as f:
        for line in f:
            line = line.strip()
            if not line:
                continue
            fields = line.split("\t")
            if len(fields) < 2:
                continue
            value = int(fields[1])
            ref[fields[0]] = value
            size = to_int32(size + value)
    return size, ref


def _unpack5(result):
    if type(result) in (tuple, list):
        items = list(result)
    else:
        items = []
        for item in result:
            items.append(item)
            if len(items) == 6:
                break
    if len(items) > 5:
        raise ValueError("too many values to unpack (expected 5)")
    if len(items) < 5:
        n = len(items)
        raise ValueError(f"need more than {n} value{'' if n == 1 else 's'} to unpack")
    return items


def _check_str(name, value):
    if value is not None and type(value) is not str:
        raise TypeError(f"Argument '{name}' has incorrect type (expected str, got "
                        f"{type(value).__name__})")


def make_keywords(workspace, corpus_name, language, measure):
    _check_str("workspace", workspace)
    _check_str("corpus_name", corpus_name)
    _check_str("language", language)
    measure = to_int32(measure)
    if language is not None and any(p and p in language
                                    for p in ("/", "..", "\0", os.sep, os.altsep)):
        raise ValueError(f"invalid language {language!r}: a path separator, '..' or a NUL "
                         "character is not allowed")

    tokens, types, type_token, hapax, wordlist = _unpack5(
        make_wordlist(workspace, corpus_name, language, True))
    tokens = to_int32(tokens)
    to_int32(types)
    if not any(hasattr(type(type_token), m) for m in ("__float__", "__index__")):
        raise TypeError(f"must be real number, not {type(type_token).__name__}")
    float(type_token)
    to_int32(hapax)
    if wordlist is not None and type(wordlist) is not list:
        raise TypeError(f"Expected list, got {type(wordlist).__name__}")

    ref_tokens, ref = load_reference(language)
    keywords = []
    i = 0
    for row in wordlist:
        if type(row) is not tuple:
            raise TypeError(f"Expected tuple, got {type(row).__name__}")
        freq_refc = 1
        if row[1] in ref:
            freq_refc = to_int32(ref[row[1]])
        freq = to_int32(row[2])
        if measure == 1:
            m = ll(freq, freq_refc, tokens, ref_tokens)
        else:
            m = chi_square(freq, freq_refc, tokens, ref_tokens)
        i += 1  # noqa: SIM113 - the rank counter of the rows
        keywords.append([i, row[1], row[2], m])
    return keywords
