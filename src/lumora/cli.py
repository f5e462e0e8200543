"""The lumora command line: prepare a corpus from texts, then list frequencies, ranges,
dispersion, clusters, n-grams and keywords; ``lumora demo`` runs all of it on a sample corpus.

Exit status: 0 on success, 1 when a command fails (missing corpus, unreadable input, a module
not available), 2 for a command line that cannot be understood.
"""

import argparse
import importlib
import os
import re
import sys
import tempfile
import time

import numpy as np

from .corpus import FORMATS, CorpusError, PrepareError, input_size, prepare, prepare_texts
from .corpus_api import Corpus as CorpusAPI
from .corpus_api import reference_languages
from .stats import KEYNESS_MEASURES
from .table import Table as DataTable
from .tagging import TaggerError

PROG = "lumora"
MEASURES = {"ll": 1, "chi2": 2}
PROGRESS_MIN_BYTES = 4 * 1024 * 1024  # smaller inputs are prepared in a few seconds at most


class CliError(Exception):
    """A mistake or failure to report on one line, with the exit status to leave with."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def _first_line(e):
    text = str(e).strip()
    return text.splitlines()[0] if text else type(e).__name__


def available(module):
    try:
        importlib.import_module("lumora." + module)
        return True
    except ImportError:
        return False


# ---------------------------------------------------------------------------------------------
# Corpora

class Corpus:
    def __init__(self, path):
        self.path = path
        folder = os.path.abspath(path)
        if not os.path.isdir(folder):
            raise CliError(f"no corpus at {path} (prepare one with: {PROG} prepare TEXTS {path})")
        if not (os.path.isdir(os.path.join(folder, "data", "npy"))
                and os.path.isfile(os.path.join(folder, "data", "idx", "words.pickle"))
                and os.path.isfile(os.path.join(folder, "data", "idx", "tags.pickle"))):
            raise CliError(f"{path} is not a prepared corpus folder (prepare one with: "
                           f"{PROG} prepare TEXTS {path})")
        try:
            self.api = CorpusAPI(folder)
        except CorpusError as e:
            raise CliError(f"{e} (prepare one with: {PROG} prepare TEXTS {path})") from None
        self.language = self.api.language
        self._tags = None

    def tags(self):
        """The corpus's tags."""
        if self._tags is None:
            self._tags = set(self.api.tags)
        return self._tags

    def check_tags(self, pos, option="--pos"):
        """A tag pattern given on the command line, checked against the corpus's tags (the
        modules would silently drop an unknown tag's filter)."""
        if pos is None:
            return None
        pieces = pos.split()
        if not pieces:
            raise CliError(f"{option} needs at least one tag", 2)
        known = self.tags()
        for tag in pieces:
            if tag not in known:
                listing = ", ".join(sorted(known)) or "none"
                raise CliError(f"unknown tag {tag!r} in {option} (tags in this corpus: "
                               f"{listing})", 2)
        return " ".join(pieces)


# ---------------------------------------------------------------------------------------------
# Tables

class Printed:
    """A result to print: a title, a lumora.Table with the column names to show, notes."""

    def __init__(self, title, data, notes=(), source=None):
        self.title = title
        self.data = data
        self.notes = list(notes)
        self.source = source  # the lumora.Table printed, when a plot is drawn from it


def render(printed, fmt, out, limit=None):
    printed.data.format(fmt, limit, hint="see --limit", file=out)
    if fmt == "table":
        for note in printed.notes:
            out.write(note + "\n")


def _sorted(rows, key):
    """Rows sorted (stably) by key, largest first, renumbered from 1 in column 0."""
    rows = sorted(rows, key=key, reverse=True)
    return [(i,) + tuple(r[1:]) for i, r in enumerate(rows, 1)]


# ---------------------------------------------------------------------------------------------
# The analyses: each asks lumora.Corpus and returns a Table to print

_SORTS = {"freq": "freq", "range": "texts", "none": "first"}


def _printed(title, headers, table, notes=()):
    shown = DataTable({h: table.column(c) for h, c in zip(headers, table.columns)}, table.meta)
    return Printed(title, shown, notes, source=table)


def wordlist(corpus, lowercase=False):
    table = corpus.api.words(lowercase=lowercase)
    m = table.meta
    note = f"{m['tokens']:,} tokens, {m['types']:,} word forms, type/token ratio " \
           f"{m['type_token']:.4f}, {m['hapax']:,} hapax legomena"
    return _printed("Word list", ["rank", "word", "freq"], table, [note])


def wordtags(corpus, lowercase=False):
    return _printed("Word+tag list", ["rank", "word", "tag", "freq", "percent"],
                    corpus.api.wordtags(lowercase=lowercase))


def ranges(corpus, lowercase=False):
    return _printed("Range (texts each word occurs in)", ["rank", "word", "texts", "percent"],
                    corpus.api.ranges(lowercase=lowercase))


def word_dispersion(corpus, lowercase=False):
    table = corpus.api.words(lowercase=lowercase, dispersion=True)
    m = table.meta
    return _printed("Dispersion of every word over the texts (range, DP, DP normalised, "
                    "Juilland's D)", ["rank", "word", "freq", "range", "dp", "dp_norm",
                                      "juilland_d"], table,
                    [(f"{m['tokens']:,} tokens in {m['parts']:,} texts with tokens (of "
                      f"{m['texts']:,}); the measures leave the texts without tokens out")])


def _check_regexps(words):
    for w in words:
        try:
            re.compile(w)
        except re.error as e:
            raise CliError(f"bad regular expression {w!r}: {e}", 2) from None


def dispersion(corpus, term, pos=None, ignore_case=True, regexp=False, sort="hits",
               positions=False):
    words = term.split()
    if not 1 <= len(words) <= 3:
        raise CliError("the search term must have one to three words", 2)
    if regexp:
        _check_regexps([w.lower() for w in words] if ignore_case else words)
    pos = corpus.check_tags(pos)
    table = corpus.api.dispersion(" ".join(words), tags=pos, case_sensitive=not ignore_case,
                                  regexp=bool(regexp))
    title = f"Dispersion of {term!r}"
    if positions:
        hits = [(text, p) for text, ps in table.positions.items() for p in ps]
        return Printed(title, DataTable.from_rows(
            [(i, text, p) for i, (text, p) in enumerate(hits, 1)], ["no", "text", "position %"],
            dtypes={"no": np.int64, "text": str, "position %": np.float64}), source=table)
    rows = [(i,) + r for i, r in enumerate(table.to_list(), 1)]
    if sort == "hits":
        rows = _sorted(rows, key=lambda r: r[3])
    notes = []
    if table.meta["hits"]:
        notes.append(f"{table.meta['hits']:,} hits in {sum(1 for r in rows if r[3]):,} of "
                     f"{len(rows):,} texts; per fifth of the texts: "
                     + ", ".join(f"{t:,}" for t in table.meta["sections"]))
    else:
        notes.append(f"{term!r} does not occur in this corpus")
    headers = ["rank" if sort == "hits" else "no", "text", "tokens", "hits", "0-20%", "20-40%",
               "40-60%", "60-80%", "80-100%"]
    kinds = [np.int64, str] + [np.int64] * 7
    return Printed(title, DataTable.from_rows(rows, headers, dtypes=dict(zip(headers, kinds))),
                   notes, source=table)


def clusters(corpus, word, pos=None, size=2, case_sensitive=False, sort="freq"):
    words = word.split()
    if len(words) != 1:
        raise CliError("clusters are made around one search word", 2)
    if not 1 <= size <= 3:
        raise CliError("the cluster size must be 1, 2 or 3", 2)
    pos = corpus.check_tags(pos)
    if pos is not None and len(pos.split()) != 1:
        raise CliError("clusters take one tag in --pos", 2)
    table = corpus.api.clusters(words[0], size=size, tag=pos,
                                case_sensitive=bool(case_sensitive), sort=_SORTS[sort])
    first = "no" if sort == "none" else "rank"
    return _printed(f"Clusters of {word!r} ({size} tokens)",
                    [first, "cluster", "freq", "texts", "percent"], table)


def ngrams(corpus, size=2, pos=None, lowercase=False, sort="freq"):
    if not 1 <= size <= 5:
        raise CliError("the n-gram size must be from 1 to 5", 2)
    pos = corpus.check_tags(pos)
    table = corpus.api.ngrams(size, tags=pos, lowercase=bool(lowercase), sort=_SORTS[sort])
    first = "no" if sort == "none" else "rank"
    return _printed(f"{size}-grams", [first, "n-gram", "freq", "texts", "percent"], table)


def keywords(corpus, language=None, measure=None, sort="score", reference=None):
    if measure is None:
        measure = "ll" if reference is None else ",".join(KEYNESS_MEASURES)
    measures = [m.strip() for m in measure.split(",") if m.strip()]
    if reference is None and measures in (["ll"], ["chi2"]):
        return _lm_keywords(corpus, language, measures[0], sort)
    if not measures:
        raise CliError("--measure needs at least one measure", 2)
    unknown = [m for m in measures if m not in KEYNESS_MEASURES]
    if unknown:
        raise CliError(f"unknown measure {unknown[0]!r} in --measure (measures: "
                       f"{', '.join(KEYNESS_MEASURES)})", 2)
    if reference is not None and language is not None:
        raise CliError("give --reference or --language, not both", 2)
    reference = reference or language or corpus.language
    if os.path.isdir(reference):
        other = Corpus(reference)
        against, ref = f"the corpus {reference}", other.api
    else:
        langs = reference_languages()
        if reference not in langs:
            raise CliError(f"--reference {reference!r} is neither a corpus folder nor a "
                           f"language with a reference list (languages: "
                           f"{', '.join(langs) or 'none'})", 2)
        against, ref = f"the {reference} reference list", reference
    table = corpus.api.keywords(reference=ref, measures=measures,
                                sort=measures[0] if sort == "score" else "freq")
    m = table.meta
    return _printed(f"Keywords against {against}",
                    ["rank", "word", "freq", "ref_freq", "per_million", "ref_per_million"]
                    + measures, table,
                    [f"{m['tokens']:,} tokens against {m['ref_tokens']:,}"])


def _lm_keywords(corpus, language, measure, sort):
    language = language or corpus.language
    langs = reference_languages()
    if language not in langs:
        raise CliError(f"no reference list for language {language!r} (available: "
                       f"{', '.join(langs) or 'none'})", 2)
    table = corpus.api.keywords(language=language, measure=measure,
                                sort="score" if sort == "score" else "first")
    name = "log-likelihood" if measure == "ll" else "chi-square"
    return _printed(f"Keywords ({name} against the {language} reference list)",
                    ["rank", "word", "freq", name], table)


# ---------------------------------------------------------------------------------------------
# Commands

def _output_format(args):
    if args.format:
        return args.format
    if args.output:
        ext = os.path.splitext(args.output)[1].lower()
        return {".tsv": "tsv", ".tab": "tsv", ".csv": "csv"}.get(ext, "table")
    return "table"


def _emit(table, args):
    fmt = _output_format(args)
    if args.output:
        try:
            with open(args.output, "w", encoding="utf-8", newline="") as out:
                render(table, fmt, out, args.limit)
        except OSError as e:
            raise CliError(f"cannot write {args.output}: {e.strerror}") from None
        rows = len(table.data)
        print(f"{rows if args.limit is None else min(args.limit, rows):,}"
              f" rows written to {args.output}", file=sys.stderr)
    else:
        render(table, fmt, sys.stdout, args.limit)
    return 0


def _analysis(fn):
    def run(args):
        _check_plot_path(args)
        return _emit(fn(Corpus(args.corpus), args), args)
    return run


cmd_wordlist = _analysis(lambda c, a: wordlist(c, a.lowercase))
cmd_freq = _analysis(lambda c, a: wordtags(c, a.lowercase))
cmd_range = _analysis(lambda c, a: word_dispersion(c, a.lowercase) if a.dispersion
                      else ranges(c, a.lowercase))


def _plotted(fn, draw):
    """A command that also draws its result into the file of --plot, when given."""
    def run(corpus, args):
        printed = fn(corpus, args)
        if args.plot:
            from . import plot
            try:
                draw(plot, corpus, args, printed.source)
            except ValueError as e:
                raise CliError(str(e), 2) from None
            except OSError as e:
                raise CliError(f"cannot write {args.plot}: {e.strerror}") from None
            print(f"plot written to {args.plot}", file=sys.stderr)
        return printed
    return run


def _draw_dispersion(plot, corpus, args, table):
    others = [dispersion(corpus, term, args.pos, not args.case_sensitive, args.regexp).source
              for term in args.also]
    plot.dispersion([table] + others, args.plot, skip_empty=args.skip_empty)


def _check_plot_path(args):
    if not getattr(args, "plot", None) and (getattr(args, "also", None) or
                                            getattr(args, "skip_empty", False)):
        raise CliError("--also and --skip-empty shape the plot: give --plot FILE too", 2)
    if getattr(args, "plot", None):
        ext = os.path.splitext(args.plot)[1].lower()
        if ext not in (".png", ".svg", ".pdf"):
            raise CliError(f"--plot needs a file name ending in .png, .svg or .pdf; got "
                           f"{args.plot!r}", 2)


cmd_dispersion = _analysis(_plotted(
    lambda c, a: dispersion(c, a.term, a.pos, not a.case_sensitive, a.regexp, a.sort,
                            a.positions),
    _draw_dispersion))
cmd_clusters = _analysis(lambda c, a: clusters(c, a.word, a.pos, a.size, a.case_sensitive,
                                               a.sort))
cmd_ngrams = _analysis(lambda c, a: ngrams(c, a.size, a.pos, a.lowercase, a.sort))
cmd_keywords = _analysis(_plotted(
    lambda c, a: keywords(c, a.language, a.measure, a.sort, a.reference),
    lambda plot, c, a, table: plot.keywords(table, a.plot, top=a.top)))


def kwic(corpus, query, width=5, sort=None, within="text", limit=None, centred=True,
         shown=None):
    table = corpus.api.kwic(query, width=width, sort=sort, within=within, limit=limit)
    if centred and len(table):
        # The node column lines up: left contexts are right-aligned to the widest one shown.
        widest = max(map(len, table["left"][:shown]))
        left = [s.rjust(widest) for s in table["left"]]
        table = table.with_columns(left=left)
    notes = [f"{_count(table.meta['hits'], 'line')} of {query}"]
    return _printed("Concordance", ["text", "position", "left", "node", "right"], table, notes)


def collocates(corpus, query, span=(4, 4), measures=("mi", "t", "ll", "logdice"), min_freq=2,
               within="text"):
    table = corpus.api.collocates(query, span=span, measures=measures, min_freq=min_freq,
                                  within=within)
    m = table.meta
    notes = [f"{_count(m['hits'], 'hit')} of {query}, {m['R1']:,} window positions in "
             f"{m['N']:,} tokens"]
    return _printed("Collocates", list(table.columns), table, notes)


def _span_arg(text):
    try:
        parts = [int(p) for p in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"span must be LEFT,RIGHT (e.g. 4,4); got "
                                         f"{text!r}") from None
    if len(parts) == 1:
        parts = parts * 2
    if len(parts) != 2 or min(parts) < 0:
        raise argparse.ArgumentTypeError(f"span must be LEFT,RIGHT (e.g. 4,4); got {text!r}")
    return tuple(parts)


def _query_errors(fn):
    def run(args):
        from .query import QueryError
        try:
            return fn(args)
        except (QueryError, ValueError) as e:
            raise CliError(str(e)) from None
    return run


cmd_kwic = _query_errors(_analysis(
    lambda c, a: kwic(c, a.query, a.width, a.sort, a.within,
                      centred=_output_format(a) == "table", shown=a.limit)))
cmd_collocates = _query_errors(_analysis(
    lambda c, a: collocates(c, a.query, a.span, tuple(a.measure.split(",")), a.min_freq,
                            a.within)))


def _progress(sources, fmt, encoding):
    """A tqdm bar on stderr for a preparation of more than a few megabytes, when tqdm is installed
    and stderr is a terminal; else None."""
    if not sys.stderr.isatty():
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    total = input_size(sources, fmt, encoding)
    if total < PROGRESS_MIN_BYTES:
        return None
    kw = {"total": total, "unit": "B", "unit_scale": True, "unit_divisor": 1024,
          "desc": "preparing", "file": sys.stderr, "leave": False}
    try:
        return tqdm(delay=0.5, **kw)
    except TypeError:  # tqdm before 4.58 has no delay
        return tqdm(**kw)


def _count(n, what):
    return f"{n:,} {what}" + ("" if n == 1 else "s")


def cmd_prepare(args):
    start = time.time()
    bar = _progress(args.sources, args.source_format, args.encoding)
    try:
        info = prepare(args.sources, args.corpus, fmt=args.source_format,
                       language=args.language, tagger=args.tagger, encoding=args.encoding,
                       progress=bar.update if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    counts = ", ".join(_count(n, what) for n, what in (
        (info.texts, "text"), (info.sentences, "sentence"), (info.tokens, "token"),
        (info.types, "word form"), (info.tags, "tag")))
    print(f"prepared {info.folder}: {counts} (tagger: {info.tagger}; "
          f"{time.time() - start:.1f} s)")
    print(f"next: {PROG} report {args.corpus}")
    return 0


def _pick_term(corpus):
    """A search word for the report: the most frequent noun (or word) of four letters or more."""
    if available("lm_tagfreq"):
        for _, word, tag, _, _ in corpus.api.wordtags(lowercase=True):
            if tag == "NOUN" and len(word) >= 4 and word.isalpha():
                return word
    for _, word, _ in corpus.api.words(lowercase=True):
        if len(word) >= 4 and word.isalpha():
            return word
    return None


def report(corpus, limit=10, term=None, out=None):
    """Top rows of every analysis whose module is available."""
    out = out or sys.stdout
    term = term or _pick_term(corpus)
    steps = [
        ("lm_vocab", lambda: wordlist(corpus)),
        ("lm_tagfreq", lambda: wordtags(corpus)),
        ("lm_docfreq", lambda: ranges(corpus)),
        ("lm_keyness", lambda: keywords(corpus)),
        ("lm_sequences", lambda: ngrams(corpus, size=3)),
        ("lm_bundles", lambda: clusters(corpus, term, size=2)),
        ("lm_spread", lambda: dispersion(corpus, term)),
        ("_engine", lambda: kwic(corpus, term, limit=limit)),
        ("_engine", lambda: collocates(corpus, term)),
    ]
    skipped = []
    for module, make in steps:
        if module in ("lm_bundles", "lm_spread", "_engine") and not term:
            continue
        if module == "lm_keyness" and corpus.language not in reference_languages():
            skipped.append(f"keywords (no reference list for {corpus.language!r})")
            continue
        if not available(module):
            skipped.append(f"lumora.{module}")
            continue
        table = make()
        out.write(f"\n== {table.title} ==\n")
        render(table, "table", out, limit)
    if skipped:
        out.write(f"\nnot available here: {', '.join(skipped)}\n")
    return 0


def cmd_report(args):
    return report(Corpus(args.corpus), args.limit, args.term)


def cmd_demo(args):
    from .sample import stdlib_texts

    texts = stdlib_texts()
    if len(texts) < 3:
        raise CliError("cannot read the standard library's docstrings for the sample corpus")
    version = ".".join(map(str, sys.version_info[:3]))
    with tempfile.TemporaryDirectory(prefix="lumora-demo-") as tmp:
        target = args.keep or os.path.join(tmp, "stdlib-docs")
        info = prepare_texts(texts, target, language="en", tagger="rules")
        print(f"Sample corpus: the docstrings of {info.texts} standard-library modules of "
              f"Python {version}, one text per module: {info.tokens:,} tokens in "
              f"{info.sentences:,} sentences, {info.types:,} word forms, tagged by lumora's "
              "rule tagger.")
        report(Corpus(target), args.limit, args.term)
    if args.keep:
        print(f"\nThe corpus is kept in {args.keep}; try: {PROG} freq {args.keep} --limit 20")
    return 0


# ---------------------------------------------------------------------------------------------
# Parser

class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise CliError(f"{message} (see: {self.prog} --help)", 2)


def _positive(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, got {text!r}")
    return value


def _output_options(p):
    g = p.add_argument_group("output")
    g.add_argument("--limit", type=_positive, metavar="N", help="show only the first N rows")
    g.add_argument("--format", choices=("table", "tsv", "csv"),
                   help="aligned table (default), or tab- or comma-separated values")
    g.add_argument("-o", "--output", metavar="FILE",
                   help="write to FILE instead of the screen (.tsv or .csv choose the format)")


def build_parser():
    p = _Parser(prog=PROG, description="Corpus analysis: word lists, word+tag lists, ranges, "
                "dispersion, clusters, n-grams and keywords of a prepared corpus.",
                epilog=f"Start with '{PROG} demo', or '{PROG} prepare TEXTS CORPUS' and then "
                f"'{PROG} report CORPUS'.")
    p.add_argument("--version", action="version",
                   version=f"{PROG} {importlib.import_module('lumora').__version__}")
    p.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", parser_class=_Parser)

    def command(name, func, help_text, corpus=True):
        sp = sub.add_parser(name, help=help_text, description=help_text)
        sp.set_defaults(func=func)
        if corpus:
            sp.add_argument("corpus", metavar="CORPUS", help="a corpus folder made by prepare")
        return sp

    sp = command("prepare", cmd_prepare, "prepare a corpus folder from texts", corpus=False)
    sp.add_argument("sources", nargs="+", metavar="TEXTS",
                    help="files or folders of .txt (plain text), .vrt/.vert (vertical) and "
                    ".conllu (CoNLL-U) files")
    sp.add_argument("corpus", metavar="CORPUS",
                    help="the corpus folder to create (an older corpus there is replaced)")
    sp.add_argument("--from", dest="source_format", choices=("auto",) + FORMATS,
                    default="auto", help="input format (default: by file extension)")
    sp.add_argument("--language", default="en",
                    help="language code, for tokenising, tagging and keywords (default: en)")
    sp.add_argument("--tagger", default="auto",
                    help="tagger for plain text: auto (spaCy if installed with a model, else "
                    "rules), rules, spacy[:MODEL] or module:callable (default: auto)")
    sp.add_argument("--encoding", default="utf-8", help="encoding of the input files")

    sp = command("wordlist", cmd_wordlist, "frequency list of word forms")
    sp.add_argument("--lowercase", action="store_true", help="merge case variants")
    _output_options(sp)

    sp = command("freq", cmd_freq, "frequency list of word+tag pairs")
    sp.add_argument("--lowercase", action="store_true", help="merge case variants")
    _output_options(sp)

    sp = command("range", cmd_range, "in how many texts each word occurs")
    sp.add_argument("--lowercase", action="store_true", help="merge case variants")
    sp.add_argument("--dispersion", action="store_true",
                    help="every word form with its frequency, range and dispersion over the "
                    "texts (DP, DP normalised, Juilland's D)")
    _output_options(sp)

    sp = command("dispersion", cmd_dispersion,
                 "where a search term of one to three words occurs in each text")
    sp.add_argument("term", metavar="TERM", help="one to three words (quote them)")
    sp.add_argument("--pos", metavar="TAGS", help="tags, one per word (e.g. 'DET NOUN')")
    sp.add_argument("--case-sensitive", action="store_true", help="match the exact form")
    sp.add_argument("--regexp", action="store_true",
                    help="each word is a regular expression matched at the start of words")
    sp.add_argument("--sort", choices=("hits", "none"), default="hits",
                    help="by number of hits (default) or in folder order")
    sp.add_argument("--positions", action="store_true",
                    help="list every hit's position (percent of its text) instead")
    sp.add_argument("--plot", metavar="FILE",
                    help="also draw a dispersion plot into FILE (.png, .svg or .pdf)")
    sp.add_argument("--also", metavar="TERM", action="append", default=[],
                    help="another term to draw beside TERM in the plot (repeatable)")
    sp.add_argument("--skip-empty", action="store_true",
                    help="leave the texts without hits out of the plot")
    _output_options(sp)

    sp = command("clusters", cmd_clusters, "the 1- to 3-token clusters around a search word")
    sp.add_argument("word", metavar="WORD")
    sp.add_argument("--size", type=int, default=2, help="cluster length, 1 to 3 (default: 2)")
    sp.add_argument("--pos", metavar="TAG", help="only occurrences with this tag")
    sp.add_argument("--case-sensitive", action="store_true",
                    help="match the exact form (the clusters are then shown in lower case)")
    sp.add_argument("--sort", choices=("freq", "range", "none"), default="freq",
                    help="by frequency (default), by range, or in order of first occurrence")
    _output_options(sp)

    sp = command("ngrams", cmd_ngrams, "n-grams with frequency and range")
    sp.add_argument("--size", type=int, default=2, help="n, 1 to 5 (default: 2)")
    sp.add_argument("--pos", metavar="TAGS", help="tag pattern, one tag per token")
    sp.add_argument("--lowercase", action="store_true", help="merge case variants")
    sp.add_argument("--sort", choices=("freq", "range", "none"), default="freq",
                    help="by frequency (default), by range, or in order of first occurrence")
    _output_options(sp)

    sp = command("keywords", cmd_keywords,
                 "keywords against a reference word list of the corpus's language")
    sp.add_argument("--language", help="reference list language (default: the corpus's: "
                    + ", ".join(reference_languages()) + ")")
    sp.add_argument("--reference", metavar="LANG|CORPUS",
                    help="compare with this language's reference list or with a corpus "
                    "folder, in double precision with frequencies per million")
    sp.add_argument("--measure", metavar="MEASURES",
                    help="ll (default) or chi2; or measures, comma-separated: "
                    + ", ".join(KEYNESS_MEASURES) + " (more than one, or --reference, gives "
                    "the table of both corpora's frequencies; with --reference all of them "
                    "by default)")
    sp.add_argument("--sort", choices=("score", "freq"), default="score",
                    help="by keyness score (default; the first measure) or by frequency")
    sp.add_argument("--plot", metavar="FILE",
                    help="also draw a bar chart of the top scores into FILE (.png, .svg, .pdf)")
    sp.add_argument("--top", type=int, default=20,
                    help="how many keywords the bar chart shows (default: 20)")
    _output_options(sp)

    sp = command("kwic", cmd_kwic, "concordance lines of a query (words, or a token pattern "
                 "such as '[tag=\"ADJ\"] [tag=\"NOUN\"]')")
    sp.add_argument("query", metavar="QUERY")
    sp.add_argument("--width", type=int, default=5, help="tokens each side (default: 5)")
    sp.add_argument("--sort", metavar="LEVELS", help="e.g. R1, 'L1 R1 R2' or node")
    sp.add_argument("--within", choices=("text", "sentence"), default="text",
                    help="contexts stop at the text's edge (default) or the sentence's")
    _output_options(sp)

    sp = command("collocates", cmd_collocates, "the words round the hits of a query, with "
                 "association measures")
    sp.add_argument("query", metavar="QUERY")
    sp.add_argument("--span", type=_span_arg, default=(4, 4), metavar="LEFT,RIGHT",
                    help="window before and after each hit (default: 4,4)")
    sp.add_argument("--measure", default="mi,t,ll,logdice",
                    help="measures, comma-separated: mi, mi3, t, z, ll, dice, logdice, "
                    "logratio, deltap (default: mi,t,ll,logdice)")
    sp.add_argument("--min-freq", type=_positive, default=2, help="least window frequency "
                    "(default: 2)")
    sp.add_argument("--within", choices=("text", "sentence"), default="text",
                    help="windows stop at the text's edge (default) or the sentence's")
    _output_options(sp)

    sp = command("report", cmd_report, "the top rows of every analysis")
    sp.add_argument("--limit", type=_positive, default=10, metavar="N",
                    help="rows per analysis (default: 10)")
    sp.add_argument("--term", help="search word for clusters and dispersion (default: the "
                    "most frequent noun)")

    sp = command("demo", cmd_demo, "every analysis on a sample corpus made from the "
                 "docstrings of Python's standard library", corpus=False)
    sp.add_argument("--limit", type=_positive, default=10, metavar="N",
                    help="rows per analysis (default: 10)")
    sp.add_argument("--term", help="search word for clusters and dispersion")
    sp.add_argument("--keep", metavar="CORPUS", help="prepare the sample corpus into this "
                    "folder and keep it")
    return p


def main(argv=None):
    """Run the command line; returns the exit status."""
    argv = sys.argv[1:] if argv is None else list(argv)
    debug = "--debug" in argv
    try:
        args = build_parser().parse_args(argv)
        if not getattr(args, "command", None):
            raise CliError(f"no command given (try: {PROG} demo, or {PROG} --help)", 2)
        return args.func(args)
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
    except CliError as e:
        _error(str(e))
        return e.status
    except (PrepareError, TaggerError) as e:
        _error(str(e))
        return 1
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except BrokenPipeError:
        # The reader went away (lumora freq CORPUS | head): stop quietly.
        try:
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
        except (OSError, ValueError):
            pass
        return 1
    except ImportError as e:  # a native module or an optional package that is not there
        if debug:
            raise
        _error(_first_line(e))
        return 1
    except OSError as e:
        if debug:
            raise
        where = f": {e.filename}" if e.filename else ""
        _error(f"{e.strerror or _first_line(e)}{where}")
        return 1
    except Exception as e:
        if debug:
            raise
        _error(f"{type(e).__name__}: {_first_line(e)} (run with --debug for the traceback)")
        return 1


def _error(message):
    print(f"{PROG}: error: {message}", file=sys.stderr)
