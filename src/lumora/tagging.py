"""Tokenising, sentence splitting and part-of-speech tagging of plain text.

A tagger is anything with a method ``tag(tokens) -> list of tags`` (or a plain callable with that
signature): it receives the tokens of one sentence and returns one tag per token. The default,
:class:`RuleTagger`, is our own small lexicon-and-rules tagger that gives Universal-Dependencies
style tags (NOUN, VERB, ADP, PUNCT, ...); it needs nothing but the standard library. A spaCy
pipeline is used instead when spaCy and a model for the language are installed and asked for.
"""

import functools
import importlib
import importlib.util
import re
import sys
import unicodedata

__all__ = [
    "RuleTagger",
    "SpacyTagger",
    "TaggerError",
    "get_tagger",
    "sentences",
    "split_sentences",
    "tokenize",
]


class TaggerError(Exception):
    """A tagger was asked for that cannot be had (not installed, unknown name, bad plug-in)."""


# ---------------------------------------------------------------------------------------------
# Tokeniser

@functools.lru_cache(maxsize=None)
def _mark_class():
    """Characters that continue a word without being \\w in Python's re: combining marks (so that
    Devanagari or Thai words are not cut at every vowel sign) and the zero-width (non-)joiners."""
    ranges = []
    start = prev = None
    for cp in list(range(0x300, 0x20000)) + list(range(0xE0100, 0xE01F0)):
        if unicodedata.category(chr(cp)) in ("Mn", "Mc", "Me") or cp in (0x200C, 0x200D):
            if prev is not None and cp == prev + 1:
                prev = cp
                continue
            if start is not None:
                ranges.append((start, prev))
            start = prev = cp
    if start is not None:
        ranges.append((start, prev))
    return "".join(
        re.escape(chr(a)) if a == b else re.escape(chr(a)) + "-" + re.escape(chr(b))
        for a, b in ranges
    )


# Characters that separate tokens without being tokens themselves (besides white space).
_INVISIBLE = "\u200b\u2060\ufeff\u00ad"
_APOS = "'\u2019"


@functools.lru_cache(maxsize=None)
def _token_re():
    m = _mark_class()
    word = rf"[\w{m}]+(?:[-{_APOS}][\w{m}]+)*"
    return re.compile(
        "|".join([
            r"(?:https?://|www\.)[^\s<>\"']*[^\s<>\"'.,;:!?)\]}]",  # URL
            r"[\w.+-]+@\w[\w-]*(?:\.\w[\w-]*)+",  # e-mail address
            r"\d+(?:[.,:/]\d+)+",  # 3.14, 1,000, 12:30, 1/2
            r"(?:[^\W\d_]\.){2,}",  # e.g. U.S.A.
            word,
            r"\.{2,}|-{2,}",  # ellipsis, dash
            rf"[^\w\s{m}{_INVISIBLE}][{m}]*",  # any other character (punctuation, symbol, emoji)
        ])
    )


_EN_CLITIC = re.compile(rf"(?is)^(.+?)(n[{_APOS}]t|[{_APOS}](?:s|re|ve|ll|d|m))$")
_ELISION = re.compile(rf"(?s)^([^\W\d_]{{1,5}}[{_APOS}])(\w.*)$")
_ELIDING_LANGUAGES = {"fr", "it", "ca"}


def _split_clitics(tok, language):
    if "'" not in tok and "\u2019" not in tok:
        return [tok]
    if language in _ELIDING_LANGUAGES:
        out = []
        while True:
            m = _ELISION.match(tok)
            if not m:
                return out + [tok]
            out.append(m.group(1))
            tok = m.group(2)
    if language in (None, "", "en"):
        tail = []
        while True:
            m = _EN_CLITIC.match(tok)
            if not m:
                return [tok] + tail
            tok = m.group(1)
            tail.insert(0, m.group(2))
    return [tok]


def tokenize(text, language="en"):
    """Split text into tokens: words (with inner hyphens and apostrophes), numbers, abbreviations
    such as e.g., URLs, and every punctuation mark or symbol as a token of its own; runs of dots
    or dashes stay one token. English contractions are split off (don't -> do n't, it's -> it
    's); in French and Italian an elided article stays with its apostrophe (l'homme -> l' homme).
    """
    out = []
    for m in _token_re().finditer(text):
        out.extend(_split_clitics(m.group(), language))
    return out


_SENTENCE_END = {".", "!", "?", "\u2026", "\u3002", "\uff01", "\uff1f", "\u061f", "\u0964",
                 "\u0965"}
_CLOSERS = set("\"')]}\u201d\u2019\u00bb\u203a")


def split_sentences(tokens):
    """Split a token list (one paragraph) into sentences: a sentence ends after . ! ? ... and
    the closing quotes or brackets that follow them, unless the next token begins in lower case."""
    sents, cur = [], []
    n = len(tokens)
    i = 0
    while i < n:
        tok = tokens[i]
        cur.append(tok)
        i += 1
        if tok in _SENTENCE_END or (tok.startswith("..") and set(tok) == {"."}):
            while i < n and tokens[i] in _CLOSERS:
                cur.append(tokens[i])
                i += 1
            if i < n and tokens[i][:1].islower():
                continue
            sents.append(cur)
            cur = []
    if cur:
        sents.append(cur)
    return sents


_PARAGRAPH = re.compile(r"\n[^\S\n]*\n\s*")


def sentences(text, language="en"):
    """The sentences (token lists) of a text; blank lines always end a sentence."""
    out = []
    for para in _PARAGRAPH.split(text):
        toks = tokenize(para, language)
        if toks:
            out.extend(split_sentences(toks))
    return out


# ---------------------------------------------------------------------------------------------
# The default tagger

def _words(s):
    return s.split()


# Closed-class words (and a few very frequent open-class ones) per language, by tag. Ambiguous
# words get their most frequent tag here; the context rules of RuleTagger fix the commonest
# exceptions.
_LEXICON_SOURCE = {
    "en": {
        "DET": "a an the this these those every each either neither another no all both some "
               "any such whatever whichever",
        "PRON": "i me you he him she it we us they them myself yourself himself herself itself "
                "ourselves yourselves themselves mine yours hers ours theirs my your his her its "
                "our their who whom whose what which something anything nothing everything "
                "someone anyone everyone nobody somebody anybody everybody none one's "
                "there",
        "AUX": "am is are was were be been being will would shall should can could may might "
               "must 're 'm 'll 'd 've ca wo",
        "ADP": "of in on at by for with from about into through over under between among "
               "against during without within along across behind beyond toward towards upon "
               "after before via per like despite except onto inside outside throughout "
               "unlike versus vs amongst amid beside besides underneath as than up out off "
               "down around since until till near",
        "CCONJ": "and or but nor & plus",
        "SCONJ": "if because although though whether unless whereas while once",
        "PART": "not n't to",
        "ADV": "very too also just only even still already never always often sometimes usually "
               "here now then when where why how again ever quite rather almost soon later "
               "perhaps maybe however therefore thus else instead otherwise together so more "
               "most less least much well away back yet really actually probably especially "
               "simply directly currently finally recently either first",
        "INTJ": "yes oh hi hello please thanks wow ok okay hey",
        "NUM": "zero one two three four five six seven eight nine ten eleven twelve twenty "
               "thirty forty fifty hundred thousand million billion",
        "ADJ": "good new last long great little own other old right big high different small "
               "large next early young important few public bad same able best better many "
               "sure free full true false possible available open empty certain special whole "
               "real non single similar simple default optional current previous main",
        "VERB": "said say says get got make made know think take see come want use find give "
                "tell work call try ask need feel become leave put mean keep let begin seem "
                "help show hear play run move live believe bring happen write provide sit "
                "stand lose pay meet include continue set learn change lead understand watch "
                "follow stop create speak read allow add spend grow return raise pass "
                "went gone took came saw knew thought told found gave became left felt "
                "brought began kept held wrote stood heard meant ran sent built",
        "NOUN": "time people year way day thing man world life hand part child eye woman place "
                "week case point number group problem fact",
    },
    "de": {
        "DET": "der die das den dem des ein eine einen einem einer eines kein keine keinen "
               "keinem keiner keines dieser diese dieses diesen diesem jeder jede jedes jeden "
               "jedem alle allen aller mein meine meinen meinem meiner dein deine sein seine "
               "seinen seinem seiner ihr ihre ihren ihrem ihrer unser unsere euer eure welche "
               "welcher welches manche mancher solche solcher",
        "PRON": "ich du er sie es wir ihr mich mir dich dir ihn ihm uns euch ihnen sich man "
                "wer was jemand niemand nichts etwas dies",
        "AUX": "ist sind war waren bin bist seid sein wird werden wurde wurden worden hat "
               "haben hatte hatten habe kann können konnte konnten muss müssen musste soll "
               "sollen sollte darf dürfen will wollen wollte würde würden",
        "ADP": "in im an am auf aus bei mit nach von vom zu zum zur für über unter vor hinter "
               "neben zwischen durch gegen ohne um bis seit während wegen trotz ab",
        "CCONJ": "und oder aber sondern denn sowie",
        "SCONJ": "dass daß weil wenn ob obwohl als damit während nachdem bevor",
        "PART": "nicht zu",
        "ADV": "auch noch nur schon sehr hier dort da dann jetzt immer wieder so mehr heute "
               "sogar doch ja nun bereits hier",
        "NUM": "zwei drei vier fünf sechs sieben acht neun zehn hundert tausend",
    },
    "es": {
        "DET": "el la los las un una unos unas este esta estos estas ese esa esos esas "
               "aquel aquella mi mis tu tus su sus nuestro nuestra todo toda todos todas "
               "cada otro otra otros otras",
        "PRON": "yo tú él ella nosotros vosotros ellos ellas me te se nos os le les lo que "
                "quien quienes esto eso algo nada alguien nadie",
        "AUX": "es son fue fueron era eran ser estar está están estaba ha han había haber "
               "he hemos sido puede pueden",
        "ADP": "a de del al en con por para sin sobre entre hasta desde hacia según contra "
               "tras durante",
        "CCONJ": "y e o u pero ni sino",
        "SCONJ": "que porque si aunque cuando como mientras",
        "ADV": "no muy más menos ya también sólo solo así aquí ahí allí bien mal siempre "
               "nunca hoy",
        "NUM": "dos tres cuatro cinco seis siete ocho nueve diez cien mil",
    },
    "fr": {
        "DET": "le la les l' un une des du au aux ce cet cette ces mon ma mes ton ta tes son "
               "sa ses notre nos votre vos leur leurs chaque tout toute tous toutes quelques",
        "PRON": "je j' tu il elle on nous vous ils elles me m' te t' se s' lui leur y en qui "
                "que qu' quoi dont ceci cela ça rien personne",
        "AUX": "est sont était étaient été être a ont avait avaient avoir ai as avons avez "
               "sera seront peut peuvent",
        "ADP": "à de d' dans par pour sur avec sans sous entre vers chez contre depuis pendant "
               "selon",
        "CCONJ": "et ou mais ni or donc car",
        "SCONJ": "si comme quand lorsque puisque parce",
        "ADV": "ne n' pas plus très aussi bien déjà encore toujours jamais ici là alors "
               "moins peu trop",
        "NUM": "deux trois quatre cinq six sept huit neuf dix cent mille",
    },
    "it": {
        "DET": "il lo la i gli le l' un uno una un' del dello della dei degli delle al allo "
               "alla ai agli alle questo questa questi queste quel quello quella ogni "
               "tutto tutta tutti tutte mio mia suo sua loro",
        "PRON": "io tu lui lei noi voi essi esse mi ti si ci vi ne che chi cui qualcosa niente",
        "AUX": "è sono era erano essere ha hanno aveva avere ho abbiamo stato stata può "
               "possono",
        "ADP": "a di da in con su per tra fra d' dal dalla nel nella sul sulla",
        "CCONJ": "e ed o ma né",
        "SCONJ": "se perché come quando mentre benché",
        "ADV": "non molto più meno già anche solo così qui lì bene sempre mai",
        "NUM": "due tre quattro cinque sei sette otto nove dieci cento mille",
    },
    "nl": {
        "DET": "de het een deze dit die dat elk elke alle mijn jouw zijn haar ons onze hun "
               "geen",
        "PRON": "ik jij je hij zij ze wij we jullie mij me hem ons hen hun zich men wie wat "
                "iets niets iemand niemand er",
        "AUX": "is zijn was waren ben bent wordt worden werd werden heeft hebben had hadden "
               "heb kan kunnen moet moeten zal zullen zou zouden wil willen",
        "ADP": "in op aan van met voor naar bij door over uit om tot tegen zonder onder "
               "tussen na sinds",
        "CCONJ": "en of maar want dus",
        "SCONJ": "dat omdat als toen terwijl hoewel of",
        "PART": "te",
        "ADV": "niet ook nog al wel zeer heel nu hier daar dan meer altijd nooit",
        "NUM": "twee drie vier vijf zes zeven acht negen tien honderd duizend",
    },
    "pt": {
        "DET": "o a os as um uma uns umas este esta estes estas esse essa esses essas "
               "aquele aquela meu minha seu sua seus suas todo toda todos todas cada outro "
               "outra",
        "PRON": "eu tu ele ela nós vós eles elas me te se nos lhe lhes que quem isto isso "
                "algo nada alguém ninguém",
        "AUX": "é são foi foram era eram ser estar está estão estava tem têm tinha ter "
               "sido pode podem",
        "ADP": "de do da dos das em no na nos nas por pelo pela para com sem sobre entre "
               "até desde ao à aos às",
        "CCONJ": "e ou mas nem",
        "SCONJ": "que porque se embora quando como enquanto",
        "ADV": "não muito mais menos já também só assim aqui ali bem mal sempre nunca hoje",
        "NUM": "dois duas três quatro cinco seis sete oito nove dez cem mil",
    },
}


@functools.lru_cache(maxsize=None)
def _lexicon(language):
    src = _LEXICON_SOURCE.get(language, {})
    lex = {}
    for tag, words in src.items():
        for w in _words(words):
            lex.setdefault(w, tag)
    return lex


def _suffix_rules(language):
    """(suffix, tag) pairs tried in order on the lower-cased form of an unknown word."""
    if language == "en":
        return (("ly", "ADV"), ("ing", "VERB"), ("ed", "VERB"), ("ous", "ADJ"), ("ful", "ADJ"),
                ("ive", "ADJ"), ("able", "ADJ"), ("ible", "ADJ"), ("less", "ADJ"),
                ("ical", "ADJ"), ("ic", "ADJ"), ("al", "ADJ"), ("ish", "ADJ"), ("ary", "ADJ"),
                ("est", "ADJ"), ("ize", "VERB"), ("ise", "VERB"), ("ate", "VERB"),
                ("ify", "VERB"))
    if language == "de":
        return (("lich", "ADJ"), ("isch", "ADJ"), ("ig", "ADJ"), ("bar", "ADJ"),
                ("los", "ADJ"), ("sam", "ADJ"), ("en", "VERB"), ("ern", "VERB"),
                ("eln", "VERB"), ("te", "VERB"), ("t", "VERB"))
    if language in ("es", "pt", "it"):
        return (("mente", "ADV"), ("ción", "NOUN"), ("ção", "NOUN"), ("zione", "NOUN"),
                ("dad", "NOUN"), ("dade", "NOUN"), ("tà", "NOUN"), ("ar", "VERB"),
                ("er", "VERB"), ("ir", "VERB"), ("are", "VERB"), ("ere", "VERB"),
                ("ire", "VERB"), ("ado", "VERB"), ("ido", "VERB"), ("ato", "VERB"),
                ("oso", "ADJ"), ("osa", "ADJ"), ("ivo", "ADJ"), ("iva", "ADJ"), ("al", "ADJ"),
                ("ble", "ADJ"))
    if language == "fr":
        return (("tion", "NOUN"), ("ité", "NOUN"), ("isme", "NOUN"), ("ement", "ADV"),
                ("er", "VERB"), ("ir", "VERB"), ("é", "VERB"), ("ée", "VERB"), ("eux", "ADJ"),
                ("euse", "ADJ"), ("if", "ADJ"), ("ive", "ADJ"), ("able", "ADJ"),
                ("ique", "ADJ"))
    if language == "nl":
        return (("lijk", "ADJ"), ("ig", "ADJ"), ("isch", "ADJ"), ("baar", "ADJ"),
                ("heid", "NOUN"), ("ing", "NOUN"), ("en", "VERB"))
    return ()


_NUMBER = re.compile(r"^[+-]?(?:\d+(?:[.,:/]\d+)*|\d*[.,]\d+)(?:st|nd|rd|th|s|%)?$",
                     re.IGNORECASE)
_URLISH = re.compile(r"^(?:https?://|www\.)|^[\w.+-]+@\w")
_OPEN = {"NOUN", "VERB", "ADJ"}
_CACHE_SIZE = 1 << 20
_DEGREE = {"very", "too", "so", "more", "most", "less", "quite", "rather"}
_MODAL = {"will", "would", "shall", "should", "can", "could", "may", "might", "must", "ca",
          "wo", "'ll", "'d", "do", "does", "did"}
_SUBJECT = {"i", "you", "he", "she", "it", "we", "they", "who"}
_BE = {"am", "is", "are", "was", "were", "be", "been", "being", "'s", "'re", "'m"}
_HAVE = {"have", "has", "had", "having", "'ve"}


def _shape_tag(tok):
    """Tag by the form alone, for tokens that are not words of a language (or None)."""
    if _NUMBER.match(tok):
        return "NUM"
    if _URLISH.match(tok):
        return "X"
    if not any(c.isalnum() or c == "_" for c in tok):
        cats = {unicodedata.category(c)[0] for c in tok}
        return "SYM" if cats <= {"S"} else "PUNCT"
    return None


class RuleTagger:
    """A small lexicon-and-rules tagger with Universal-Dependencies style tags.

    Closed-class words come from a lexicon of the language (English, German, Spanish, French,
    Italian, Dutch, Portuguese; other languages get the form rules only); unknown words are tagged
    by form (numbers, punctuation, symbols), by suffix, by capitalisation and by a few context
    rules (after a determiner a noun, after a modal or "to" a verb). It is fast, deterministic and
    needs nothing, and it is rough: about four tokens in five get the tag a treebank gives them.
    """

    name = "rules"

    def __init__(self, language="en"):
        self.language = (language or "en").lower()
        self._lex = _lexicon(self.language)
        self._suffixes = _suffix_rules(self.language)
        self._en = self.language == "en"
        self._nouns_capitalised = self.language == "de"
        self._cache = {}  # (token, sentence-initial) -> tag guessed for a word not in the lexicon

    def _guess(self, tok, low, initial):
        tag = _shape_tag(tok)
        if tag:
            return tag
        if tok[:1].isupper() and not initial:
            return "NOUN" if self._nouns_capitalised else "PROPN"
        if tok.isupper() and len(tok) > 1:
            return "PROPN"
        for suffix, stag in self._suffixes:
            if low.endswith(suffix) and len(low) > len(suffix) + 2:
                return stag
        if self._nouns_capitalised:
            return "NOUN" if tok[:1].isupper() else "ADJ"
        return "NOUN"

    def tag(self, tokens):
        lex = self._lex
        cache = self._cache
        lows = [t.lower() for t in tokens]
        tags = []
        known = []
        for i, (tok, low) in enumerate(zip(tokens, lows)):
            tag = lex.get(low)
            if tag in _OPEN and i and not tok[:1].islower():
                tag = None  # a capitalised open-class word inside a sentence: a name
            known.append(tag is not None)
            if tag is None:
                key = (tok, i == 0)
                tag = cache.get(key)
                if tag is None:
                    if len(cache) > _CACHE_SIZE:
                        cache.clear()
                    tag = cache[key] = self._guess(tok, low, i == 0)
            tags.append(tag)
        if self._en:
            self._english_context(tokens, lows, tags, known)
        return tags

    @staticmethod
    def _english_context(tokens, lows, tags, known):
        n = len(tokens)
        for i in range(n):
            low = lows[i]
            prev = lows[i - 1] if i else ""
            prev_tag = tags[i - 1] if i else ""
            nxt_tag = tags[i + 1] if i + 1 < n else ""
            if low == "'s":
                tags[i] = "AUX" if prev in _SUBJECT or prev in ("that", "there", "what",
                                                                "here", "where") else "PART"
            elif low == "to":
                nxt_known = i + 1 < n and known[i + 1]
                tags[i] = "ADP" if nxt_tag in ("DET", "PRON", "PROPN", "NUM", "PUNCT", "") or (
                    nxt_known and nxt_tag in ("NOUN", "ADJ")) else "PART"
            elif low == "that":
                tags[i] = ("DET" if nxt_tag in ("NOUN", "ADJ") else
                           "SCONJ" if nxt_tag in ("PRON", "DET", "PROPN") else "PRON")
            elif low in _HAVE or low in ("do", "does", "did"):
                j = i + 1
                while j < n and tags[j] in ("ADV", "PART"):
                    j += 1
                aux = j < n and (tags[j] == "VERB" and lows[j].endswith(("ed", "en", "wn",
                                                                          "ne", "t"))
                                 if low in _HAVE else
                                 j > i + 1 or tags[j] in ("PRON", "DET", "PROPN"))
                tags[i] = "AUX" if aux else "VERB"
            elif not known[i] and tags[i] in ("NOUN", "VERB"):
                if prev_tag == "PART" and prev == "to" or prev in _MODAL or (
                        prev in _SUBJECT and prev_tag == "PRON") or prev in _BE and prev_tag == "AUX" and low.endswith(("ed", "ing", "en")):
                    tags[i] = "VERB"
                elif (prev in _BE and prev_tag == "AUX" or prev in _DEGREE) and (
                        tags[i] == "NOUN") and (
                        nxt_tag not in ("NOUN", "ADJ", "PROPN")):
                    tags[i] = "ADJ"
                elif prev_tag in ("DET", "ADJ", "NUM", "ADP") and low.endswith("ing"):
                    tags[i] = "NOUN"
                elif prev_tag == "DET" and low.endswith("ed"):
                    tags[i] = "ADJ"
            elif known[i] and tags[i] == "VERB" and prev_tag in ("DET", "ADJ"):
                tags[i] = "NOUN"
            elif known[i] and tags[i] == "NOUN" and (prev in _MODAL or prev == "to"
                                                     and tags[i - 1] == "PART"):
                tags[i] = "VERB"
        return tags

    __call__ = tag


# ---------------------------------------------------------------------------------------------
# Other taggers

_SPACY_MODELS = {"en": "en_core_web_sm"}


class SpacyTagger:
    """Tags our tokens with an installed spaCy pipeline (its UPOS tags), keeping our tokenisation:
    the pipeline's components run on a Doc made from the given words."""

    name = "spacy"

    def __init__(self, model):
        try:
            import spacy
            from spacy.tokens import Doc
        except ImportError as e:
            raise TaggerError(f"the spaCy tagger needs the spacy package ({e})") from None
        try:
            self._nlp = spacy.load(model, exclude=["ner", "lemmatizer", "parser"])
        except Exception as e:  # noqa: BLE001 (OSError for a missing model, others for bad ones)
            raise TaggerError(f"cannot load the spaCy model {model!r} ({e})") from None
        self._doc = Doc
        self.model = model

    def tag(self, tokens):
        doc = self._doc(self._nlp.vocab, words=list(tokens))
        for _, proc in self._nlp.pipeline:
            doc = proc(doc)
        return [t.pos_ or "X" for t in doc]

    __call__ = tag


def _spacy_model(language):
    lang = (language or "en").lower()
    return _SPACY_MODELS.get(lang, f"{lang}_core_news_sm")


def _load_plugin(spec, language):
    mod_name, _, attr = spec.partition(":")
    try:
        obj = importlib.import_module(mod_name)
        for part in attr.split("."):
            obj = getattr(obj, part)
    except Exception as e:  # noqa: BLE001 (whatever the plug-in's import raises)
        raise TaggerError(f"cannot load the tagger {spec!r} ({type(e).__name__}: {e})") from None
    if isinstance(obj, type):
        try:
            obj = obj(language)
        except TypeError:
            obj = obj()
    if not (hasattr(obj, "tag") or callable(obj)):
        raise TaggerError(f"the tagger {spec!r} is neither callable nor has a tag() method")
    return obj


def get_tagger(spec=None, language="en"):
    """A tagger from a name: None or "auto" (spaCy when it and a model for the language are
    installed, else the rule tagger), "rules", "spacy" or "spacy:MODEL", or "module:attribute"
    naming a callable, an object with a tag() method, or a class whose instances are taggers
    (called with the language). A tagger object is returned as it is."""
    if spec is not None and not isinstance(spec, str):
        if not (hasattr(spec, "tag") or callable(spec)):
            raise TaggerError(f"{spec!r} is not a tagger (no tag() method, not callable)")
        return spec
    if spec in (None, "", "auto"):
        if "spacy" in sys.modules or importlib.util.find_spec("spacy") is not None:
            try:
                return SpacyTagger(_spacy_model(language))
            except TaggerError:
                pass
        return RuleTagger(language)
    if spec == "rules":
        return RuleTagger(language)
    if spec == "spacy" or spec.startswith("spacy:"):
        return SpacyTagger(spec[6:] or _spacy_model(language))
    if ":" in spec:
        return _load_plugin(spec, language)
    raise TaggerError(f"unknown tagger {spec!r} (use auto, rules, spacy[:MODEL] or "
                      "module:attribute)")


def tagger_name(tagger):
    name = getattr(tagger, "name", None)
    if isinstance(name, str):
        return name
    return getattr(tagger, "__qualname__", None) or type(tagger).__qualname__


def tag_function(tagger):
    """The tagger as a plain function tokens -> tags."""
    fn = tagger.tag if hasattr(tagger, "tag") else tagger
    return fn
