"""lumora: fast, exact corpus analysis (concordance) with a native C++ core.

The analysis modules are imported by name (``from lumora import lm_tagfreq``); importing the
package itself loads none of them, so one module failing to load never breaks the others.
"""

__version__ = "0.1.0"
