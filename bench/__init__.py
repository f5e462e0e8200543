"""Benchmarks of lumora's native modules against plain-Python baselines.

``bench.corpus`` makes realistic prepared corpora, ``bench.baseline_build`` is the plain-Python
index builder, ``python -m bench.run`` runs the suites ``bench/bench_<name>.py``.
"""
