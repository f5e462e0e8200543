"""Shared fixtures: corpus folders in prepared form (token files, dictionaries in word-to-id form)
and in indexed form (token arrays, dictionaries in id-to-word form), written without lumora so
every module's tests stand on their own."""

import os
import pickle
import random
from dataclasses import dataclass, field
from pathlib import Path

import sys

import numpy as np
import pytest

# The benchmark baselines (the bench package at the project root) double as reference renderings
# in tests. The package itself lives in src/, so the root never holds a lumora to shadow it.
ROOT = Path(__file__).resolve().parents[1]
if str(ROOT) not in sys.path:
    sys.path.append(str(ROOT))


@dataclass
class Corpus:
    workspace: str  # ends with a separator: paths are workspace + name + suffix
    name: str
    word_ids: dict = field(default_factory=dict)  # word form -> id
    tag_ids: dict = field(default_factory=dict)  # tag -> id

    @property
    def folder(self) -> Path:
        return Path(self.workspace + self.name)

    @property
    def tmp1(self) -> Path:
        return self.folder / "data" / "tmp1"

    @property
    def npy(self) -> Path:
        return self.folder / "data" / "npy"

    @property
    def idx(self) -> Path:
        return self.folder / "data" / "idx"

    @property
    def npy_path(self) -> str:
        """The token-array folder as the modules build it, with its trailing separator."""
        return self.workspace + self.name + "/data/npy/"

    def listing(self):
        """Token-array names in the order the operating system lists them."""
        return os.listdir(self.npy)

    def read_dict(self, which):
        with open(self.idx / f"{which}.pickle", "rb") as f:
            return pickle.load(f)

    def write_dict(self, which, obj):
        with open(self.idx / f"{which}.pickle", "wb") as f:
            pickle.dump(obj, f)


def _token(tok):
    """(word, tag) or (word, tag, f3, f4) -> the four fields."""
    if len(tok) == 2:
        return tok[0], tok[1], 0, 0
    return tuple(tok[:4])


def _assign_ids(items, rnd):
    ids = rnd.sample(range(1, 2**31 - 1), len(items))
    return dict(zip(items, ids))


def _vocabulary(texts, extra_words, extra_tags):
    words, tags = {}, {}
    for tokens in texts.values():
        for tok in tokens:
            if isinstance(tok, str):
                continue
            w, t = _token(tok)[:2]
            words.setdefault(w, None)
            tags.setdefault(t, None)
    for w in extra_words:
        words.setdefault(w, None)
    for t in extra_tags:
        tags.setdefault(t, None)
    return list(words), list(tags)


def lowercase_dict(word_ids):
    """The lower-case word dictionary: lower-cased form -> ids of all its case variants."""
    lc = {}
    for w, i in word_ids.items():
        lc.setdefault(w.lower(), []).append(i)
    return lc


def make_prepared(root, texts, name="c1", seed=0, extra_words=(), extra_tags=(), word_ids=None,
                  tag_ids=None):
    """A corpus folder as the caller prepares it. `texts` maps a token-file name to its tokens:
    (word, tag), (word, tag, f3, f4), or a raw line (str, written as it stands)."""
    rnd = random.Random(seed)
    words, tags = _vocabulary(texts, extra_words, extra_tags)
    rnd.shuffle(words)
    rnd.shuffle(tags)
    c = Corpus(str(root) + os.sep, name,
               word_ids if word_ids is not None else _assign_ids(words, rnd),
               tag_ids if tag_ids is not None else _assign_ids(tags, rnd))
    for sub in ("idx", "npy", "tmp1"):
        (c.folder / "data" / sub).mkdir(parents=True, exist_ok=True)
    for fname, tokens in texts.items():
        lines = []
        for tok in tokens:
            lines.append(tok if isinstance(tok, str) else "\t".join(map(str, _token(tok))))
        (c.tmp1 / fname).write_text("".join(line + "\n" for line in lines), encoding="utf-8")
    c.write_dict("words", dict(c.word_ids))
    c.write_dict("tags", dict(c.tag_ids))
    c.write_dict("wordslc", lowercase_dict(c.word_ids))
    return c


def make_indexed(root, texts, name="c1", seed=0, extra_words=(), extra_tags=()):
    """A corpus folder as the index builder leaves it: one token array per text (shape (n, 4) of
    NumPy's default integer, (0,) for a text without tokens) and id-to-word dictionaries."""
    texts = {k: [t for t in v if not isinstance(t, str)] for k, v in texts.items()}
    c = make_prepared(root, texts, name, seed, extra_words, extra_tags)
    for fname, tokens in texts.items():
        rows = [(c.word_ids[w], c.tag_ids[t], int(a), int(b))
                for w, t, a, b in map(_token, tokens)]
        out = str(c.npy / fname)
        np.save(out, np.array(rows, dtype=int), allow_pickle=False)
    c.write_dict("words", {i: w for w, i in c.word_ids.items()})
    c.write_dict("tags", {i: t for t, i in c.tag_ids.items()})
    return c


def tokens_of(text, tag="NN"):
    """'the cat sat' -> [(the, NN), (cat, NN), (sat, NN)]; 'the/DT cat/NN' gives the tags."""
    out = []
    for piece in text.split():
        w, _, t = piece.rpartition("/") if "/" in piece[1:] else (piece, "", tag)
        out.append((w, t or tag))
    return out


def run_python(code, timeout=120, env=None):
    """Runs code in a fresh interpreter that imports the same lumora as this process (not the
    source tree of the working folder, which holds no built modules after an install); `env`
    adds to (or, with None values, removes from) this process's environment."""
    import subprocess
    import textwrap

    import lumora
    env = {k: v for k, v in dict(os.environ, **(env or {})).items() if v is not None}
    env["PYTHONPATH"] = os.path.dirname(os.path.dirname(lumora.__file__))
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                          text=True, timeout=timeout, check=False, env=env,
                          cwd=os.path.dirname(__file__))


@pytest.fixture
def prepared(tmp_path):
    """Factory: prepared(texts, **kw) -> Corpus in prepared form under tmp_path."""
    return lambda texts, **kw: make_prepared(tmp_path, texts, **kw)


@pytest.fixture
def indexed(tmp_path):
    """Factory: indexed(texts, **kw) -> Corpus in indexed form under tmp_path."""
    return lambda texts, **kw: make_indexed(tmp_path, texts, **kw)


@pytest.fixture
def rng(request):
    """A seeded random generator; the seed shows in the report of a failing test."""
    seed = int(os.environ.get("LUMORA_TEST_SEED", random.randrange(2**32)))
    request.node.add_report_section("call", "seed", f"LUMORA_TEST_SEED={seed}")
    return random.Random(seed)


# The shared treebanks: beside the checkout, or where LUMORA_CORPORA says (CI tests copies of the
# checkout made elsewhere).
CORPORA = Path(os.environ.get("LUMORA_CORPORA")
               or Path(__file__).resolve().parents[2] / "shared" / "corpora")


@pytest.fixture
def conllu_corpus():
    """Path of a real CoNLL-U treebank, or a skip when the shared corpora are absent."""
    def get(name="en_ewt-ud-dev.conllu"):
        p = CORPORA / name
        if not p.exists():
            pytest.skip(f"shared corpus {name} not available")
        return p
    return get


def sequence_rows(columns, name):
    """The module-style rows of the engine's sequence columns (rank, name, freq, texts,
    percent), checking the columns' names and types on the way."""
    assert list(columns) == ["rank", name, "freq", "texts", "percent"]
    offsets, data = columns[name]
    assert offsets.dtype == np.int64 and data.dtype == np.uint8 and offsets[0] == 0
    for col in ("rank", "freq", "texts"):
        assert columns[col].dtype == np.int64
    assert columns["percent"].dtype == np.float32
    raw, at = data.tobytes(), offsets.tolist()
    strings = [raw[a:b].decode("utf-8") for a, b in zip(at, at[1:])]
    return list(zip(columns["rank"].tolist(), strings, columns["freq"].tolist(),
                    columns["texts"].tolist(), columns["percent"].tolist()))


def seconds_to_interrupt(setup, call, delay, timeout=300):
    """Runs ``setup`` (code) in a fresh interpreter, then ``call`` (an expression) in a loop,
    sends it SIGINT after ``delay`` seconds and returns how long the loop took to stop with
    KeyboardInterrupt (a failed assertion when it never did)."""
    import textwrap

    code = textwrap.dedent(setup) + textwrap.dedent(f"""
        import os, signal, threading, time
        # A shell that starts us in the background ignores SIGINT, and Python then keeps
        # ignoring it; Ctrl-C at a terminal raises KeyboardInterrupt, as here.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        threading.Timer({delay!r}, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        start = time.perf_counter()
        try:
            for _ in range(1000):
                {call}
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start)
        """)
    r = run_python(code, timeout=timeout)
    assert "interrupted" in r.stdout, r.stderr
    return float(r.stdout.split()[-1])
