"""A sample corpus that every Python installation carries: the docstrings of standard-library
modules, one text per module.

The docstrings are read from the modules' source files with ``ast`` (nothing is imported or run);
where a module's source is not installed, the module is imported and the docstrings of the module
and of the classes and functions defined in it are taken instead.
"""

import ast
import importlib
import inspect
import os
import sysconfig

__all__ = ["MODULES", "stdlib_texts"]

# Pure-Python modules present in every CPython from 3.8 on, with docstrings worth reading.
MODULES = (
    "argparse", "ast", "base64", "bisect", "calendar", "collections", "configparser",
    "contextlib", "copy", "csv", "dataclasses", "datetime", "difflib", "enum", "fileinput",
    "fnmatch", "fractions", "ftplib", "functools", "getopt", "gettext", "glob", "gzip", "heapq",
    "hmac", "imaplib", "inspect", "ipaddress", "json", "locale", "logging", "mailbox",
    "mimetypes", "numbers", "operator", "optparse", "os", "pathlib", "pickle", "platform",
    "pprint", "queue", "random", "re", "sched", "secrets", "selectors", "shlex", "shutil",
    "smtplib", "socket", "statistics", "string", "subprocess", "tarfile", "tempfile",
    "textwrap", "threading", "timeit", "tokenize", "traceback", "types", "typing", "uuid",
    "warnings", "weakref", "zipfile",
)


def _prose(doc):
    """A docstring without its interactive examples (>>> lines and the output below them)."""
    out, in_example = [], False
    for line in doc.splitlines():
        stripped = line.strip()
        if stripped.startswith(">>>"):
            in_example = True
            continue
        if in_example:
            if stripped:
                continue
            in_example = False
        out.append(line)
    return "\n".join(out).strip()


def _source_path(name):
    base = sysconfig.get_paths()["stdlib"]
    for cand in (os.path.join(base, name + ".py"), os.path.join(base, name, "__init__.py")):
        if os.path.isfile(cand):
            return cand
    return None


def _docstrings_from_source(path):
    with open(path, "rb") as f:
        tree = ast.parse(f.read(), filename=path)
    docs = []
    nodes = (ast.Module, ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)
    for node in ast.walk(tree):
        if isinstance(node, nodes):
            doc = ast.get_docstring(node, clean=True)
            if doc:
                docs.append((getattr(node, "lineno", 0), doc))
    docs.sort(key=lambda d: d[0])  # walk is breadth-first; put them back in source order
    return [d for _, d in docs]


def _docstrings_from_module(name):
    mod = importlib.import_module(name)
    docs = [inspect.getdoc(mod) or ""]
    for attr in sorted(vars(mod)):
        obj = getattr(mod, attr)
        if (inspect.isclass(obj) or inspect.isfunction(obj)) and \
                getattr(obj, "__module__", None) == name:
            docs.append(inspect.getdoc(obj) or "")
    return [d for d in docs if d]


def stdlib_texts(modules=MODULES):
    """{module name: its docstrings as one text, paragraphs separated by blank lines}, for the
    modules whose docstrings can be read."""
    texts = {}
    for name in modules:
        try:
            path = _source_path(name)
            docs = _docstrings_from_source(path) if path else _docstrings_from_module(name)
        except Exception:  # noqa: BLE001, S112 (a module missing or unreadable: done without)
            continue
        text = "\n\n".join(p for p in map(_prose, docs) if p)
        if text:
            texts[name] = text
    return texts
