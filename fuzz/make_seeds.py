"""Writes the seed inputs of the fuzz harnesses (fuzz/corpus/<harness>/) and the inputs of the
known, reported defects (fuzz/known/<harness>/), which fuzz/run.sh expects to fail in strict
mode. Run from the project root: python fuzz/make_seeds.py"""
import io
import os
import pickle
import struct

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def write(kind, harness, name, data):
    folder = os.path.join(HERE, kind, harness)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def npy(arr, version=None):
    buf = io.BytesIO()
    if version is None:
        np.save(buf, arr)
    else:
        np.lib.format.write_array(buf, arr, version=version)
    return buf.getvalue()


def header_file(text, body=b"", version=1):
    h = text.encode("latin1")
    pre = 10 if version == 1 else 12
    h += b" " * ((-(pre + len(h) + 1)) % 64) + b"\n"
    size = struct.pack("<H" if version == 1 else "<I", len(h))
    return b"\x93NUMPY" + bytes([version, 0]) + size + h + body


def header_text(data):
    n = struct.unpack("<H", data[8:10])[0]
    return data[10:10 + n]


TEXT = {
    "ascii": b"the cat\tsat\n",
    "spaces": b"  \t a b \x0b\x0c\r\n\x1c\x1d\x1e\x1f\x85 ",
    "unicode-spaces": " \u00a0\u1680\u2000\u200a\u2028\u2029\u202f\u205f\u3000x\u3000 ".encode(),
    "not-spaces": "\u200b\u180e\ufeffx\u200b".encode(),
    "multibyte": "caf\u00e9 \u20ac \U0001F600 \u0663".encode(),
    "overlong": b"\xc0\xaf\xe0\x80\xaf\xf0\x80\x80\xaf",
    "surrogates": b"\xed\xa0\x80\xed\xbf\xbf",
    "above-max": b"\xf4\x90\x80\x80\xf5\x80\x80\x80",
    "truncated": b"ab\xe2\x82",
    "continuation": b"\x80\xbf",
    "nul": b"a\0b\0",
    "edges": b"\xc2\x80\xdf\xbf\xe0\xa0\x80\xef\xbf\xbf\xf0\x90\x80\x80\xf4\x8f\xbf\xbf",
}
for name, data in TEXT.items():
    write("corpus", "text", name, data)

TOKENS = {
    "plain": b"the\tDT\t1\t1\ncat\tNN\t2\t3\n",
    "crlf": b"the\tDT\t1\t1\r\ncat\tNN\t-2\t+3\r\n",
    "cr": b"the\tDT\t1\t1\rcat\tNN\t2\t3\r",
    "blank": b"\n  \t \n\r\nthe\tDT\t1\t1\n",
    "unicode": "\u3000caf\u00e9\tNN\t\u0663\t1\u2028\n\x85dog\tNN\t1_0\t 7 \n".encode(),
    "fields": b"a\tB\t1\t2\textra\tmore\nb\tC\t3\n",
    "numbers": b"x\tN\t123456789012345678\t1234567890123456789\ny\tN\t-0\t00\nz\tN\t\t1\n",
    "long": b"w" * 40 + b"\t" + b"T" * 20 + b"\t1\t1\n" + b"w" * 40 + b"\tT\t1\t1\n",
}
for name, data in TOKENS.items():
    for params in (b"\x00\x00", b"\x03\x11", b"\xf0\x01", b"\xe0\x02"):
        write("corpus", "tokens", f"{name}-{params.hex()}", params + data)

ARRAYS = {
    "int64": np.arange(8, dtype="<i8").reshape(2, 4),
    "int32": np.arange(8, dtype="<i4").reshape(2, 4),
    "fortran": np.asfortranarray(np.arange(12, dtype="<i8").reshape(3, 4)),
    "empty": np.zeros(0, dtype="<i8"),
    "empty-2d": np.zeros((0, 4), dtype="<i8"),
    "one-dim": np.arange(5, dtype="<i8"),
    "scalar": np.array(7, dtype="<i8"),
    "float": np.zeros((2, 4)),
    "big-endian": np.arange(8, dtype=">i8").reshape(2, 4),
}
for name, arr in ARRAYS.items():
    write("corpus", "npy_read", name, npy(arr))
    write("corpus", "npy_header", name, header_text(npy(arr)))
write("corpus", "npy_read", "version-2", npy(ARRAYS["int64"], (2, 0)))
write("corpus", "npy_read", "version-3", npy(ARRAYS["int64"], (3, 0)))
for name, text in {
        "double-quotes": '{"descr": "<i8", "fortran_order": True, "shape": (3, 4)}',
        "newlines": "{\n'descr':\n'<i4',\r\n'fortran_order' : False ,'shape':( 1 , )}\n",
        "zeros": "{'descr': '<i8', 'fortran_order': False, 'shape': (00, 4), }",
        "comment": "{'descr': '<i8', 'fortran_order': False, 'shape': (2, 4), } # padding",
}.items():
    write("corpus", "npy_header", name, text.encode())

# Reported defects of npy.hpp, each with a failing test in tests/test_bad_inputs.py.
KNOWN_HEADERS = {
    "trailing-text": "{'descr': '<i8', 'fortran_order': False, 'shape': (2, 4), } junk",
    "leading-zero": "{'descr': '<i8', 'fortran_order': False, 'shape': (02, 4), }",
    "shape-in-parens": "{'descr': '<i8', 'fortran_order': False, 'shape': (0), }",
    "leading-space": " {'descr': '<i8', 'fortran_order': False, 'shape': (2, 4), }",
    "line-end-and-space": "\n {'descr': '<i8', 'fortran_order': False, 'shape': (2, 4), }",
}
for name, text in KNOWN_HEADERS.items():
    write("known", "npy_header", name, text.encode())
write("known", "npy_read", "shape-product-wraps",
      header_file("{'descr': '<i8', 'fortran_order': False, 'shape': (4294967296, 4294967296), }"))
write("known", "npy_read", "header-over-10000",
      header_file("{'descr': '<i8', 'fortran_order': False, 'shape': (1, 4), }" + " " * 12000,
                  np.arange(4, dtype="<i8").tobytes(), version=2))


def pickled_forms():
    """Pickled dictionaries as the index builder writes them (id -> word, lower-case word -> ids)
    in every protocol the native reader takes, and forms pickle.dump writes less often."""
    words = {7: "the", 300: "The", 70000: "dog", 2**31 - 1: "caf\u00e9", -5: "\u20ac",
             2**40: "\U0001F600", -(2**63): "lone \ud800", 0: ""}
    lc = {}
    for i, w in words.items():
        lc.setdefault(w.lower(), []).append(i)
    shared = "shared"
    many = {i: f"w{i}" for i in range(300)}  # more than 256 memo entries: LONG_BINPUT in 2 and 3
    many.update({1000: shared, 1001: shared, 1002: many[3]})  # BINGET / LONG_BINGET
    forms = {"words": words, "wordslc": lc, "empty": {}, "one": {1: "a"}, "one-list": {"a": [1]},
             "many": many, "long-str": {1: "x" * 300}, "int-values": {"a": 1, 2: -3}}
    for name, obj in forms.items():
        for protocol in (2, 3, 4, 5):
            yield f"{name}-p{protocol}", pickle.dumps(obj, protocol=protocol)
    # By hand: a BINUNICODE8 str, a key set twice, bytes after STOP.
    s8 = b"\x8d" + (3).to_bytes(8, "little") + b"dog"
    yield "binunicode8", b"\x80\x04}\x94(K\x01" + s8 + b"u."
    one = b"X\x01\x00\x00\x00"  # BINUNICODE of one byte
    yield "repeated-key", b"\x80\x02}q\x00(K\x01" + one + b"aK\x02" + one + b"bK\x01" + one + b"cu."
    yield "trailing", pickle.dumps({1: "a"}, protocol=4) + b"junk"


for name, data in pickled_forms():
    write("corpus", "pickled", name, data)
