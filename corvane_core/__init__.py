"""Native core of the Corvane Connect addon.

The extension modules are imported by name, for example
``from corvane_core import corvane_user``; nothing is loaded here, so that
importing the package has no side effect.
"""
