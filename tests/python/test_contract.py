"""The typed contract shipped in the stubs (corvane_core/contract.pyi and the
modules' signatures) against what the modules really do.

Drift: every function runs through its main paths on the stand-in records
wrapped in recording proxies. A proxy plays the part of the Protocol its
value has by the stubs (the parameter's annotation for an argument, the
member's annotation for what a member gives back), logs every attribute
read, assignment and call, and reports each one the Protocol does not allow:
a member it lacks, an assignment to a read-only member, a call that does not
fit the declared parameters, a model name ``env[...]`` does not list. The
drive must touch every member a Protocol declares, so the Protocols say
exactly what the modules use.

Type check: mypy over a sample addon (tests/typing/sample_addon.py) finds
nothing, and over each misuse snippet (tests/typing/misuse_*.py) reports
the error written on the marked line."""

from __future__ import annotations

import __future__
import ast
import collections.abc
import inspect
import os
import pathlib
import re
import subprocess
import sys
import types
import typing

import pytest

if sys.version_info >= (3, 11):
    from typing import Self
else:  # as the stubs import it there
    from typing_extensions import Self

import corvane_core
from corvane_core import corvane_keys, corvane_pain, corvane_user
from corvane_standins import http
from corvane_standins.world import make_world

PACKAGE_DIR = pathlib.Path(corvane_core.__file__).parent
REPO = pathlib.Path(__file__).resolve().parents[2]
TYPING_DIR = REPO / "tests" / "typing"


# -- the Protocols, as declared ---------------------------------------------------

class Contract:
    """The Protocols of contract.pyi: their members from the source (kind
    "attribute", "property" or "method"), their types from a runtime copy
    of it (the stub executed with postponed annotations)."""

    def __init__(self, drop=()):
        source = (PACKAGE_DIR / "contract.pyi").read_text()
        self.namespace = {"__name__": "contract_copy"}
        code = compile(source, "contract.pyi", "exec", flags=__future__.annotations.compiler_flag,
                       dont_inherit=True)
        exec(code, self.namespace)
        self.members, self.overloads = {}, {}
        for node in ast.parse(source).body:
            if isinstance(node, ast.ClassDef) and any(ast.unparse(b) == "Protocol" for b in node.bases):
                self.members[node.name] = self._members(node)
        for protocol, member in drop:
            del self.members[protocol][member]
        self.violations = []
        self.touched = set()

    def _members(self, node):
        members = {}
        for item in node.body:
            if isinstance(item, ast.AnnAssign):
                members[item.target.id] = "attribute"
            elif isinstance(item, ast.FunctionDef):
                decorators = [ast.unparse(d) for d in item.decorator_list]
                members[item.name] = "property" if "property" in decorators else "method"
                if "overload" in decorators:
                    # the model name (a Literal) each overload answers, and what for
                    literal = ast.literal_eval(item.args.args[1].annotation.slice)
                    self.overloads.setdefault((node.name, item.name), {})[literal] = ast.unparse(item.returns)
        return members

    def protocol(self, name):
        return self.namespace[name]

    def hint(self, protocol, member):
        """The annotation of an attribute, or the return annotation of a
        property or method."""
        cls = self.protocol(protocol)
        kind = self.members[protocol][member]
        if kind == "attribute":
            return typing.get_type_hints(cls, self.namespace)[member]
        function = vars(cls)[member].fget if kind == "property" else vars(cls)[member]
        return typing.get_type_hints(function, self.namespace).get("return")

    def evaluate(self, text):
        return eval(text, self.namespace)  # an annotation of the stubs

    # wrapping ---------------------------------------------------------------
    def wrap(self, value, hint, owner=None):
        if hint is Self:
            hint = self.protocol(owner)
        if isinstance(hint, type) and hint.__name__ in self.members and hint is self.namespace.get(hint.__name__):
            return Recorded(value, hint.__name__, self)
        origin = typing.get_origin(hint)
        if origin in (typing.Union, types.UnionType):
            if value is None:
                return None
            choices = [h for h in typing.get_args(hint) if isinstance(h, type) and h.__name__ in self.members]
            return self.wrap(value, choices[0], owner) if len(choices) == 1 else value
        if origin is collections.abc.Iterator:
            (item,) = typing.get_args(hint)
            return (self.wrap(v, item, owner) for v in value)
        return value

    def wrap_callable(self, func, hint, owner):
        """A callable argument declared Callable[[P], R] sees P proxies."""
        if typing.get_origin(hint) is not collections.abc.Callable or not callable(func):
            return func
        params, _ = typing.get_args(hint)

        def wrapped(*args):
            return func(*[self.wrap(a, h, owner) for a, h in zip(args, params)])
        return wrapped

    # what a proxy reports ---------------------------------------------------------
    def note(self, protocol, member, action):
        self.touched.add((protocol, member))
        kind = self.members[protocol].get(member)
        if kind is None:
            self.violations.append(f"{action} {protocol}.{member}: not in the Protocol")
        elif action == "assigns" and kind != "attribute":
            self.violations.append(f"assigns {protocol}.{member}: read-only ({kind}) in the Protocol")
        elif action == "calls" and kind != "method":
            self.violations.append(f"calls {protocol}.{member}: an {kind} in the Protocol")
        return kind

    def call(self, proxy, member, args, kwargs):
        protocol, target = proxy._protocol, proxy._target
        kind = self.note(protocol, member, "calls")
        real = getattr(target, member)
        if kind != "method":
            return real(*unwrap(args), **unwrap(kwargs))
        overloads = self.overloads.get((protocol, member))
        if overloads is not None:
            returned = overloads.get(args[0]) if len(args) == 1 and not kwargs else None
            if returned is None:
                self.violations.append(f"calls {protocol}.{member}{args!r}: no overload for it")
                return real(*unwrap(args), **unwrap(kwargs))
            return self.wrap(real(*unwrap(args)), self.evaluate(returned), protocol)
        function = vars(self.protocol(protocol))[member]
        try:
            bound = inspect.signature(function).bind(None, *args, **kwargs)
        except TypeError as exc:
            self.violations.append(f"calls {protocol}.{member}: {exc}")
        else:
            hints = typing.get_type_hints(function, self.namespace)
            for name, value in list(bound.arguments.items())[1:]:
                if name in hints:
                    bound.arguments[name] = self.wrap_callable(value, hints[name], protocol)
            args, kwargs = bound.args[1:], bound.kwargs
        result = real(*unwrap(args), **unwrap(kwargs))
        return self.wrap(result, self.hint(protocol, member), protocol)


def unwrap(value):
    if isinstance(value, Recorded):
        return value._target
    if isinstance(value, dict):
        return {unwrap(k): unwrap(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return type(value)(unwrap(v) for v in value)
    return value


class Recorded:
    """A stand-in record (or session, response, environment) seen through
    one Protocol."""

    __slots__ = ("_target", "_protocol", "_contract")

    def __init__(self, target, protocol, contract):
        object.__setattr__(self, "_target", target)
        object.__setattr__(self, "_protocol", protocol)
        object.__setattr__(self, "_contract", contract)

    def __getattr__(self, name):
        contract = self._contract
        kind = contract.note(self._protocol, name, "reads")
        if kind == "method":
            return lambda *args, **kwargs: contract.call(self, name, args, kwargs)
        value = getattr(self._target, name)
        if kind is None:  # reported; the run goes on with the stand-in's own value
            return (lambda *args, **kwargs: value(*unwrap(args), **unwrap(kwargs))) if callable(value) else value
        return contract.wrap(value, contract.hint(self._protocol, name), self._protocol)

    def __setattr__(self, name, value):
        self._contract.note(self._protocol, name, "assigns")
        setattr(self._target, name, unwrap(value))

    def __repr__(self):
        return f"<{self._protocol} {self._target!r}>"

    def __bool__(self):
        # Every object has a truth value: an object whose type defines none
        # (a session) is true without a member of its own.
        if not hasattr(type(self._target), "__bool__") and not hasattr(type(self._target), "__len__"):
            return True
        return self._contract.call(self, "__bool__", (), {})

    def __len__(self):
        return self._contract.call(self, "__len__", (), {})

    def __iter__(self):
        return self._contract.call(self, "__iter__", (), {})

    def __contains__(self, item):
        return self._contract.call(self, "__contains__", (item,), {})

    def __getitem__(self, key):
        return self._contract.call(self, "__getitem__", (key,), {})

    def __add__(self, other):
        return self._contract.call(self, "__add__", (other,), {})

    def __sub__(self, other):
        return self._contract.call(self, "__sub__", (other,), {})

    def __eq__(self, other):
        return self._contract.call(self, "__eq__", (other,), {})

    __hash__ = None


# -- the drive ----------------------------------------------------------------------

def stub_parameters(module):
    """{function: {parameter: annotation text}} from the module's stub."""
    tree = ast.parse((PACKAGE_DIR / (module.__name__.rsplit(".", 1)[1] + ".pyi")).read_text())
    return {node.name: {a.arg: ast.unparse(a.annotation) for a in node.args.args if a.annotation is not None}
            for node in tree.body if isinstance(node, ast.FunctionDef)}


def service(status=200):
    """Answers every request the modules send, by path; with another status,
    refuses each of them."""
    def answer(call):
        path = call.wire.path_url
        if status != 200:
            return http.error_response(status, "refused")
        if path.endswith("/oauth2/token"):
            return http.token_answer()
        if path.endswith("/oauth2/revoke"):
            return http.FakeResponse(200)
        if path.startswith("/corvane-connect/accounts?"):
            return http.accounts_page(["a1", "a2"])
        if path.startswith("/corvane-connect/accounts/"):
            return http.account_answer(path.rsplit("/", 1)[1])
        if path.startswith("/corvane-connect/account-reports?"):
            return http.reports_page(["r1", "r2"])
        if path.startswith("/corvane-connect/account-reports/"):
            return http.FakeResponse(200, text="<Document/>")
        if path.startswith("/corvane-connect/bulk-payment-initiation-requests"):
            return http.pain_answer()
        raise AssertionError(f"unexpected request {call.method} {path}")
    return http.FakeSession(answer)


class Drive:
    def __init__(self, contract):
        self.contract = contract
        self.parameters = {m: stub_parameters(m) for m in (corvane_user, corvane_keys, corvane_pain)}

    def __call__(self, module, name, *args, **kwargs):
        """Call module.name with each argument seen through its declared type."""
        declared = self.parameters[module][name]
        names = list(declared)
        wrapped = [self.contract.wrap(v, self.contract.evaluate(declared[n])) for n, v in zip(names, args)]
        wrapped_kw = {k: self.contract.wrap(v, self.contract.evaluate(declared[k])) for k, v in kwargs.items()}
        return getattr(module, name)(*wrapped, **wrapped_kw)

    def run(self):
        cu, ck, cp = corvane_user, corvane_keys, corvane_pain
        for status in (200, 400):
            world = make_world(session=service(status))
            world.account("a1")                            # found and updated
            world.account("gone")                          # linked, no longer listed
            world.report("r0", accounts=world.account("a3", acc_number="BE68539007547034"))
            user, session = world.user, world.session
            self(cu, "user_linking", user)
            self(cu, "_request_access_token", user, session, grant_type="authorization_code", auth_code="c")
            self(cu, "_request_access_token", user, session)
            self(cu, "list_accounts", user)
            self(cu, "_get_account", user, session, "a9")
            self(cu, "get_account_reports", user)
            self(cu, "get_bank_statements", user)
            self(cu, "_get_account_report", user, session, world.report("r5"))
            self(cu, "_handle_account_report_data", user, session, http.report_item("r6"))
            pain = world.pain_request()
            self(cp, "_pain_request", pain)
            self(cp, "refresh_state", pain)
            self(cu, "revoke_refresh_token", user)
        world = make_world(session=service())
        account = world.account("a1", country_id=world.env.ref("base.nl").id)
        self(cu, "_update_account", world.user, account, {"account_identifier": "a1", "country_id": 1, "bic": "X"})
        self(cu, "_signature_headers", world.user, {"Authorization": "Bearer t"}, "body", "post /x")
        self(cu, "_check_status", world.user, operation="list-accounts")
        # a new user: no token record yet, configuration without credentials
        user = world.new_user(with_token=False)
        self(cu, "_request_access_token", user, world.session)
        self(cu, "_request_access_token", user, world.session, grant_type="authorization_code", auth_code="c")
        world.config.client_identifier = False
        self(cu, "user_linking", world.user)
        world.config.state = "draft"
        self(cu, "_check_status", world.user, operation="list-accounts")
        world.user.state = "draft"
        self(cu, "_check_status", world.user, operation="list-accounts")
        # keys
        key = self(ck, "_generate_corvane_connect_private_key", world.key, "Key", passphrase="pass phrase",
                   key_size=1024, company=world.company)["return"]
        self(ck, "_generate_corvane_connect_csr", world.key, "/CN=Company")
        self(ck, "_corvane_connect_sign", world.key, "message")
        return key


# Read by the ORM on the modules' behalf (``filtered("downloadable")``), never
# through an attribute access of the modules themselves.
READ_BY_NAME = {("AccountReport", "downloadable")}


def test_modules_touch_only_what_the_protocols_declare():
    contract = Contract()
    Drive(contract).run()
    assert contract.violations == []
    declared = {(p, m) for p, members in contract.members.items() for m in members}
    assert declared - contract.touched == READ_BY_NAME


@pytest.mark.parametrize("protocol, member", [
    ("KavUser", "transaction_rights"),
    ("KavUser", "_process_report_data"),
    ("Configuration", "_get_session"),
    ("AccessToken", "create"),
    ("Account", "__sub__"),
    ("Environment", "ref"),
    ("Session", "post"),
    ("Response", "text"),
    ("PainRequest", "identifier"),
])
def test_a_member_missing_from_its_protocol_is_reported(protocol, member):
    contract = Contract(drop=[(protocol, member)])
    Drive(contract).run()
    assert contract.violations and all(f"{protocol}.{member}" in v for v in contract.violations)


def test_a_call_that_does_not_fit_the_declaration_is_reported(monkeypatch):
    contract = Contract()
    # as if the report search lost its keyword parameters
    source = (PACKAGE_DIR / "contract.pyi").read_text().replace(
        "def search(self, domain: Domain, /, *, order: str = ..., limit: int = ...) -> Self: ...",
        "def search(self, domain: Domain, /) -> Self: ...")
    exec(compile(source, "contract.pyi", "exec", flags=__future__.annotations.compiler_flag, dont_inherit=True),
         contract.namespace)
    Drive(contract).run()
    assert contract.violations
    assert all(v.startswith("calls AccountReport.search: got an unexpected keyword argument") for v in contract.violations)


# -- the type check ------------------------------------------------------------------

EXPECT = re.compile(r"#\s*expect:\s*(.+)$")


def run_mypy(*files):
    """mypy --strict over files of tests/typing, against the installed package
    (run from that directory, so the source tree's corvane_core is not seen);
    the cache lives in build/. Returns {(file, line): [messages]}."""
    cache = REPO / "build" / "mypy-cache"
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(cache), "--no-error-summary",
         "--hide-error-context", "--no-pretty", "--show-error-codes", *files],
        cwd=TYPING_DIR, capture_output=True, text=True, timeout=600,
        env={k: v for k, v in os.environ.items() if k != "MYPYPATH"})
    assert proc.returncode in (0, 1), proc.stdout + proc.stderr
    found = {}
    for line in proc.stdout.splitlines():
        match = re.match(r"(.+?):(\d+): (error|note): (.*)$", line)
        assert match, line
        path, number, level, message = match.groups()
        found.setdefault((path, int(number)), []).append((level, message.strip()))
    return found


def expectations(path):
    out = {}
    for number, line in enumerate((TYPING_DIR / path).read_text().splitlines(), 1):
        match = EXPECT.search(line)
        if match:
            out[(path, number)] = match.group(1).strip()
    return out


MISUSE = sorted(p.name for p in TYPING_DIR.glob("misuse_*.py"))


@pytest.fixture(scope="module")
def mypy_report():
    pytest.importorskip("mypy", reason="the type check needs mypy (the test extra)")
    return run_mypy("sample_addon.py", *MISUSE)


@pytest.mark.installed_package
def test_the_sample_addon_type_checks(mypy_report):
    assert {key: v for key, v in mypy_report.items() if key[0] == "sample_addon.py"} == {}


@pytest.mark.installed_package
@pytest.mark.parametrize("path", MISUSE)
def test_each_misuse_is_flagged_where_marked(mypy_report, path):
    expected = expectations(path)
    assert expected, f"{path} marks no line with '# expect:'"
    reported = {key: v for key, v in mypy_report.items() if key[0] == path}
    assert set(reported) == set(expected)
    for key, text in expected.items():
        assert any(level == "error" for level, _ in reported[key])
        # the error and its notes, one line each, joined with "|"
        assert text in "|".join(message for _, message in reported[key])


@pytest.mark.installed_package
def test_the_shipped_stubs_type_check():
    pytest.importorskip("mypy", reason="the type check needs mypy (the test extra)")
    proc = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(REPO / "build" / "mypy-cache"),
                           "-p", "corvane_core"], cwd=TYPING_DIR, capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, proc.stdout + proc.stderr
