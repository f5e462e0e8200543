"""Realistic prepared corpora for benchmarks and tests.

``generate`` writes a corpus folder as the package's Python layer would before indexing: the
folders data/idx, data/npy and data/tmp1, one token file per text in data/tmp1 (lines
``word<TAB>tag<TAB>sentence_no<TAB>position``), ``words.pickle`` and ``tags.pickle`` in
word-to-id form and ``wordslc.pickle`` (lower-cased form -> ids of all its case variants).

The text is synthetic but shaped like running English: a Zipf-distributed vocabulary of about
fifty thousand lexemes (function words, punctuation, numbers, contractions, a few non-ASCII
forms, generated content words), case variants (sentence-initial capitals, some proper nouns,
rare upper case), fifteen tags tied to the words, sentences of varied length that end with
punctuation, and texts from a few dozen to many thousand tokens. Everything follows from the
seed.

``indexed_copy`` keeps an indexed corpus under bench/out/ for analysis benchmarks;
``fresh_prepared`` hands out a pristine, not yet indexed copy for each timed build.

    python -m bench.corpus WORKSPACE/ NAME --tokens 2000000 --texts 400 --seed 0
"""

import argparse
import functools
import json
import os
import pickle
import shutil
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

# Bump when the output for a given (tokens, texts, seed) changes: cached corpora carry it.
GENERATOR_VERSION = 1

# Cached corpora and run copies; LUMORA_BENCH_OUT moves them (e.g. to a tmpfs such as /dev/shm,
# so that the file system's cost of creating files does not dominate the build's timings).
OUT = Path(os.environ.get("LUMORA_BENCH_OUT") or Path(__file__).resolve().parent / "out")
CORPUS_NAME = "corpus"
LANGUAGE = "english"

TAGS = ("NN", "NNS", "NNP", "VB", "VBD", "VBZ", "JJ", "RB",
        "DT", "IN", "CC", "PRP", "MD", "CD", "PUNCT")
_TAG = {t: i for i, t in enumerate(TAGS)}

# The most frequent forms of running text, roughly in rank order: (form, tag[, second tag,
# share of the second tag]).
_HEAD = [
    ("the", "DT"), (",", "PUNCT"), (".", "PUNCT"), ("of", "IN"), ("and", "CC"), ("to", "IN"),
    ("a", "DT"), ("in", "IN"), ("is", "VBZ"), ("that", "DT", "IN", 0.4), ("it", "PRP"),
    ("for", "IN"), ("was", "VBD"), ('"', "PUNCT"), ("on", "IN"), ("with", "IN"), ("he", "PRP"),
    ("as", "IN"), ("be", "VB"), ("by", "IN"), ("at", "IN"), ("this", "DT"), ("have", "VB"),
    ("from", "IN"), ("or", "CC"), ("had", "VBD"), ("not", "RB"), ("but", "CC"), ("they", "PRP"),
    ("his", "PRP"), ("she", "PRP"), ("were", "VBD"), ("an", "DT"), ("which", "DT"), ("(", "PUNCT"),
    (")", "PUNCT"), ("we", "PRP"), ("will", "MD", "NN", 0.05), ("would", "MD"), ("can", "MD"),
    ("there", "RB"), ("their", "PRP"), ("been", "VB"), ("has", "VBZ"), ("more", "JJ", "RB", 0.5),
    (";", "PUNCT"), ("if", "IN"), ("one", "CD"), (":", "PUNCT"), ("--", "PUNCT"), ("all", "DT"),
    ("so", "RB"), ("could", "MD"), ("do", "VB"), ("no", "DT"), ("what", "DT"), ("'", "PUNCT"),
    ("up", "RB", "IN", 0.3), ("out", "RB"), ("about", "IN"), ("who", "PRP"), ("them", "PRP"),
    ("when", "RB"), ("some", "DT"), ("time", "NN"), ("into", "IN"), ("only", "RB"),
    ("new", "JJ"), ("like", "IN", "VB", 0.3), ("than", "IN"), ("then", "RB"), ("now", "RB"),
    ("two", "CD"), ("over", "IN"), ("also", "RB"), ("after", "IN"), ("first", "JJ"),
    ("...", "PUNCT"), ("people", "NNS"), ("may", "MD"), ("just", "RB"), ("years", "NNS"),
    ("should", "MD"), ("because", "IN"), ("how", "RB"), ("made", "VBD"), ("before", "IN"),
    ("-", "PUNCT"), ("?", "PUNCT"), ("!", "PUNCT"),
]
# Rarer forms that a real corpus has too, placed at random ranks in the body of the list.
_SCATTERED = [
    ("2", "CD"), ("3", "CD"), ("10", "CD"), ("100", "CD"), ("3.5", "CD"), ("0.5", "CD"),
    ("1990", "CD"), ("2021", "CD"), ("1,000", "CD"), ("50", "CD"), ("12", "CD"),
    ("don't", "VB"), ("it's", "PRP"), ("can't", "MD"), ("didn't", "VBD"), ("won't", "MD"),
    ("isn't", "VBZ"), ("that's", "DT"), ("you're", "PRP"), ("we've", "PRP"), ("'s", "VBZ"),
    ("n't", "RB"), ("well-known", "JJ"), ("so-called", "JJ"), ("e.g.", "RB"),
    ("café", "NN"), ("naïve", "JJ"), ("straße", "NN"), ("über", "IN"), ("İstanbul", "NNP"),
    ("ﬁnal", "JJ"), ("résumé", "NN"), ("señor", "NN"),
]
_END_PUNCT = (".", "?", "!")
_END_SHARE = (0.88, 0.07, 0.05)

# Content words: tag shares, and what a tag tends to end with.
_CONTENT_TAGS = ("NN", "NNS", "VB", "VBD", "VBZ", "JJ", "RB", "NNP")
_CONTENT_SHARE = (0.33, 0.12, 0.10, 0.09, 0.05, 0.17, 0.06, 0.08)
_SUFFIXES = {
    "NN": ("", "", "", "tion", "ment", "er"), "NNS": ("s",), "VB": ("", "", "ize"),
    "VBD": ("ed",), "VBZ": ("s",), "JJ": ("", "al", "ous", "ive", "ful"), "RB": ("ly",),
    "NNP": ("", "", "ton", "ia"),
}
# Second readings: a word of the first tag is sometimes tagged with the second.
_AMBIGUOUS = {"NN": "VB", "VB": "NN", "JJ": "NN", "VBD": "JJ", "NNS": "VBZ", "VBZ": "NNS"}

_ONSETS = ("", "", "b", "c", "d", "f", "g", "h", "j", "k", "l", "m", "n", "p", "r", "s", "t", "v",
           "w", "y", "z", "bl", "br", "ch", "cl", "cr", "dr", "fl", "fr", "gl", "gr", "pl", "pr",
           "sc", "sh", "sl", "sm", "sn", "sp", "st", "str", "sw", "th", "tr", "wh")
_VOWELS = ("a", "e", "i", "o", "u", "a", "e", "i", "o", "ea", "ee", "ai", "oo", "ou", "ie", "y")
_CODAS = ("", "", "", "", "n", "r", "s", "t", "l", "m", "nd", "nt", "st", "ck", "ng", "rd", "rt",
          "ll", "ss", "x")
_ACCENTED = {"a": "á", "e": "é", "i": "ï", "o": "ö", "u": "ü"}

LEXEMES = 50_000
_LEXICON_SEED = 20240611
_ZIPF_S = 1.05
_ZIPF_Q = 2.0


@dataclass(frozen=True)
class Corpus:
    """A corpus folder: ``workspace + corpus_name`` (``workspace`` ends with a separator)."""

    workspace: str
    corpus_name: str
    tokens: int
    texts: int
    seed: int

    @property
    def path(self):
        return self.workspace + self.corpus_name

    @property
    def npy_folder(self):
        return self.path + "/data/npy/"

    @property
    def tmp1_folder(self):
        return self.path + "/data/tmp1/"


@dataclass(frozen=True)
class _Lexicon:
    forms: list          # every distinct word form; variants of a lexeme point into it
    form_of: np.ndarray  # (lexeme, variant) -> form index, variant 0 as listed, 1 capital, 2 upper
    tag1: np.ndarray     # first tag of each lexeme
    tag2: np.ndarray     # second tag (same as the first when the lexeme has one reading)
    share2: np.ndarray   # how often the second tag is used
    proper: np.ndarray   # lexemes written with a capital by default
    content: np.ndarray  # lexemes that may stand capitalised as a name mid-sentence
    cdf: np.ndarray      # cumulative Zipf weights by rank
    end_punct: np.ndarray


def _make_word(rng, syllables, tag):
    parts = []
    for _ in range(syllables):
        onset = _ONSETS[rng.integers(len(_ONSETS))]
        vowel = _VOWELS[rng.integers(len(_VOWELS))]
        coda = _CODAS[rng.integers(len(_CODAS))]
        parts.append(onset + vowel + coda)
    word = "".join(parts)
    suffixes = _SUFFIXES[tag]
    word += suffixes[rng.integers(len(suffixes))]
    if rng.random() < 0.02:
        for plain, accented in _ACCENTED.items():
            if plain in word:
                word = word.replace(plain, accented, 1)
                break
    return word


@functools.lru_cache(maxsize=1)
def _lexicon():
    """One vocabulary for every corpus, like one language; only the sampling follows the seed."""
    rng = np.random.default_rng(_LEXICON_SEED)
    entries = [tuple(e) for e in _HEAD]
    seen = {e[0] for e in _HEAD} | {e[0] for e in _SCATTERED}
    content_tags = rng.choice(len(_CONTENT_TAGS), size=LEXEMES, p=_CONTENT_SHARE)
    n_content = LEXEMES - len(_HEAD) - len(_SCATTERED)
    for rank in range(n_content):
        tag = _CONTENT_TAGS[content_tags[rank]]
        syllables = 1 + rng.poisson(0.3 + 1.7 * rank / n_content)
        word = _make_word(rng, syllables, tag)
        while word in seen:
            word += _VOWELS[rng.integers(len(_VOWELS))] + _CODAS[rng.integers(len(_CODAS))]
        seen.add(word)
        if tag in _AMBIGUOUS and rng.random() < 0.15:
            entries.append((word, tag, _AMBIGUOUS[tag], 0.3))
        else:
            entries.append((word, tag))
    for entry in _SCATTERED:
        entries.insert(int(rng.integers(len(_HEAD) + 10, 5000)), entry)

    n = len(entries)
    forms, index = [], {}
    form_of = np.empty((n, 3), dtype=np.int64)
    tag1 = np.empty(n, dtype=np.int8)
    tag2 = np.empty(n, dtype=np.int8)
    share2 = np.zeros(n)
    for lex, entry in enumerate(entries):
        base = entry[0]
        variants = (base, base[:1].upper() + base[1:], base.upper())
        for v, form in enumerate(variants):
            if form not in index:
                index[form] = len(forms)
                forms.append(form)
            form_of[lex, v] = index[form]
        tag1[lex] = _TAG[entry[1]]
        tag2[lex] = _TAG[entry[2]] if len(entry) > 2 else tag1[lex]
        if len(entry) > 2:
            share2[lex] = entry[3]
    proper = tag1 == _TAG["NNP"]
    closed = np.isin(tag1, [_TAG[t] for t in ("DT", "IN", "CC", "PRP", "MD", "CD", "PUNCT")])
    weights = 1.0 / (np.arange(1, n + 1) + _ZIPF_Q) ** _ZIPF_S
    cdf = np.cumsum(weights)
    cdf /= cdf[-1]
    lookup = {e[0]: i for i, e in enumerate(entries)}
    end_punct = np.array([lookup[p] for p in _END_PUNCT])
    return _Lexicon(forms, form_of, tag1, tag2, share2, proper, ~closed, cdf, end_punct)


def text_lengths(tokens, texts, seed):
    """Lengths of ``texts`` texts, log-normally varied, at least 1 each, summing to ``tokens``."""
    if texts < 1:
        raise ValueError("a corpus needs at least one text")
    if tokens < texts:
        raise ValueError(f"{tokens} tokens cannot fill {texts} texts")
    rng = np.random.default_rng([seed, 1])
    weights = rng.lognormal(0.0, 1.1, size=texts)
    share = weights / weights.sum() * (tokens - texts)
    lengths = np.floor(share).astype(np.int64)
    # Largest remainders take the tokens that flooring left over, so the total is exact.
    rest = (tokens - texts) - int(lengths.sum())
    lengths[np.argsort(lengths - share, kind="stable")[:rest]] += 1
    return lengths + 1


def _sample(tokens, texts, seed):
    """Token columns of the whole corpus: form index, tag index, sentence number, position."""
    lx = _lexicon()
    rng = np.random.default_rng([seed, 2])
    lengths = text_lengths(tokens, texts, seed)
    starts = np.concatenate(([0], np.cumsum(lengths)[:-1]))

    lexeme = np.searchsorted(lx.cdf, rng.random(tokens), side="right")
    np.minimum(lexeme, len(lx.cdf) - 1, out=lexeme)

    # Sentences run across the corpus and are cut at text boundaries.
    sentence_lengths = 2 + rng.negative_binomial(2, 0.1, size=tokens // 15 + 16)
    while sentence_lengths.sum() < tokens:
        sentence_lengths = np.concatenate(
            (sentence_lengths, 2 + rng.negative_binomial(2, 0.1, size=tokens // 15 + 16)))
    bounds = np.cumsum(sentence_lengths)
    is_start = np.zeros(tokens, dtype=bool)
    is_start[bounds[bounds < tokens]] = True
    is_start[starts] = True
    is_end = np.empty(tokens, dtype=bool)
    is_end[:-1] = is_start[1:]
    is_end[-1] = True

    sentence = np.cumsum(is_start) - 1
    sentence_starts = np.flatnonzero(is_start)
    position = np.arange(tokens) - sentence_starts[sentence] + 1
    text_of = np.repeat(np.arange(texts), lengths)
    sentence_no = sentence - sentence[starts][text_of] + 1

    n_end = int(is_end.sum())
    lexeme[is_end] = lx.end_punct[rng.choice(len(_END_PUNCT), size=n_end, p=_END_SHARE)]

    r = rng.random(tokens)
    variant = lx.proper[lexeme].astype(np.int8)
    named = (r < 0.02) & lx.content[lexeme] & ~is_start
    variant[named | is_start] = 1
    variant[r > 0.997] = 2
    tag = np.where(rng.random(tokens) < lx.share2[lexeme], lx.tag2[lexeme], lx.tag1[lexeme])
    tag[named] = _TAG["NNP"]
    form = lx.form_of[lexeme, variant]
    return lengths, form, tag.astype(np.int64), sentence_no, position


def _assign_ids(rng, count, ids):
    if ids == "dense":
        return (rng.permutation(count) + 1).tolist()
    if ids == "wide":
        magnitude = rng.choice(2**31 - 1, size=count, replace=False) + 1
        sign = np.where(rng.random(count) < 0.5, -1, 1)
        return (magnitude * sign).tolist()
    raise ValueError(f"ids must be 'dense' or 'wide', not {ids!r}")


def _first_seen(values):
    """Distinct values (small non-negative ints) in order of first occurrence."""
    first = np.full(int(values.max()) + 1, len(values))
    np.minimum.at(first, values, np.arange(len(values)))
    distinct = np.flatnonzero(first < len(values))
    return distinct[np.argsort(first[distinct])]


def _write_pickle(path, obj):
    with open(path, "wb") as f:
        pickle.dump(obj, f)


def generate(workspace, corpus_name, tokens, texts, seed=0, *, ids="dense"):
    """Write a prepared corpus folder ``workspace + corpus_name`` and return its ``Corpus``.

    ``workspace`` must end with a path separator. Word and tag ids are distinct and non-zero:
    with ``ids="dense"`` a shuffle of 1..n, with ``ids="wide"`` spread over the signed 32-bit
    range (negative ones too). Dictionaries list the forms in order of first occurrence.
    """
    workspace = os.fspath(workspace)
    if not workspace.endswith(("/", os.sep)):
        raise ValueError(f"workspace must end with a path separator: {workspace!r}")
    lx = _lexicon()
    lengths, form, tag, sentence_no, position = _sample(tokens, texts, seed)
    rng = np.random.default_rng([seed, 3])

    root = workspace + corpus_name
    if os.path.exists(root):
        raise FileExistsError(f"the corpus folder exists already: {root}")
    for sub in ("/data/idx", "/data/npy", "/data/tmp1"):
        os.makedirs(root + sub)

    used_forms = _first_seen(form).tolist()
    used_tags = _first_seen(tag).tolist()
    words = dict(zip((lx.forms[f] for f in used_forms), _assign_ids(rng, len(used_forms), ids)))
    tags = dict(zip((TAGS[t] for t in used_tags), _assign_ids(rng, len(used_tags), ids)))
    wordslc = {}
    for word, word_id in words.items():
        wordslc.setdefault(word.lower(), []).append(word_id)
    _write_pickle(root + "/data/idx/words.pickle", words)
    _write_pickle(root + "/data/idx/tags.pickle", tags)
    _write_pickle(root + "/data/idx/wordslc.pickle", wordslc)

    # Each line is three pieces: "word\ttag\t", "sentence\t", "position\n". The pieces are
    # gathered as objects by NumPy and joined once per text, with no Python loop per token.
    n_tags = len(TAGS)
    pair = form * n_tags + tag
    used_pairs = np.flatnonzero(np.bincount(pair))
    prefix = np.empty(used_pairs[-1] + 1, dtype=object)
    prefix[used_pairs] = [lx.forms[p // n_tags] + "\t" + TAGS[p % n_tags] + "\t"
                          for p in used_pairs.tolist()]
    sentence_str = np.array([f"{i}\t" for i in range(int(sentence_no.max()) + 1)], dtype=object)
    position_str = np.array([f"{i}\n" for i in range(int(position.max()) + 1)], dtype=object)

    width = max(5, len(str(texts - 1)))
    ends = np.cumsum(lengths)
    chunk_start = 0
    text = 0
    while text < texts:
        # About a million tokens at a time keeps the object arrays small.
        last = int(np.searchsorted(ends, chunk_start + 1_000_000)) + 1
        last = min(max(last, text + 1), texts)
        chunk_end = int(ends[last - 1])
        pieces = np.empty((chunk_end - chunk_start, 3), dtype=object)
        pieces[:, 0] = prefix[pair[chunk_start:chunk_end]]
        pieces[:, 1] = sentence_str[sentence_no[chunk_start:chunk_end]]
        pieces[:, 2] = position_str[position[chunk_start:chunk_end]]
        offset = 0
        for t in range(text, last):
            n = int(lengths[t])
            body = "".join(pieces[offset:offset + n].ravel().tolist())
            with open(f"{root}/data/tmp1/text{t:0{width}d}.txt", "wb") as f:
                f.write(body.encode("utf-8"))
            offset += n
        chunk_start = chunk_end
        text = last
    return Corpus(workspace, corpus_name, int(tokens), int(texts), int(seed))


# ---------------------------------------------------------------------------------------------
# Cached copies under bench/out/

def _key(tokens, texts, seed):
    return f"t{tokens}-n{texts}-s{seed}-v{GENERATOR_VERSION}"


def _workspace(path):
    return os.fspath(path) + os.sep


def _publish(tmp, final):
    """Move a finished workspace into place; another process may have got there first."""
    try:
        os.rename(tmp, final)
    except OSError:
        if not os.path.isdir(final):
            raise
        shutil.rmtree(tmp)


def _write_meta(workspace, meta):
    tmp = os.path.join(workspace, f"meta.json.tmp{os.getpid()}")
    with open(tmp, "w") as f:
        json.dump(meta, f, indent=1)
    os.replace(tmp, os.path.join(workspace, "meta.json"))


def _read_meta(workspace):
    try:
        with open(os.path.join(workspace, "meta.json")) as f:
            return json.load(f)
    except FileNotFoundError:
        return None


def prepared(tokens, texts, seed=0, *, root=OUT):
    """The cached prepared (not indexed) corpus; generated on first use. Never build on it."""
    final = Path(root) / "prepared" / _key(tokens, texts, seed)
    if _read_meta(final) is None:
        (Path(root) / "prepared").mkdir(parents=True, exist_ok=True)
        tmp = tempfile.mkdtemp(prefix=".gen-", dir=Path(root) / "prepared")
        started = time.perf_counter()
        generate(_workspace(tmp), CORPUS_NAME, tokens, texts, seed)
        _write_meta(tmp, {"tokens": tokens, "texts": texts, "seed": seed,
                          "version": GENERATOR_VERSION,
                          "generate_s": round(time.perf_counter() - started, 3)})
        _publish(tmp, final)
    return Corpus(_workspace(final), CORPUS_NAME, tokens, texts, seed)


def fresh_prepared(tokens, texts, seed=0, *, root=OUT):
    """A new copy of the cached prepared corpus under ``root``/runs; ``discard`` it when done."""
    master = prepared(tokens, texts, seed, root=root)
    runs = Path(root) / "runs"
    runs.mkdir(parents=True, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="w-", dir=runs)
    shutil.copytree(master.path, os.path.join(tmp, CORPUS_NAME))
    return Corpus(_workspace(tmp), CORPUS_NAME, tokens, texts, seed)


def discard(corpus, *, root=OUT):
    """Remove a copy made by ``fresh_prepared``."""
    workspace = Path(corpus.workspace).resolve()
    if workspace.parent != (Path(root) / "runs").resolve():
        raise ValueError(f"not a copy made by fresh_prepared: {corpus.workspace}")
    shutil.rmtree(workspace)


def native_builder():
    """``(lumora.lm_build, None)``, or ``(None, reason)`` when it does not import."""
    try:
        from lumora import lm_build
    except ImportError as exc:
        return None, f"{type(exc).__name__}: {exc}"
    return lm_build, None


def _stamp(module):
    """Identifies one build of a native module, so that each build is checked once."""
    path = getattr(module, "__file__", None)
    if not path:
        return "unknown"
    st = os.stat(path)
    return f"{os.path.basename(path)}:{st.st_size}:{st.st_mtime_ns}"


def compare_indexed(a, b):
    """Differences between two indexed corpus folders (token arrays and both dictionaries)."""
    problems = []
    names_a = sorted(os.listdir(a + "/data/npy"))
    names_b = sorted(os.listdir(b + "/data/npy"))
    if names_a != names_b:
        problems.append(f"token arrays differ in names: {len(names_a)} vs {len(names_b)} files")
    for name in sorted(set(names_a) & set(names_b)):
        x = np.load(a + "/data/npy/" + name)
        y = np.load(b + "/data/npy/" + name)
        if x.dtype != y.dtype or x.shape != y.shape or not np.array_equal(x, y):
            problems.append(f"{name}: {x.dtype}{x.shape} vs {y.dtype}{y.shape}")
    for dictionary in ("words", "tags"):
        with open(f"{a}/data/idx/{dictionary}.pickle", "rb") as f:
            x = pickle.load(f)
        with open(f"{b}/data/idx/{dictionary}.pickle", "rb") as f:
            y = pickle.load(f)
        if type(x) is not type(y) or list(x.items()) != list(y.items()):
            problems.append(f"{dictionary}.pickle differs")
    return problems


def indexed_copy(tokens, texts, seed=0, *, builder="auto", root=OUT):
    """The cached indexed corpus (token arrays and id-to-word dictionaries); made on first use.

    ``builder``: "baseline", "native" (``lumora.lm_build``, which must import) or "auto"
    (native when it imports). Whenever a build of ``lumora.lm_build`` is seen for the first
    time, its output is compared file by file with the baseline's; if they differ, the
    baseline's files become the cached copy and ``RuntimeError`` tells what differs.
    """
    from bench.baseline_build import make_indexes as baseline

    if builder not in ("auto", "baseline", "native"):
        raise ValueError(f"builder must be 'auto', 'baseline' or 'native', not {builder!r}")
    module, reason = native_builder() if builder != "baseline" else (None, None)
    if builder == "native" and module is None:
        raise ImportError(f"lumora.lm_build is not available ({reason})")
    native = module.make_indexes if module is not None else None

    final = Path(root) / "indexed" / _key(tokens, texts, seed)
    cached = Corpus(_workspace(final), CORPUS_NAME, tokens, texts, seed)
    meta = _read_meta(final)
    if meta is None:
        first = fresh_prepared(tokens, texts, seed, root=root)
        try:
            (native or baseline)(first.workspace, first.corpus_name, LANGUAGE)
            meta = {"tokens": tokens, "texts": texts, "seed": seed,
                    "version": GENERATOR_VERSION, "builder": "native" if native else "baseline"}
            _write_meta(first.workspace, meta)
        except BaseException:
            discard(first, root=root)
            raise
        (Path(root) / "indexed").mkdir(parents=True, exist_ok=True)
        _publish(first.workspace.rstrip(os.sep), final)
        meta = _read_meta(final)

    if native is not None and meta.get("native_checked") != _stamp(module):
        other = fresh_prepared(tokens, texts, seed, root=root)
        try:
            (baseline if meta["builder"] == "native" else native)(
                other.workspace, other.corpus_name, LANGUAGE)
            problems = compare_indexed(other.path, cached.path)
            if problems and meta["builder"] == "native":
                # The cache was the native build: put the baseline's files in its place.
                meta = dict(meta, builder="baseline")
                _write_meta(other.workspace, meta)
                shutil.rmtree(final)
                _publish(other.workspace.rstrip(os.sep), final)
        finally:
            if os.path.isdir(other.workspace):
                discard(other, root=root)
        if problems:
            raise RuntimeError("lumora.lm_build and the baseline build differ: "
                               + "; ".join(problems[:10]))
        _write_meta(final, dict(meta, native_checked=_stamp(module)))
    return cached


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python -m bench.corpus", description=__doc__.split("\n")[0])
    ap.add_argument("workspace", help="folder to write into (the corpus folder is WORKSPACE/NAME)")
    ap.add_argument("name", nargs="?", default=CORPUS_NAME, help="corpus folder name")
    ap.add_argument("--tokens", type=int, default=2_000_000)
    ap.add_argument("--texts", type=int, default=400)
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--ids", choices=("dense", "wide"), default="dense")
    args = ap.parse_args(argv)
    workspace = args.workspace if args.workspace.endswith(os.sep) else args.workspace + os.sep
    started = time.perf_counter()
    corpus = generate(workspace, args.name, args.tokens, args.texts, args.seed, ids=args.ids)
    elapsed = time.perf_counter() - started
    print(f"wrote {corpus.path}: {corpus.tokens} tokens in {corpus.texts} texts "
          f"(seed {corpus.seed}) in {elapsed:.2f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
