"""Corpus preparation: from texts to an indexed corpus folder that the analysis modules read.

A corpus is a folder ``workspace + name`` holding

* ``data/tmp1/``: one token file per text, a token per line: ``word<TAB>tag<TAB>sentence<TAB>
  position`` (sentence number in the text and position in the sentence, both from 1);
* ``data/idx/words.pickle``, ``tags.pickle``: word and tag dictionaries (id-to-string after the
  build), ``wordslc.pickle``: lower-cased form to the ids of its case variants;
* ``data/npy/``: one NumPy token array per token file, written by :mod:`lumora.lm_build`;
* ``lumora-corpus.json``: what was prepared (language, counts, tagger).

Sources are plain-text files (tokenised and tagged here), vertical files (a token per line, word
and tag separated by a tab, blank or ``<s>``-like lines between sentences) and CoNLL-U files
(FORM and UPOS; one text per ``# newdoc`` document). A corpus is always built in a new hidden
folder beside the target and swapped in when complete, so a failed preparation leaves an older
corpus of the same name as it was.
"""

import io
import json
import os
import pickle
import re
import secrets
import shutil
import socket
import time
import unicodedata
from dataclasses import asdict, dataclass

from .tagging import get_tagger, split_sentences, tag_function, tagger_name, tokenize

__all__ = [
    "FORMATS",
    "CorpusError",
    "CorpusInfo",
    "PrepareError",
    "find_sources",
    "locate",
    "prepare",
    "prepare_texts",
    "read_info",
]

MARKER = "lumora-corpus.json"
FORMATS = ("text", "vertical", "conllu")
EXTENSIONS = {".txt": "text", ".text": "text", ".vrt": "vertical", ".vert": "vertical",
              ".vertical": "vertical", ".conllu": "conllu", ".conll": "conllu"}
MAX_ID = 2**31 - 1


class CorpusError(Exception):
    """A folder is not a usable corpus, or a corpus could not be made; the message says why."""


class PrepareError(CorpusError):
    """A corpus could not be prepared (bad input, unusable target); the message says why."""


@dataclass
class CorpusInfo:
    """What a preparation produced. ``workspace`` (ending in a separator) and ``name`` are the
    first two arguments of every analysis function."""

    workspace: str
    name: str
    language: str
    texts: int
    sentences: int
    tokens: int
    types: int
    tags: int
    tagger: str

    @property
    def folder(self):
        return self.workspace + self.name


class NewText:
    """Stream item that starts a new text; the sentences (lists of (word, tag)) that follow it
    belong to that text."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = name


# ---------------------------------------------------------------------------------------------
# Names and places

def locate(corpus):
    """(workspace, name) of a corpus folder path: the folder's parent with a trailing separator,
    and its own name."""
    path = os.path.abspath(os.fspath(corpus))
    parent, name = os.path.split(path)
    if not name:
        raise PrepareError(f"{os.fspath(corpus)!r} cannot be a corpus folder")
    return parent.rstrip(os.sep) + os.sep, name


def read_info(corpus):
    """The description stored in a prepared corpus folder, or None when it has none."""
    try:
        with open(os.path.join(os.fspath(corpus), MARKER), encoding="utf-8") as f:
            info = json.load(f)
    except (OSError, ValueError):
        return None
    return info if isinstance(info, dict) else None


def is_corpus_folder(path):
    if os.path.isfile(os.path.join(path, MARKER)):
        return True
    return all(os.path.isdir(os.path.join(path, "data", sub)) for sub in ("idx", "npy"))


_UNSAFE = re.compile(r"[^\w.+=,@~-]+")
_RESERVED = {"CON", "PRN", "AUX", "NUL", *(f"COM{i}" for i in range(1, 10)),
             *(f"LPT{i}" for i in range(1, 10))}
_NAME_BYTES = 150


def safe_name(name):
    """A file name made of letters, digits and . _ - + = , @ ~ that is neither hidden nor a
    device name on any common system and ends neither in a dot nor in ".npy" (the builder would
    drop that extension, so two texts could share one token array)."""
    name = _UNSAFE.sub("_", unicodedata.normalize("NFC", str(name))).strip("._") or "text"
    if name.split(".")[0].upper() in _RESERVED:
        name = "_" + name
    while len(name.encode("utf-8")) > _NAME_BYTES:
        name = name[:-1]
    name = name.rstrip(".") or "text"
    if name.lower().endswith(".npy"):
        name = name[:-4] + "_npy"
    return name


class _Names:
    """Unique token-file names; two names that differ only in case count as the same, since the
    file system may not tell them apart."""

    def __init__(self):
        self._taken = set()

    def allocate(self, wanted):
        base = safe_name(wanted)
        stem, dot, ext = base.rpartition(".")
        if not stem or len(ext) > 10:
            stem, dot, ext = base, "", ""
        name, k = base, 1
        while name.casefold() in self._taken:
            k += 1
            name = f"{stem}-{k}{dot}{ext}"
        self._taken.add(name.casefold())
        return name


# ---------------------------------------------------------------------------------------------
# Readers: each yields NewText(name) and then that text's sentences, lists of (word, tag)

_BOMLESS = {"utf-8": "utf-8-sig", "utf8": "utf-8-sig"}


class _Source:
    """A source file opened as text, with progress reports in bytes read."""

    def __init__(self, path, encoding, progress):
        self.path = path
        self.encoding = _BOMLESS.get(encoding.lower().replace("_", "-"), encoding)
        self.progress = progress
        self._done = 0

    def lines(self):
        try:
            with open(self.path, "rb") as raw:
                f = io.TextIOWrapper(raw, encoding=self.encoding, newline=None)
                for i, line in enumerate(f, 1):
                    if self.progress is not None and i % 2048 == 0:
                        self._advance(raw.tell())
                    yield i, line
                if self.progress is not None:
                    self._advance(os.fstat(raw.fileno()).st_size)
        except UnicodeDecodeError as e:
            raise PrepareError(f"{self.path}: not {self.encoding} text ({e.reason}); give the "
                               "right encoding") from None
        except LookupError as e:
            raise PrepareError(f"unknown encoding: {e}") from None

    def _advance(self, pos):
        if pos > self._done:
            self.progress(pos - self._done)
            self._done = pos


def _paragraphs(lines, limit=1 << 20):
    """Blank-line separated paragraphs; a paragraph that grows past limit characters is cut at
    a line end so that a file without blank lines is not held whole."""
    buf, size = [], 0
    for _, line in lines:
        if line.strip():
            buf.append(line)
            size += len(line)
            if size < limit:
                continue
        if buf:
            yield "".join(buf)
            buf, size = [], 0
    if buf:
        yield "".join(buf)


def _tagged(sents, tag, source):
    for sent in sents:
        tags = list(tag(sent))
        if len(tags) != len(sent):
            raise PrepareError(f"the tagger gave {len(tags)} tags for {len(sent)} tokens "
                               f"({source})")
        yield list(zip(sent, tags))


def _text_stream(paragraphs, tag, language, source):
    for para in paragraphs:
        toks = tokenize(para, language)
        if toks:
            yield from _tagged(split_sentences(toks), tag, source)


def read_text(source, name, tag, language):
    yield NewText(name)
    yield from _text_stream(_paragraphs(source.lines()), tag, language, source.path)


_STRUCTURE = re.compile(r"^</?[A-Za-z_][^\t<>]*/?>$")


def read_vertical(source, name):
    """One text per file. A line holds word and tag separated by a tab (further fields are
    ignored; a missing tag is X); blank lines and lines such as <s>, </s>, <p> or <doc id="1">
    end a sentence."""
    yield NewText(name)
    sent = []
    for _, line in source.lines():
        line = line.rstrip("\r\n")
        stripped = line.strip()
        if not stripped or _STRUCTURE.match(stripped):
            if sent:
                yield sent
                sent = []
            continue
        fields = line.split("\t")
        word = fields[0].strip()
        if not word:
            continue
        tag = fields[1].strip() if len(fields) > 1 else ""
        sent.append((word, tag or "X"))
    if sent:
        yield sent


_NEWDOC = re.compile(r"^#\s*newdoc\b(?:.*?\bid\s*=\s*(.*))?")


def read_conllu(source, name):
    """One text per "# newdoc" document (named after its id), or one text for a file without
    newdoc lines. Words are FORM with UPOS; multiword-token ranges (3-4) and empty nodes (5.1)
    are skipped."""
    started = False
    ndoc = 0
    sent = []
    for lineno, line in source.lines():
        line = line.rstrip("\r\n")
        if line.startswith("#"):
            m = _NEWDOC.match(line)
            if m:
                if sent:
                    if not started:
                        yield NewText(name)
                        started = True
                    yield sent
                    sent = []
                ndoc += 1
                doc_id = (m.group(1) or "").strip()
                yield NewText(doc_id or f"{name}-doc{ndoc}")
                started = True
            continue
        if not line.strip():
            if sent:
                if not started:
                    yield NewText(name)
                    started = True
                yield sent
                sent = []
            continue
        fields = line.split("\t")
        if len(fields) < 4:
            raise PrepareError(f"{source.path}:{lineno}: not a CoNLL-U line (expected "
                               "tab-separated ID, FORM, LEMMA, UPOS, ...)")
        tid = fields[0]
        if "-" in tid or "." in tid:
            continue
        if not tid.isdigit():
            raise PrepareError(f"{source.path}:{lineno}: not a CoNLL-U token ID: {tid!r}")
        upos = fields[3].strip()
        sent.append((fields[1], upos if upos and upos != "_" else "X"))
    if sent or not started:
        if not started:
            yield NewText(name)
        if sent:
            yield sent


def sniff_format(path, encoding="utf-8"):
    """Guess the format of a file with an unknown extension from its first lines."""
    conllu = vertical = other = 0
    try:
        with open(path, encoding=_BOMLESS.get(encoding.lower(), encoding),
                  errors="replace") as f:
            for _, line in zip(range(200), f):
                line = line.strip()
                if not line or line.startswith("#") and not vertical:
                    continue
                fields = line.split("\t")
                if len(fields) == 10 and re.match(r"^\d+([-.]\d+)?$", fields[0]):
                    conllu += 1
                elif 2 <= len(fields) <= 8 and " " not in fields[0] or _STRUCTURE.match(line):
                    vertical += 1
                else:
                    other += 1
    except OSError as e:
        raise PrepareError(f"cannot read {path}: {e.strerror}") from None
    if conllu and conllu >= vertical + other:
        return "conllu"
    if vertical and vertical >= 4 * other:
        return "vertical"
    return "text"


# ---------------------------------------------------------------------------------------------
# Finding the sources

@dataclass
class Source:
    path: str
    format: str
    name: str  # text name (token-file name before it is made safe and unique)


def find_sources(paths, fmt="auto", encoding="utf-8"):
    """The source files of a preparation: each given file, and in each given folder (walked in
    sorted order) every visible file with a known extension (every visible file when fmt is not
    auto). Corpus folders met on the way are not entered."""
    if fmt not in ("auto",) + FORMATS:
        raise PrepareError(f"unknown input format {fmt!r} (use auto, {', '.join(FORMATS)})")
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    found = []
    for given in paths:
        p = os.fspath(given)
        if os.path.isdir(p):
            top = os.path.abspath(p)
            for root, dirs, files in os.walk(top):
                dirs[:] = sorted(d for d in dirs if not d.startswith(".")
                                 and not is_corpus_folder(os.path.join(root, d)))
                for fname in sorted(files):
                    if fname.startswith(".") or fname == MARKER:
                        continue
                    ext = os.path.splitext(fname)[1].lower()
                    kind = fmt if fmt != "auto" else EXTENSIONS.get(ext)
                    if kind is None:
                        continue
                    full = os.path.join(root, fname)
                    rel = os.path.relpath(full, top)
                    found.append(Source(full, kind, rel.replace(os.sep, "__")))
        elif os.path.isfile(p):
            ext = os.path.splitext(p)[1].lower()
            kind = fmt if fmt != "auto" else EXTENSIONS.get(ext) or sniff_format(p, encoding)
            found.append(Source(os.path.abspath(p), kind, os.path.basename(p)))
        elif os.path.exists(p):
            raise PrepareError(f"not a file or folder: {p}")
        else:
            raise PrepareError(f"no such file or folder: {p}")
    return found


# ---------------------------------------------------------------------------------------------
# Writing a corpus folder

_LINE_BREAKS = re.compile(r"[\t\r\n]+")


def _field(s):
    s = s if type(s) is str else str(s)
    s = s.strip()
    if "\t" in s or "\n" in s or "\r" in s:
        s = _LINE_BREAKS.sub(" ", s)
    return s


class _Writer:
    """Writes token files and collects the dictionaries; ids are numbered from 1 in order of
    first appearance."""

    def __init__(self, folder):
        self.tmp1 = os.path.join(folder, "data", "tmp1")
        self.words = {}
        self.tags = {}
        self.names = _Names()
        self.texts = self.sentences = self.tokens = 0

    def write(self, stream):
        f = None
        sent_no = 0
        try:
            for item in stream:
                if type(item) is NewText:
                    if f is not None:
                        f.close()
                    fname = self.names.allocate(item.name)
                    f = open(os.path.join(self.tmp1, fname), "w",  # noqa: SIM115 (closed below)
                             encoding="utf-8", newline="\n")
                    self.texts += 1
                    sent_no = 0
                    continue
                if f is None:
                    raise PrepareError("a sentence came before any text began")
                lines = []
                words, tags = self.words, self.tags
                pos = 0
                for word, tag in item:
                    word = _field(word)
                    if not word:
                        continue
                    tag = _field(tag) or "X"
                    if word not in words:
                        words[word] = self._next_id(words, "word forms")
                    if tag not in tags:
                        tags[tag] = self._next_id(tags, "tags")
                    pos += 1
                    lines.append(f"{word}\t{tag}\t{sent_no + 1}\t{pos}\n")
                if pos:
                    sent_no += 1
                    self.sentences += 1
                    self.tokens += pos
                    f.write("".join(lines))
        except UnicodeEncodeError as e:
            raise PrepareError(f"a text holds characters that cannot be written as UTF-8 "
                               f"({e.reason}: {e.object[e.start:e.end]!r})") from None
        finally:
            if f is not None:
                f.close()

    @staticmethod
    def _next_id(d, what):
        if len(d) >= MAX_ID:
            raise PrepareError(f"too many distinct {what} for 32-bit ids")
        return len(d) + 1

    def dump_dictionaries(self, idx):
        lower = {}
        for w, i in self.words.items():
            lower.setdefault(w.lower(), []).append(i)
        for fname, obj in (("words", self.words), ("tags", self.tags), ("wordslc", lower)):
            with open(os.path.join(idx, fname + ".pickle"), "wb") as f:
                pickle.dump(obj, f)


def _build(stream, corpus, language, tagger_label):
    """Write the stream of texts into a new folder beside corpus, index it, then put it in
    corpus's place. Returns the CorpusInfo."""
    workspace, name = locate(corpus)
    if os.path.islink(workspace + name) and os.path.isdir(workspace + name):
        # a link to a corpus: replace the corpus it points to and keep the link
        workspace, name = locate(os.path.realpath(workspace + name))
    target = workspace + name
    if not os.path.isdir(workspace):
        raise PrepareError(f"no such folder: {workspace}")
    if os.path.lexists(target) and not os.path.isdir(target):
        raise PrepareError(f"{target} exists and is not a folder")
    if os.path.isdir(target) and os.listdir(target) and not is_corpus_folder(target):
        raise PrepareError(f"{target} exists and is not a corpus folder; choose another "
                           "name or remove it")
    _remove_abandoned(workspace)
    try:
        new = _fresh_folder(workspace, f".{name}.", BUILDING)
        _claim(new)
    except OSError as e:
        raise PrepareError(f"cannot create the corpus in {workspace}: {e.strerror}") from None
    new_name = os.path.basename(new)
    try:
        for sub in ("idx", "npy", "tmp1"):
            os.makedirs(os.path.join(new, "data", sub))
        writer = _Writer(new)
        writer.write(stream)
        if writer.texts == 0:
            raise PrepareError("no texts to prepare")
        writer.dump_dictionaries(os.path.join(new, "data", "idx"))
        from . import lm_build

        lm_build.make_indexes(workspace, new_name, language)
        info = CorpusInfo(workspace, name, language, writer.texts, writer.sentences,
                          writer.tokens, len(writer.words), len(writer.tags), tagger_label)
        record = dict(asdict(info), format="lumora-corpus", version=1,
                      prepared=time.strftime("%Y-%m-%dT%H:%M:%S%z"))
        del record["workspace"], record["name"]
        with open(os.path.join(new, MARKER), "w", encoding="utf-8") as f:
            json.dump(record, f, indent=1)
            f.write("\n")
        os.remove(os.path.join(new, OWNER))
        _swap(new, target)
    except BaseException:
        shutil.rmtree(new, ignore_errors=True)
        raise
    return info


BUILDING = ".preparing"
OWNER = "lumora-owner.json"


def _process_start(pid):
    """The start time of a process in clock ticks since boot (Linux), or None when unknown; a
    process id reused by a later process then does not pass for the owner."""
    try:
        with open(f"/proc/{pid}/stat", "rb") as f:
            stat = f.read()
        return int(stat[stat.rindex(b")") + 2:].split()[19])
    except (OSError, ValueError, IndexError):
        return None


def _claim(folder):
    """Record in a build folder which process on which host is building it."""
    pid = os.getpid()
    record = {"pid": pid, "host": socket.gethostname(), "start": _process_start(pid)}
    with open(os.path.join(folder, OWNER), "w", encoding="utf-8") as f:
        json.dump(record, f)


def _owner_gone(folder):
    """True only when the folder's recorded owner is a process of this host that no longer
    runs. A folder without a readable record (just made, or not ours) is never taken for
    abandoned, nor is one owned from another host."""
    try:
        with open(os.path.join(folder, OWNER), encoding="utf-8") as f:
            record = json.load(f)
        pid, host, start = int(record["pid"]), record["host"], record.get("start")
    except (OSError, ValueError, KeyError, TypeError):
        return False
    if host != socket.gethostname() or pid <= 0:
        return False
    if pid == os.getpid():
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False  # alive, owned by another user
    now = _process_start(pid)
    return start is not None and now is not None and now != start


def _remove_abandoned(parent):
    """Remove the build folders beside the target whose preparation died (killed, power lost):
    without this, every crashed run would leave a copy of a corpus behind."""
    try:
        entries = os.listdir(parent)
    except OSError:
        return
    for entry in entries:
        if entry.startswith(".") and entry.endswith(BUILDING):
            path = parent + entry
            if not os.path.islink(path) and os.path.isdir(path) and _owner_gone(path):
                shutil.rmtree(path, ignore_errors=True)


def _fresh_folder(parent, prefix, suffix):
    """A new folder with a unique name, made with the usual permissions (unlike mkdtemp's)."""
    while True:
        path = parent + prefix + secrets.token_hex(4) + suffix
        try:
            os.mkdir(path)
            return path
        except FileExistsError:
            continue


def _swap(new, target):
    """Put the folder new at target; an older folder at target is removed only once the new one
    is in place (if the move fails, it is put back)."""
    old = None
    if os.path.isdir(target):
        old = _fresh_folder(os.path.dirname(target) + os.sep,
                            os.path.basename(new) + ".", ".old")
        os.rmdir(old)
        os.rename(target, old)
    try:
        os.rename(new, target)
    except OSError:
        if old is not None:
            os.rename(old, target)
        raise
    if old is not None:
        shutil.rmtree(old, ignore_errors=True)


def _source_stream(sources, tag, language, encoding, progress):
    for src in sources:
        f = _Source(src.path, encoding, progress)
        if src.format == "text":
            yield from read_text(f, src.name, tag, language)
        elif src.format == "vertical":
            yield from read_vertical(f, src.name)
        elif src.format == "conllu":
            yield from read_conllu(f, src.name)
        else:
            raise PrepareError(f"unknown input format {src.format!r}")


def _language(code):
    code = (code or "en").strip().lower()
    if not re.match(r"^[a-z]{2,3}(?:[-_][a-z0-9]+)*$", code):
        raise PrepareError(f"not a language code: {code!r} (use one such as en, de or pt)")
    return code


def prepare(sources, corpus, *, fmt="auto", language="en", tagger=None, encoding="utf-8",
            progress=None):
    """Prepare and index a corpus folder ``corpus`` from files and folders of texts.

    ``sources``: a path or a list of paths; folders are searched for .txt (plain text), .vrt /
    .vert (vertical) and .conllu (CoNLL-U) files, or for every file when ``fmt`` names one
    format. ``tagger``: for plain text, None/"auto", "rules", "spacy[:MODEL]", "module:attr" or
    a tagger object (see :func:`lumora.tagging.get_tagger`). ``progress``: called with the
    number of source bytes read since its last call. An existing corpus at ``corpus`` is
    replaced only when the new one is complete. Returns a :class:`CorpusInfo`.
    """
    language = _language(language)
    srcs = find_sources(sources, fmt, encoding)
    if not srcs:
        wanted = ", ".join(sorted(EXTENSIONS)) if fmt == "auto" else "any visible file"
        raise PrepareError(f"no input files found (looked for {wanted})")
    label = "none"
    tag = None
    if any(s.format == "text" for s in srcs):
        tagger_obj = get_tagger(tagger, language)
        tag = tag_function(tagger_obj)
        label = tagger_name(tagger_obj)
    stream = _source_stream(srcs, tag, language, encoding, progress)
    return _build(stream, corpus, language, label)


def prepare_texts(texts, corpus, *, language="en", tagger="rules"):
    """Prepare and index a corpus folder from texts in memory: a mapping (or pairs) of text name
    to text, tokenised here and tagged by ``tagger`` (default: the rule tagger)."""
    language = _language(language)
    items = list(texts.items() if hasattr(texts, "items") else texts)
    tagger_obj = get_tagger(tagger, language)
    tag = tag_function(tagger_obj)

    def stream():
        for name, text in items:
            yield NewText(name)
            yield from _text_stream(_paragraph_split(text), tag, language, name)

    return _build(stream(), corpus, language, tagger_name(tagger_obj))


_PARAGRAPH = re.compile(r"\n[^\S\n]*\n\s*")


def _paragraph_split(text):
    return _PARAGRAPH.split(text)


def input_size(sources, fmt="auto", encoding="utf-8"):
    """Total size in bytes of the source files that :func:`prepare` would read."""
    total = 0
    for s in find_sources(sources, fmt, encoding):
        try:
            total += os.path.getsize(s.path)
        except OSError:
            pass
    return total
