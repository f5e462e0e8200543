#!/usr/bin/env python3
"""Derive lumora's reference word lists from the data of the wordfreq package.

    pip install wordfreq            # a tool dependency only; lumora never imports it
    python tools/make_reflists.py   # rewrites src/lumora/data/reflist_<code>.tab and the notice

Each list is written as src/lumora/data/reflist_<code>.tab, where <code> is the language code
that users pass as `language` (en, de, ...); there are no files under long names such as
"english". Format: UTF-8, "\\n" line ends, one entry per line, word<TAB>count, no header.
Words are lower case, as wordfreq stores them; counts are wordfreq's frequencies per
billion tokens, rounded to integers, so each list's total (its reference corpus size)
stays below 10**9, well inside a signed 32-bit integer. Left out: multi-digit numbers
(wordfreq keeps them only as digit shapes such as "00"), forms without a word character
(punctuation, symbols, emoji), entries that would round to 0, and everything below the
band of equal frequency that holds a language's N-th form (N in LANGUAGES).

The run also rewrites src/lumora/data/REFLISTS-LICENSE.txt, which credits the sources.
"""

import argparse
import os
import re
import sys

# Language code -> number of forms kept.
LANGUAGES = {
    "en": 50_000,
    "de": 30_000,
    "es": 30_000,
    "fr": 30_000,
    "it": 30_000,
    "nl": 30_000,
    "pt": 30_000,
}
SCALE = 10**9  # counts are occurrences per this many tokens
INT32_MAX = 2**31 - 1
PUNCT = re.compile(r"^\W+$")  # no letter, digit or underscore at all
NOTICE = "REFLISTS-LICENSE.txt"

DEFAULT_OUT = os.path.normpath(
    os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "lumora", "data")
)


def reference_entries(code, limit):
    """(word, count) pairs of wordfreq's list for `code`, most frequent first.

    At least `limit` pairs (when the list has that many): the band of equal frequency in
    which the limit falls is kept whole.
    """
    import wordfreq
    from wordfreq.numbers import has_digit_sequence

    # Index i of the list holds the words of frequency 10 ** (-i / 100), alphabetically.
    counts = {}
    for index, bucket in enumerate(wordfreq.get_frequency_list(code, wordlist="best")):
        count = round(wordfreq.cB_to_freq(-index) * SCALE)
        if count <= 0:
            break
        for word in bucket:
            if has_digit_sequence(word) or PUNCT.match(word):
                continue
            # The keyword list reads a line by stripping it and splitting it on tabs, so a
            # form must survive that unchanged; wordfreq's forms always do, but check.
            if word != word.strip() or not word.isprintable() or any(c.isspace() for c in word):
                continue
            word = word.lower()  # wordfreq casefolds already; this only makes sure
            counts[word] = counts.get(word, 0) + count
        # Forms of equal frequency are kept or left out together, not cut alphabetically.
        if len(counts) >= limit:
            break
    return counts


def write_list(path, entries):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.writelines(f"{word}\t{count}\n" for word, count in entries.items())


def check_list(path, entries):
    """Read the file back the way the keyword list reads it and compare."""
    seen = {}
    total = 0
    with open(path, encoding="utf-8") as f:
        for line in f:
            fields = line.strip().split("\t")
            seen[fields[0]] = int(fields[1])
            total += int(fields[1])
    if seen != entries or total != sum(entries.values()) or total > INT32_MAX:
        raise SystemExit(f"{path}: does not read back as written")
    return total


def write_notice(path, version, rows):
    lines = [f"  reflist_{code}.tab  {n:>6} forms  total {total:>13,}" for code, n, total in rows]
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write(NOTICE_TEXT.format(version=version, files="\n".join(lines)))


NOTICE_TEXT = """\
Reference word lists (reflist_<language>.tab)
=============================================

The files reflist_<language>.tab in this folder were derived by tools/make_reflists.py
from the word frequency data shipped in the Python package wordfreq {version}
(Robyn Speer; https://github.com/rspeer/wordfreq). Each file holds the most frequent
word forms of one language with their frequencies per billion tokens, rounded to
integers; multi-digit numbers, forms made only of punctuation or symbols, and the
less frequent rest of wordfreq's list were left out. File names use language codes (en, de, ...) only.

{files}

Licence
-------
These lists are adapted from wordfreq's data files and are distributed under the
Creative Commons Attribution-ShareAlike 4.0 International licence (CC BY-SA 4.0,
https://creativecommons.org/licenses/by-sa/4.0/), as wordfreq's data files are.
Changes made: selection of the top forms, removal of numbers and punctuation,
conversion of frequencies to integer counts, plain-text format. The rest of lumora
is under its own licence; this notice covers only the reflist_*.tab files.
(wordfreq's code is under the Apache License 2.0; no wordfreq code is included here.)

Sources credited by wordfreq
----------------------------
wordfreq's data comes from its Exquisite Corpus project
(https://github.com/LuminosoInsight/exquisite-corpus), combining:

- Wikipedia, the free encyclopedia (http://www.wikipedia.org).
- Subtitles: OPUS OpenSubtitles 2018 (http://opus.nlpl.eu/OpenSubtitles.php), whose
  data originates from the OpenSubtitles project (http://www.opensubtitles.org/), and
  the SUBTLEX word lists SUBTLEX-US, SUBTLEX-UK, SUBTLEX-CH, SUBTLEX-DE and SUBTLEX-NL,
  created by Marc Brysbaert et al. and freely available at
  http://crr.ugent.be/programs-data/subtitle-frequencies. SUBTLEX is freely
  available data; its authors are credited here as wordfreq's terms require.
- News: NewsCrawl 2014 (WMT) and GlobalVoices.
- Books: Google Books Ngrams 2012 (http://books.google.com/ngrams) and Google Books
  Syntactic Ngrams. Source: Google Books Ngram Viewer, http://books.google.com/ngrams.
- Web text: OSCAR (Ortiz Suarez, Sagot and Romary, 2019) and ParaCrawl
  (https://paracrawl.eu).
- The Leeds Internet Corpus, University of Leeds Centre for Translation Studies
  (http://corpus.leeds.ac.uk/list.html).
- Twitter: word statistics collected from the streaming Twitter API.
- Reddit comments.

Citation of wordfreq: Robyn Speer. (2022). rspeer/wordfreq: v3.0 (v3.0.2). Zenodo.
https://doi.org/10.5281/zenodo.7199437
"""


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("codes", nargs="*", help="language codes (default: all of LANGUAGES)")
    parser.add_argument("--out", default=DEFAULT_OUT, help="output folder (default: src/lumora/data)")
    args = parser.parse_args(argv)

    try:
        from importlib.metadata import version

        import wordfreq  # noqa: F401
    except ImportError:
        raise SystemExit("make_reflists.py needs the wordfreq package: pip install wordfreq")
    wf_version = version("wordfreq")

    codes = args.codes or list(LANGUAGES)
    unknown = [c for c in codes if c not in LANGUAGES]
    if unknown:
        raise SystemExit(f"unknown language code(s): {', '.join(unknown)}")

    os.makedirs(args.out, exist_ok=True)
    for code in codes:
        entries = reference_entries(code, LANGUAGES[code])
        path = os.path.join(args.out, f"reflist_{code}.tab")
        write_list(path, entries)
        total = check_list(path, entries)
        size = os.path.getsize(path)
        print(f"{path}: {len(entries)} forms, total {total}, {size} bytes")

    # The notice lists every file in the folder, also those not rewritten by this run.
    rows = []
    for code in LANGUAGES:
        path = os.path.join(args.out, f"reflist_{code}.tab")
        if os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                counts = [int(line.split("\t")[1]) for line in f]
            rows.append((code, len(counts), sum(counts)))
    write_notice(os.path.join(args.out, NOTICE), wf_version, rows)
    print(f"wordfreq {wf_version}; notice: {os.path.join(args.out, NOTICE)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
