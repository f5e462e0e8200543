"""Search queries: plain word sequences and token patterns, parsed once and compiled into tables
over a corpus's distinct word forms and tags for the native matcher.

A plain query is words separated by spaces, each matching a word form exactly (or, with
``regexp=True``, as a regular expression over the whole form). A query that starts with ``[``
is a token pattern::

    [tag="ADJ"]+ [lower="dogs?" & tag!="VERB"] []{0,3} [word="the"%c]

Each condition is evaluated once per distinct word form or tag with Python's ``re``
(``fullmatch``); the matcher then only looks numbers up, token by token.
"""

import re

import numpy as np

__all__ = ["Query", "QueryError", "parse"]

ATTRIBUTES = ("word", "lower", "tag")
MAX_STAR = 10  # repetitions of * and +
MAX_REPEAT = 100  # the largest n of {m,n}
MAX_TOKENS = 64  # token conditions in one query


class QueryError(ValueError):
    """A query that cannot be read, with the query and a caret under the offending character."""

    def __init__(self, reason, query=None, at=None):
        self.reason = reason
        self.query = query
        self.at = at
        if query is None or at is None:
            message = reason
        else:
            message = f"{reason}\n  {query}\n  {' ' * at}^"
        super().__init__(message)


# -- conditions -----------------------------------------------------------------------------

class Test:
    """attribute = "regular expression" (or !=), matched against the whole value."""

    __slots__ = ("attr", "ignore_case", "negated", "pattern", "regex")

    def __init__(self, attr, pattern, negated, ignore_case, regex):
        self.attr, self.pattern, self.negated = attr, pattern, negated
        self.ignore_case, self.regex = ignore_case, regex

    def matches(self, value):
        # Values of "lower" arrive lower-cased already.
        if self.ignore_case and self.attr != "lower":
            value = value.lower()
        return (self.regex.fullmatch(value) is not None) != self.negated

    def tests(self):
        yield self


class Exact:
    """attribute equal to a string (plain queries without regexp)."""

    __slots__ = ("attr", "ignore_case", "value")

    def __init__(self, attr, value, ignore_case):
        self.attr, self.value, self.ignore_case = attr, value, ignore_case

    def matches(self, value):
        if self.ignore_case and self.attr != "lower":
            value = value.lower()
        return value == self.value

    def tests(self):
        yield self


class Not:
    __slots__ = ("inner",)

    def __init__(self, inner):
        self.inner = inner

    def tests(self):
        yield from self.inner.tests()


class Both:
    __slots__ = ("any", "parts")

    def __init__(self, parts, any_):
        self.parts, self.any = parts, any_

    def tests(self):
        for p in self.parts:
            yield from p.tests()


def evaluate(cond, truth):
    """The condition's value given each test's truth (a dict test key -> bool); None is any
    token."""
    if cond is None:
        return True
    if isinstance(cond, Not):
        return not evaluate(cond.inner, truth)
    if isinstance(cond, Both):
        if cond.any:
            return any(evaluate(p, truth) for p in cond.parts)
        return all(evaluate(p, truth) for p in cond.parts)
    return truth[_test_key(cond)]


class Token:
    """One token condition (None: any token) repeated from `low` to `high` times."""

    __slots__ = ("cond", "high", "low")

    def __init__(self, cond, low=1, high=1):
        self.cond, self.low, self.high = cond, low, high


class Query:
    """A parsed query: a sequence of token conditions."""

    def __init__(self, text, tokens):
        self.text = text
        self.tokens = tokens

    def __repr__(self):
        return f"<lumora.query.Query {self.text!r}: {len(self.tokens)} tokens>"

    @property
    def min_length(self):
        return sum(t.low for t in self.tokens)

    @property
    def max_length(self):
        return sum(t.high for t in self.tokens)


# -- parsing --------------------------------------------------------------------------------

def _compile(pattern, ignore_case, query, at):
    try:
        return re.compile(pattern, re.IGNORECASE if ignore_case else 0)
    except re.error as e:
        pos = at + (e.pos if e.pos is not None else 0)
        raise QueryError(f"bad regular expression {pattern!r}: {e.msg}", query, pos) from None


class _Parser:
    def __init__(self, text):
        self.s = text
        self.i = 0

    def fail(self, reason, at=None):
        raise QueryError(reason, self.s, self.i if at is None else at)

    def space(self):
        while self.i < len(self.s) and self.s[self.i].isspace():
            self.i += 1

    def peek(self):
        self.space()
        return self.s[self.i] if self.i < len(self.s) else ""

    def what(self):
        c = self.peek()
        return repr(c) if c else "the end of the query"

    def expect(self, c, where):
        if self.peek() != c:
            self.fail(f"expected {c!r} {where}, found {self.what()}")
        self.i += 1

    def pattern(self):
        tokens = []
        while self.peek():
            if self.peek() != "[":
                self.fail(f"expected '[' to start a token, found {self.what()}")
            if len(tokens) == MAX_TOKENS:
                self.fail(f"a query has at most {MAX_TOKENS} tokens")
            tokens.append(self.token())
        return tokens

    def token(self):
        self.i += 1  # "["
        cond = None if self.peek() == "]" else self.alternatives()
        self.expect("]", "to close the token")
        low, high = self.repeat()
        return Token(cond, low, high)

    def repeat(self):
        c = self.peek()
        if c == "?":
            self.i += 1
            return 0, 1
        if c == "*":
            self.i += 1
            return 0, MAX_STAR
        if c == "+":
            self.i += 1
            return 1, MAX_STAR
        if c != "{":
            return 1, 1
        self.i += 1
        low_at = self.i
        low = self.number()
        if self.peek() == ",":
            self.i += 1
            high_at = self.i
            high = self.number()
        else:
            high_at, high = low_at, low
        self.expect("}", "to close the repetition")
        if high < low:
            self.fail(f"repetition {{{low},{high}}} has its maximum below its minimum", high_at)
        if high == 0:
            self.fail("a token must be repeated at least once", high_at)
        if high > MAX_REPEAT:
            self.fail(f"a token is repeated at most {MAX_REPEAT} times", high_at)
        return low, high

    def number(self):
        self.space()
        start = self.i
        while self.i < len(self.s) and self.s[self.i] in "0123456789":
            self.i += 1
        if start == self.i:
            self.fail(f"expected a number, found {self.what()}")
        return int(self.s[start:self.i])

    def alternatives(self):
        parts = [self.conjunction()]
        while self.peek() == "|":
            self.i += 1
            parts.append(self.conjunction())
        return parts[0] if len(parts) == 1 else Both(parts, True)

    def conjunction(self):
        parts = [self.unary()]
        while self.peek() == "&":
            self.i += 1
            parts.append(self.unary())
        return parts[0] if len(parts) == 1 else Both(parts, False)

    def unary(self):
        c = self.peek()
        if c == "!":
            self.i += 1
            return Not(self.unary())
        if c == "(":
            self.i += 1
            inner = self.alternatives()
            self.expect(")", "to close the parenthesis")
            return inner
        return self.test()

    def test(self):
        self.space()
        start = self.i
        while self.i < len(self.s) and (self.s[self.i].isalnum() or self.s[self.i] == "_"):
            self.i += 1
        name = self.s[start:self.i]
        if not name:
            self.fail(f"expected an attribute (word, lower or tag), found {self.what()}")
        if name not in ATTRIBUTES:
            self.fail(f"unknown attribute {name!r} (attributes: {', '.join(ATTRIBUTES)})", start)
        c = self.peek()
        if c == "=":
            self.i += 1
            negated = False
        elif self.s.startswith("!=", self.i):
            self.i += 2
            negated = True
        else:
            self.fail(f"expected '=' or '!=' after {name}, found {self.what()}")
        quote = self.peek()
        if quote not in ("'", '"'):
            self.fail(f"expected a quoted regular expression, found {self.what()}")
        body = self.i + 1
        j = body
        while j < len(self.s) and self.s[j] != quote:
            j += 2 if self.s[j] == "\\" else 1
        if j >= len(self.s):
            self.fail("unterminated string", self.i)
        text = self.s[body:j]
        self.i = j + 1
        ignore_case = False
        if self.i < len(self.s) and self.s[self.i] == "%":
            if self.s[self.i + 1:self.i + 2] != "c":
                self.fail("unknown flag (only %c, ignore case, is known)", self.i + 1)
            ignore_case = True
            self.i += 2
        return Test(name, text, negated, ignore_case, _compile(text, ignore_case, self.s, body))


def parse(query, *, case_sensitive=False, tags=None, regexp=False):
    """A Query from a plain query or a token pattern (one that starts with ``[``).

    Plain queries: words separated by spaces, matched as whole word forms (on the lower-cased
    form unless case_sensitive), each a regular expression when regexp; tags: one tag per
    word, separated by spaces. Token patterns take neither tags nor regexp.
    """
    if not isinstance(query, str):
        raise TypeError(f"query must be a str; got {type(query).__name__}")
    if not query.strip():
        raise QueryError("empty query", query, 0)
    if query.lstrip().startswith("["):
        if tags is not None:
            raise ValueError("tags= goes with plain queries; a token pattern says "
                             "[tag=\"...\"] itself")
        if regexp:
            raise ValueError("regexp= goes with plain queries; in a token pattern every "
                             "value is a regular expression")
        return Query(query, _Parser(query).pattern())
    words = query.split()
    tag_list = None
    if tags is not None:
        tag_list = tags.split() if isinstance(tags, str) else list(tags)
        if len(tag_list) != len(words):
            raise ValueError(f"tags must give one tag per word of the query; got {tags!r} for "
                             f"{query!r}")
    if len(words) > MAX_TOKENS:
        raise QueryError(f"a query has at most {MAX_TOKENS} words", query, 0)
    tokens = []
    at = 0
    for k, w in enumerate(words):
        at = query.index(w, at)
        ignore_case = not case_sensitive
        if regexp:
            cond = Test("lower" if ignore_case else "word", w, False, ignore_case,
                        _compile(w, ignore_case, query, at))
        else:
            cond = Exact("lower" if ignore_case else "word", w.lower() if ignore_case else w,
                         ignore_case)
        if tag_list is not None:
            cond = Both([cond, Exact("tag", tag_list[k], False)], False)
        tokens.append(Token(cond))
        at += len(w)
    return Query(query, tokens)


# -- compiling against a corpus's forms and tags --------------------------------------------

class Program:
    """A query as tables the matcher reads: per token condition k, ``word_class[k]`` gives each
    dense word index a class, ``tag_class[k]`` each dense tag index a class, and
    ``accept[offsets[k] + wc * tag_classes[k] + tc]`` says whether the token matches; ``low``
    and ``high`` are the repetitions."""

    def __init__(self, word_class, tag_class, accept, offsets, tag_classes, low, high):
        self.word_class, self.tag_class = word_class, tag_class
        self.accept, self.offsets, self.tag_classes = accept, offsets, tag_classes
        self.low, self.high = low, high

    def arrays(self):
        return (self.word_class, self.tag_class, self.accept, self.offsets, self.tag_classes,
                self.low, self.high)


def _truth(test, values, group):
    """The test's truth per dense entry: evaluated once per distinct value, then spread."""
    if isinstance(test, Exact) and (not test.ignore_case or test.attr == "lower"):
        target = test.value
        per_value = np.fromiter((v == target for v in values), dtype=np.bool_,
                                count=len(values))
    else:
        per_value = np.fromiter((test.matches(v) for v in values), dtype=np.bool_,
                                count=len(values))
    return per_value[group] if len(group) else np.zeros(0, dtype=np.bool_)


def _classes(truths, n):
    """Classes of n entries by their truths (a list of bool arrays, one per test): entries with
    the same truth for every test share a class. Returns (class per entry as uint8, each
    class's truths as a tuple of bools)."""
    if not truths:
        return np.zeros(n, dtype=np.uint8), [()]
    code = np.zeros(n, dtype=np.int64)
    for k, t in enumerate(truths):
        code |= t.astype(np.int64) << k
    distinct, inverse = np.unique(code, return_inverse=True)
    classes = [tuple(bool((int(c) >> k) & 1) for k in range(len(truths))) for c in distinct]
    return inverse.reshape(-1).astype(np.uint8), classes


def compile_query(query, attributes):
    """The Program of a parsed query. attributes: for "word", "lower" and "tag", a pair
    (distinct values as a list of str, the value number of each dense entry as an int array);
    word and lower number the same dense word entries. Each test meets each distinct value
    once."""
    n_words = len(attributes["word"][1])
    n_tags = len(attributes["tag"][1])
    n = len(query.tokens)
    word_class = np.zeros((n, n_words), dtype=np.uint8)
    tag_class = np.zeros((n, n_tags), dtype=np.uint8)
    accept, offsets, tag_classes = [], [], []
    seen = {}

    def truth(t):
        key = _test_key(t)
        if key not in seen:
            seen[key] = _truth(t, *attributes[t.attr])
        return seen[key]

    for k, tok in enumerate(query.tokens):
        tests = list(tok.cond.tests()) if tok.cond is not None else []
        wtests = _distinct([t for t in tests if t.attr != "tag"])
        ttests = _distinct([t for t in tests if t.attr == "tag"])
        if len(wtests) > 8 or len(ttests) > 8:
            # Classes are numbered in a byte.
            raise QueryError("a token condition has at most 8 tests of word forms and 8 of "
                             "tags", query.text, 0)
        wc, wtruth = _classes([truth(t) for t in wtests], n_words)
        tc, ttruth = _classes([truth(t) for t in ttests], n_tags)
        word_class[k] = wc
        tag_class[k] = tc
        offsets.append(len(accept))
        tag_classes.append(len(ttruth))
        for wt in wtruth:
            for tt in ttruth:
                known = dict(zip(map(_test_key, wtests), wt))
                known.update(zip(map(_test_key, ttests), tt))
                accept.append(evaluate(tok.cond, known))
    return Program(word_class, tag_class, np.array(accept, dtype=np.uint8),
                   np.array(offsets, dtype=np.int64), np.array(tag_classes, dtype=np.int64),
                   np.array([t.low for t in query.tokens], dtype=np.int64),
                   np.array([t.high for t in query.tokens], dtype=np.int64))


def _distinct(tests):
    out, keys = [], set()
    for t in tests:
        if _test_key(t) not in keys:
            keys.add(_test_key(t))
            out.append(t)
    return out


def _test_key(t):
    if isinstance(t, Exact):
        return ("=", t.attr, t.value, t.ignore_case)
    return ("re", t.attr, t.pattern, t.negated, t.ignore_case)
