"""What the modules bind at load, what they expose, how they are called,
and that they import relative to the package they really live in."""

import ast
import importlib
import importlib.metadata
import os
import pathlib
import subprocess
import sys

import pytest

import corvane_core
from corvane_core import constants, corvane_keys, corvane_pain, corvane_user

PACKAGE_DIR = pathlib.Path(corvane_core.__file__).parent


def test_user_module_bindings():
    import base64
    import datetime
    import hashlib
    import logging
    import time
    import urllib.parse

    import requests

    assert corvane_user.base64 is base64
    assert corvane_user.logging is logging
    assert corvane_user.time is time
    assert corvane_user.urlencode is urllib.parse.urlencode
    assert corvane_user.datetime is datetime.datetime
    assert corvane_user.hashlib is hashlib
    assert corvane_user.requests is requests
    assert corvane_user.TOLVEX_API_HOST == constants.TOLVEX_API_HOST
    assert corvane_user.TOLVEX_API_HOST_URL == constants.TOLVEX_API_HOST_URL
    assert corvane_user._corvane_connect_sign is corvane_keys._corvane_connect_sign
    assert corvane_user._logger is logging.getLogger("corvane_core.corvane_user")
    assert corvane_user.__all__ == ["get_account_reports", "list_accounts", "revoke_refresh_token", "user_linking"]


def test_pain_module_bindings():
    assert corvane_pain.__all__ == ["refresh_state"]
    assert corvane_pain.TOLVEX_API_HOST_URL == constants.TOLVEX_API_HOST_URL
    for name in ("_check_status", "_request_access_token", "_signature_headers"):
        assert getattr(corvane_pain, name) is getattr(corvane_user, name)
    assert corvane_pain._logger.name == "corvane_core.corvane_pain"


def test_keys_module_has_only_its_names():
    public = {n for n in vars(corvane_keys) if not n.startswith("__")}
    assert public == {"base64", "_generate_corvane_connect_private_key", "_generate_corvane_connect_csr",
                      "_corvane_connect_sign"}
    assert not hasattr(corvane_keys, "__all__")


def test_star_import_gives_the_public_names():
    namespace = {}
    exec("from corvane_core.corvane_user import *", namespace)
    assert set(namespace) - {"__builtins__"} == set(corvane_user.__all__)


def test_constants_are_scheme_and_host():
    assert constants.TOLVEX_API_HOST_URL.startswith("https://")
    assert not constants.TOLVEX_API_HOST_URL.endswith("/")
    assert constants.TOLVEX_API_HOST_URL.endswith(constants.TOLVEX_API_HOST)


PRODUCTION = ("api.tolvex.com", "https://api.tolvex.com")


@pytest.mark.parametrize("environment, expected", [
    ({}, PRODUCTION),
    ({"CORVANE_TOLVEX_API_HOST": "", "CORVANE_TOLVEX_API_HOST_URL": ""}, PRODUCTION),
    ({"CORVANE_TOLVEX_API_HOST": "127.0.0.1:18765", "CORVANE_TOLVEX_API_HOST_URL": "http://127.0.0.1:18765"},
     ("127.0.0.1:18765", "http://127.0.0.1:18765")),
    ({"CORVANE_TOLVEX_API_HOST": "api.beta.tolvex.com", "CORVANE_TOLVEX_API_HOST_URL": "https://api.beta.tolvex.com"},
     ("api.beta.tolvex.com", "https://api.beta.tolvex.com")),
    ({"CORVANE_TOLVEX_API_HOST_URL": "http://localhost:8080"}, ("api.tolvex.com", "http://localhost:8080")),
], ids=["unset", "empty", "sandbox", "beta", "url-only"])
def test_shipped_constants_follow_the_environment(environment, expected):
    # A fresh interpreter: the modules read the constants once, at their import.
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_TOLVEX_")}
    code = ("from corvane_core import corvane_pain, corvane_user\n"
            "print(corvane_user.TOLVEX_API_HOST, corvane_user.TOLVEX_API_HOST_URL, corvane_pain.TOLVEX_API_HOST_URL)")
    proc = subprocess.run([sys.executable, "-c", code], env=dict(env, **environment), cwd=PACKAGE_DIR.parent,
                          capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    host, url, pain_url = proc.stdout.split()
    assert (host, url) == expected and pain_url == url


# -- vendored copies -----------------------------------------------------------

def installed_files():
    """The package's files as the wheel installed them (its RECORD), relative
    to the package directory."""
    found = importlib.metadata.files("corvane-core")
    files = [f for f in found or () if f.parts[0] == "corvane_core" and f.suffix != ".pyc"]
    assert any(f.name.startswith("corvane_user.") and f.suffix == ".so" for f in files), found
    return [(pathlib.Path(*f.parts[1:]), pathlib.Path(f.locate())) for f in files]


def vendor(tmp_path, package="vendored", constants_text=None, drop=()):
    """The package's installed files unpacked as `<package>.corvane_core`
    (a dotted package gets every level; the levels above the last are
    namespace packages, as `odoo.addons` is to an addon)."""
    root = tmp_path.joinpath(*package.split("."))
    target = root / "corvane_core"
    for relative, source in installed_files():
        (target / relative).parent.mkdir(parents=True, exist_ok=True)
        (target / relative).write_bytes(source.read_bytes())
    (root / "__init__.py").write_text("")
    if constants_text is not None:
        (target / "constants.py").write_text(constants_text)
    for name in drop:
        for path in target.glob(name):
            path.unlink()
    return tmp_path


@pytest.fixture
def clean_modules():
    before = set(sys.modules)
    yield
    for name in set(sys.modules) - before:
        if name.split(".")[0] in ("vendored", "other", "odoo"):
            del sys.modules[name]


@pytest.mark.installed_package
@pytest.mark.parametrize("package", ["vendored", "odoo.addons.your_addon"])
def test_vendored_package_binds_its_own_siblings(tmp_path, monkeypatch, clean_modules, package):
    vendor(tmp_path, package, constants_text='TOLVEX_API_HOST = "vendor.test"\nTOLVEX_API_HOST_URL = "http://vendor.test"\n')
    monkeypatch.syspath_prepend(str(tmp_path))
    # The addon's constants win over the environment's.
    monkeypatch.setenv("CORVANE_TOLVEX_API_HOST", "env.test")
    pain = importlib.import_module(f"{package}.corvane_core.corvane_pain")
    user = sys.modules[f"{package}.corvane_core.corvane_user"]
    keys = sys.modules[f"{package}.corvane_core.corvane_keys"]
    assert user.TOLVEX_API_HOST == "vendor.test" and pain.TOLVEX_API_HOST_URL == "http://vendor.test"
    assert user.TOLVEX_API_HOST_URL == "http://vendor.test"
    assert user._corvane_connect_sign is keys._corvane_connect_sign
    assert user._corvane_connect_sign is not corvane_keys._corvane_connect_sign
    assert pain._request_access_token is user._request_access_token
    assert user._logger.name == f"{package}.corvane_core.corvane_user"
    assert pain._logger.name == f"{package}.corvane_core.corvane_pain"
    assert pathlib.Path(user.__file__).parent == tmp_path.joinpath(*package.split("."), "corvane_core")
    # The original package is untouched.
    assert corvane_user.TOLVEX_API_HOST == constants.TOLVEX_API_HOST


@pytest.mark.installed_package
@pytest.mark.parametrize("constants_text, drop, module", [
    (None, ("constants.py",), "corvane_user"),
    ('TOLVEX_API_HOST = "h"\n', (), "corvane_user"),            # a name missing in constants
    # corvane_pain itself needs only the URL, but it loads corvane_user, which needs both.
    ('TOLVEX_API_HOST_URL = "u"\n', (), "corvane_pain"),
    (None, ("corvane_keys.*",), "corvane_user"),
    (None, ("corvane_user.*",), "corvane_pain"),
], ids=["no-constants", "no-url", "no-host", "no-keys", "no-user"])
def test_missing_sibling_fails_the_import(tmp_path, monkeypatch, clean_modules, constants_text, drop, module):
    vendor(tmp_path, package="other", constants_text=constants_text, drop=drop)
    monkeypatch.syspath_prepend(str(tmp_path))
    with pytest.raises(ImportError):
        importlib.import_module(f"other.corvane_core.{module}")


# -- call convention -----------------------------------------------------------

FUNCTIONS = [
    (corvane_keys, "_generate_corvane_connect_private_key"),
    (corvane_keys, "_generate_corvane_connect_csr"),
    (corvane_keys, "_corvane_connect_sign"),
    (corvane_user, "user_linking"),
    (corvane_user, "revoke_refresh_token"),
    (corvane_user, "list_accounts"),
    (corvane_user, "get_account_reports"),
    (corvane_user, "get_bank_statements"),
    (corvane_user, "_get_account_report"),
    (corvane_user, "_handle_account_report_data"),
    (corvane_user, "_check_status"),
    (corvane_user, "_get_account"),
    (corvane_user, "_update_account"),
    (corvane_user, "_request_access_token"),
    (corvane_user, "_signature_headers"),
    (corvane_pain, "refresh_state"),
    (corvane_pain, "_pain_request"),
]


def native_signature(fn):
    """Parameter names and defaults from the function's own signature text."""
    [(text, _doc, defaults)] = fn.__nb_signature__
    for i, value in enumerate(defaults or ()):
        text = text.replace(f"\\{i}", repr(value))
    node = ast.parse(text + ": ...").body[0]
    return signature_of(node)


def signature_of(node):
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.literal_eval(d) for d in args.defaults]
    required = [True] * (len(args.args) - len(args.defaults)) + [False] * len(args.defaults)
    return [(a.arg, req, d) for a, req, d in zip(args.args, required, defaults)]


def stub_signatures(module):
    tree = ast.parse((PACKAGE_DIR / (module.__name__.rsplit(".", 1)[1] + ".pyi")).read_text())
    return {n.name: signature_of(n) for n in tree.body if isinstance(n, ast.FunctionDef)}


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=[n for _, n in FUNCTIONS])
def test_stubs_match_the_real_signatures(module, name):
    assert stub_signatures(module)[name] == native_signature(getattr(module, name))


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=[n for _, n in FUNCTIONS])
def test_wrong_calls_raise_type_error(module, name):
    params = native_signature(getattr(module, name))
    fn = getattr(module, name)
    # Plain objects, not None: the refusal must come from the call shape alone.
    args = [object() for _ in params]
    with pytest.raises(TypeError):
        fn(*args, object())
    with pytest.raises(TypeError):
        fn(*args, no_such_keyword=1)
    with pytest.raises(TypeError):  # the first parameter given twice
        fn(*args, **{params[0][0]: object()})
    required = sum(1 for _, req, _ in params if req)
    with pytest.raises(TypeError):
        fn(*args[:required - 1])


@pytest.mark.parametrize("module, name", FUNCTIONS, ids=[n for _, n in FUNCTIONS])
def test_none_is_an_ordinary_argument(module, name):
    # As in Python, None reaches the function and fails where it is used,
    # never in the call itself.
    params = native_signature(getattr(module, name))
    with pytest.raises(Exception) as caught:
        getattr(module, name)(*[None] * len(params))
    assert "incompatible function arguments" not in str(caught.value)
