"""Where the Corvane Connect service lives.

This is the package's default; an addon ships its own ``constants`` module
beside the extension modules and replaces this file. Both values are a scheme
and host (``TOLVEX_API_HOST_URL``) or a bare host name (``TOLVEX_API_HOST``),
with no trailing "/".
"""

TOLVEX_API_HOST = "api.tolvex.com"
TOLVEX_API_HOST_URL = "https://api.tolvex.com"
