"""In-memory stand-in for the parts of the Odoo ORM that the native modules use.

The modules only ever see records that the addon hands them, so the tests run
them against this small ORM instead of a database.  It behaves like Odoo's ORM
for what the modules touch: record sets and their set algebra, field reads with
the singleton check, field assignment, ``create``/``write`` with x2many command
lists, ``search`` with domains (``=``, ``!=``, ``in``, ``not in``, ``&``, ``|``,
dotted paths; ``order``, ``limit``, ``active_test``), ``with_context``/``sudo``, ``env.ref``, ``env._`` and the
``ir.config_parameter`` model.

On top of that the environment keeps a *journal*: every ``create``, ``write``
(field assignment included) and ``unlink`` call, in order, so that a test can
assert exactly what was written.

Declaring a model::

    class Account(orm.Model):
        _name = "corvane.connect.account"
        active = fields.Boolean(default=True)
        account_identifier = fields.Char()
        kav_user_ids = fields.Many2many("corvane.connect.kav.user")

    env = orm.Environment(orm.Registry([Account, ...]))

Deliberate differences from Odoo, all on the strict side so that faults show:
unknown field names in ``create``/``write``/assignment raise ``ValueError``;
setting a non-field public attribute on a record set raises ``AttributeError``;
an x2many command list must hold command tuples (bare ids raise ``TypeError``).
"""

from __future__ import annotations

import copy
import datetime as _dt
import threading
import types
from collections import namedtuple

__all__ = [
    "AccessError",
    "MissingError",
    "UserError",
    "Model",
    "Registry",
    "Environment",
    "Journal",
    "JournalEntry",
    "fields",
    "frozendict",
]


# --------------------------------------------------------------------------
# exceptions (same class hierarchy as Odoo's, as far as the tests care)
# --------------------------------------------------------------------------


class UserError(Exception):
    pass


class AccessError(UserError):
    pass


class MissingError(UserError):
    pass


class frozendict(dict):
    """Read-only dict, as Odoo uses for ``env.context``."""

    def _readonly(self, *args, **kwargs):
        raise NotImplementedError("'frozendict' object is immutable")

    __setitem__ = __delitem__ = clear = pop = popitem = setdefault = update = _readonly

    def __hash__(self):
        return hash(frozenset((k, repr(v)) for k, v in self.items()))


# --------------------------------------------------------------------------
# fields
# --------------------------------------------------------------------------

_UNSET = object()


class Field:
    """Base of all field types.  ``name`` and ``model_name`` are set when the
    model class is registered."""

    type = None
    relational = False

    def __init__(self, string=None, default=_UNSET, compute=None, **kwargs):
        self.string = string
        self.default = default
        self.compute = compute
        self.name = None
        self.model_name = None
        self.extra = kwargs

    def __repr__(self):
        return f"<{type(self).__name__} {self.model_name}.{self.name}>"

    # value conversions -------------------------------------------------
    def to_cache(self, value, record):
        """Convert a value given to create/write into what is stored."""
        return value

    def to_record(self, stored, env):
        """Convert a stored value (None when unset) into what a read returns."""
        return False if stored is None else stored

    def empty_value(self, env):
        return self.to_record(None, env)

    def default_value(self, model):
        if self.default is _UNSET:
            return _UNSET
        if callable(self.default):
            return self.default(model)
        return copy.deepcopy(self.default)

    # descriptor ----------------------------------------------------------
    def __get__(self, records, owner=None):
        if records is None:
            return self
        return records._read_field(self)

    def __set__(self, records, value):
        records.write({self.name: value})


class Char(Field):
    type = "char"

    def to_cache(self, value, record):
        if value is None or value is False:
            return None
        if isinstance(value, bytes):
            return value.decode()
        return str(value)


class Text(Char):
    type = "text"


class Integer(Field):
    type = "integer"

    def to_cache(self, value, record):
        return int(value or 0)

    def to_record(self, stored, env):
        return 0 if stored is None else stored


class Float(Field):
    type = "float"

    def to_cache(self, value, record):
        return float(value or 0.0)

    def to_record(self, stored, env):
        return 0.0 if stored is None else stored


class Boolean(Field):
    type = "boolean"

    def to_cache(self, value, record):
        return bool(value)


class Datetime(Field):
    """Naive date-time; a string is parsed in the server format
    ``%Y-%m-%d %H:%M:%S`` (optionally with a fraction).  Aware values are
    refused, as Odoo does."""

    type = "datetime"

    def to_cache(self, value, record):
        if not value:
            return None
        if isinstance(value, _dt.datetime):
            if value.tzinfo is not None:
                raise ValueError(f"Datetime field expects a naive datetime: {value}")
            return value
        if isinstance(value, _dt.date):
            return _dt.datetime.combine(value, _dt.time.min)
        if isinstance(value, str):
            fmt = "%Y-%m-%d %H:%M:%S.%f" if "." in value else "%Y-%m-%d %H:%M:%S"
            if len(value) == 10:
                fmt = "%Y-%m-%d"
            return _dt.datetime.strptime(value, fmt)
        raise TypeError(f"Datetime field cannot store {value!r}")


class Json(Field):
    """Keeps any JSON-like value as given (a deep copy of it)."""

    type = "json"

    def to_cache(self, value, record):
        if value is None or value is False:
            return None
        return copy.deepcopy(value)

    def to_record(self, stored, env):
        return False if stored is None else copy.deepcopy(stored)


class Binary(Field):
    """Base64 content; stored and read as bytes like Odoo's binary fields."""

    type = "binary"

    def to_cache(self, value, record):
        if value is None or value is False:
            return None
        if isinstance(value, str):
            return value.encode()
        if isinstance(value, (bytes, bytearray, memoryview)):
            return bytes(value)
        raise TypeError(f"Binary field cannot store {value!r}")


class _Relational(Field):
    relational = True

    def __init__(self, comodel_name, string=None, **kwargs):
        super().__init__(string=string, **kwargs)
        self.comodel_name = comodel_name

    def empty_value(self, env):
        return env[self.comodel_name]


class Many2one(_Relational):
    type = "many2one"

    def to_cache(self, value, record):
        if value is None or value is False:
            return None
        if isinstance(value, BaseModel):
            if value._name != self.comodel_name:
                raise ValueError(
                    f"Wrong value for {self.model_name}.{self.name}: {value!r}"
                )
            if len(value) > 1:
                raise ValueError(
                    f"Wrong value for {self.model_name}.{self.name}: {value!r}"
                )
            return value.id or None
        if isinstance(value, bool) or not isinstance(value, int):
            raise ValueError(f"Wrong value for {self.model_name}.{self.name}: {value!r}")
        return value

    def to_record(self, stored, env):
        comodel = env[self.comodel_name]
        if stored is None or not env._store.exists(self.comodel_name, stored):
            return comodel
        return comodel.browse(stored)


class One2many(_Relational):
    """Inverse view of a many2one of the comodel."""

    type = "one2many"

    def __init__(self, comodel_name, inverse_name, string=None, **kwargs):
        super().__init__(comodel_name, string=string, **kwargs)
        self.inverse_name = inverse_name


class Many2many(_Relational):
    """Links kept in a relation table shared by both sides: two Many2many
    fields with the same relation (the default one is derived from the two
    models like Odoo does) are two views of one set of links."""

    type = "many2many"

    def __init__(self, comodel_name, relation=None, column1=None, column2=None, string=None, **kwargs):
        super().__init__(comodel_name, string=string, **kwargs)
        self.relation = relation
        self.column1 = column1
        self.column2 = column2

    def setup(self):
        own = self.model_name.replace(".", "_")
        other = self.comodel_name.replace(".", "_")
        if self.relation is None:
            first, second = sorted([own, other])
            self.relation = f"{first}_{second}_rel"
        if self.column1 is None:
            self.column1 = f"{own}_id"
        if self.column2 is None:
            self.column2 = f"{other}_id"
        if self.column1 == self.column2:
            raise ValueError(f"{self!r}: column1 and column2 must differ")


fields = types.SimpleNamespace(
    Char=Char,
    Text=Text,
    Integer=Integer,
    Float=Float,
    Boolean=Boolean,
    Datetime=Datetime,
    Json=Json,
    Binary=Binary,
    Many2one=Many2one,
    One2many=One2many,
    Many2many=Many2many,
)


# --------------------------------------------------------------------------
# journal
# --------------------------------------------------------------------------


class JournalEntry(namedtuple("JournalEntry", "op model ids vals")):
    """One ORM call: ``op`` is "create", "write" or "unlink"; ``ids`` a tuple
    of record ids (the new id for a create); ``vals`` a shallow copy of the
    values as the caller passed them ({} for unlink).  Compares equal to the
    plain 4-tuple.  Extra attributes: ``su`` (superuser mode of the caller's
    environment) and ``context`` (its context)."""


class Journal(list):
    """List of :class:`JournalEntry`, in call order, with filters."""

    def _add(self, op, model, ids, vals, env):
        entry = JournalEntry(op, model, tuple(ids), dict(vals))
        entry.su = env.su
        entry.context = env.context
        self.append(entry)
        return entry

    def of(self, op=None, model=None):
        """Entries filtered by operation and/or model name."""
        return [e for e in self if (op is None or e.op == op) and (model is None or e.model == model)]

    def creates(self, model=None):
        return self.of("create", model)

    def writes(self, model=None):
        return self.of("write", model)

    def written_fields(self, model=None):
        """Field names written (by write calls) in order of first appearance."""
        names = []
        for entry in self.writes(model):
            for name in entry.vals:
                if name not in names:
                    names.append(name)
        return names


# --------------------------------------------------------------------------
# storage shared by all environments of one "database"
# --------------------------------------------------------------------------


class _Store:
    def __init__(self, registry):
        self.registry = registry
        self.tables = {name: {} for name in registry}
        self.sequences = {name: 0 for name in registry}
        self.relations = {}  # relation name -> list of frozenset({(col, id), (col, id)})
        self.xmlids = {}
        self.journal = Journal()
        self.translations = {}
        self.translated = []
        self.addon = types.SimpleNamespace()
        # record changes are serialised, so that parallel calls on one world
        # (free-threaded interpreter) neither reuse an id nor tear a journal
        self.lock = threading.RLock()

    def exists(self, model, rid):
        return rid in self.tables[model]

    # many2many links --------------------------------------------------
    def links(self, field, own_id):
        rel = self.relations.get(field.relation, [])
        out = []
        for link in rel:
            d = dict(link)
            if d.get(field.column1) == own_id:
                out.append(d[field.column2])
        return out

    def link(self, field, own_id, other_id):
        rel = self.relations.setdefault(field.relation, [])
        key = frozenset({(field.column1, own_id), (field.column2, other_id)})
        if key not in rel:
            rel.append(key)

    def unlink_pair(self, field, own_id, other_id):
        rel = self.relations.get(field.relation, [])
        key = frozenset({(field.column1, own_id), (field.column2, other_id)})
        if key in rel:
            rel.remove(key)


class Registry:
    """The set of model classes of one database.  Each registered class is
    subclassed per registry, so patching a model method in one registry
    (``registry["model"].method = ...``) does not leak into another."""

    def __init__(self, model_classes=()):
        self.models = {}
        for cls in _BUILTIN_MODELS:
            self.add(cls)
        for cls in model_classes:
            self.add(cls)
        self.setup()

    def add(self, cls):
        name = cls._name
        if not name:
            raise ValueError(f"{cls!r} has no _name")
        base = self.models.get(name)
        bases = (cls,) if base is None or issubclass(cls, base) else (cls, base)
        self.models[name] = type(cls.__name__, bases, {"_name": name})
        self._ready = False

    def setup(self):
        for name, cls in self.models.items():
            flds = {}
            for klass in reversed(cls.__mro__):
                for attr, value in vars(klass).items():
                    if isinstance(value, Field):
                        flds[attr] = value
            flds = {"id": _ID_FIELD, **{k: v for k, v in flds.items() if k != "id"}}
            for attr, fld in flds.items():
                if fld is _ID_FIELD:
                    continue
                if fld.model_name not in (None, name):
                    # a field object shared by two models: give each its own copy
                    fld = copy.copy(fld)
                    setattr(cls, attr, fld)
                    flds[attr] = fld
                fld.name = attr
                fld.model_name = name
            cls._fields = flds
        for name, cls in self.models.items():
            for fld in cls._fields.values():
                if fld.relational and fld.comodel_name not in self.models:
                    raise ValueError(f"{fld!r}: unknown comodel {fld.comodel_name!r}")
                if isinstance(fld, Many2many):
                    fld.setup()
                if isinstance(fld, One2many):
                    inv = self.models[fld.comodel_name]._fields.get(fld.inverse_name)
                    if not isinstance(inv, Many2one) or inv.comodel_name != name:
                        raise ValueError(f"{fld!r}: inverse {fld.inverse_name!r} is not a many2one to {name}")
        # both sides of a relation must agree on its columns
        seen = {}
        for cls in self.models.values():
            for fld in cls._fields.values():
                if isinstance(fld, Many2many):
                    seen.setdefault(fld.relation, []).append(fld)
        for rel, flds in seen.items():
            for a in flds:
                for b in flds:
                    if a is b:
                        continue
                    same = (a.model_name, a.comodel_name, a.column1, a.column2) == (
                        b.model_name, b.comodel_name, b.column1, b.column2)
                    mirror = (a.model_name, a.comodel_name, a.column1, a.column2) == (
                        b.comodel_name, b.model_name, b.column2, b.column1)
                    if not (same or mirror):
                        raise ValueError(f"{a!r} and {b!r} share relation {rel!r} with other columns")
        self._ready = True

    def __getitem__(self, name):
        return self.models[name]

    def __contains__(self, name):
        return name in self.models

    def __iter__(self):
        return iter(self.models)


class _IdField(Field):
    type = "integer"

    def __get__(self, records, owner=None):
        if records is None:
            return self
        if not records._ids:
            return False
        records.ensure_one()
        return records._ids[0]

    def __set__(self, records, value):
        raise AttributeError("the id of a record cannot be assigned")


_ID_FIELD = _IdField()
_ID_FIELD.name = "id"


# --------------------------------------------------------------------------
# environment
# --------------------------------------------------------------------------


class Environment:
    """One view (context, superuser flag) on a store of records.

    ``Environment(registry)`` makes a new empty database; ``with_context`` and
    ``sudo`` derive environments that share its records, journal,
    translations, external ids and the ``addon`` namespace (a free
    ``SimpleNamespace`` where a world puts the addon-side knobs)."""

    def __init__(self, registry=None, context=None, su=False, translations=None, _store=None):
        if _store is None:
            if registry is None:
                registry = Registry()
            elif not isinstance(registry, Registry):
                registry = Registry(registry)
            _store = _Store(registry)
        self._store = _store
        self.context = frozendict(context or {})
        self.su = su
        if translations:
            self._store.translations.update(translations)

    # derived environments ------------------------------------------------
    def __call__(self, context=None, su=None):
        return Environment(
            context=self.context if context is None else context,
            su=self.su if su is None else su,
            _store=self._store,
        )

    @property
    def registry(self):
        return self._store.registry

    @property
    def journal(self):
        return self._store.journal

    @property
    def translations(self):
        """msgid -> translated text, used by ``env._``."""
        return self._store.translations

    @property
    def translated(self):
        """Every source text that went through ``env._``, in call order."""
        return self._store.translated

    @property
    def addon(self):
        return self._store.addon

    def __getitem__(self, model_name):
        cls = self._store.registry[model_name]
        return cls(self, ())

    def __contains__(self, model_name):
        return model_name in self._store.registry

    def __eq__(self, other):
        return (
            isinstance(other, Environment)
            and other._store is self._store
            and other.su == self.su
            and dict(other.context) == dict(self.context)
        )

    def __hash__(self):
        return hash((id(self._store), self.su))

    def __repr__(self):
        return f"<Environment su={self.su} context={dict(self.context)!r}>"

    # translation ----------------------------------------------------------
    def _(self, source, *args, **kwargs):
        self._store.translated.append(source)
        text = self._store.translations.get(source, source)
        if args or kwargs:
            text = text % (args or kwargs)
        return text

    # external identifiers ---------------------------------------------------
    def ref(self, xml_id, raise_if_not_found=True):
        target = self._store.xmlids.get(xml_id)
        if target is not None:
            record = self[target[0]].browse(target[1])
            if record.exists():
                return record
        if raise_if_not_found:
            raise ValueError(f"External ID not found in the system: {xml_id}")
        return None

    def set_xmlid(self, xml_id, record):
        """Register ``record`` (one record) under the external id ``xml_id``
        ("module.name")."""
        record.ensure_one()
        if "." not in xml_id:
            raise ValueError(f"external id must be 'module.name': {xml_id!r}")
        self._store.xmlids[xml_id] = (record._name, record.id)
        return record


# --------------------------------------------------------------------------
# record sets
# --------------------------------------------------------------------------


def _is_active_test(env):
    return env.context.get("active_test", True)


class BaseModel:
    """A record set: an environment and an ordered tuple of ids."""

    _name = None
    _order = "id"
    _description = None
    _fields = {}

    __slots__ = ("env", "_ids")

    id = _ID_FIELD

    def __init__(self, env, ids):
        object.__setattr__(self, "env", env)
        object.__setattr__(self, "_ids", tuple(ids))

    # basic protocol ----------------------------------------------------------
    @property
    def ids(self):
        return list(self._ids)

    def browse(self, ids=()):
        if ids is None or ids is False:
            ids = ()
        elif isinstance(ids, int):
            ids = (ids,)
        return type(self)(self.env, tuple(ids))

    def _with_ids(self, ids):
        return type(self)(self.env, ids)

    def __len__(self):
        return len(self._ids)

    def __bool__(self):
        return bool(self._ids)

    def __iter__(self):
        for rid in self._ids:
            yield self._with_ids((rid,))

    def __repr__(self):
        return f"{self._name}{self._ids!r}"

    def __hash__(self):
        return hash((self._name, frozenset(self._ids)))

    def __eq__(self, other):
        if not isinstance(other, BaseModel):
            return NotImplemented
        if self._name != other._name:
            return False
        return set(self._ids) == set(other._ids)

    def __ne__(self, other):
        result = self.__eq__(other)
        return result if result is NotImplemented else not result

    def _check_same(self, other, op):
        if not isinstance(other, BaseModel) or other._name != self._name:
            raise TypeError(f"unsupported operand types in: {self!r} {op} {other!r}")

    def __add__(self, other):
        self._check_same(other, "+")
        return self._with_ids(self._ids + other._ids)

    def __sub__(self, other):
        self._check_same(other, "-")
        drop = set(other._ids)
        return self._with_ids(tuple(i for i in self._ids if i not in drop))

    def __or__(self, other):
        self._check_same(other, "|")
        return self._with_ids(tuple(dict.fromkeys(self._ids + other._ids)))

    def __contains__(self, item):
        if isinstance(item, BaseModel) and item._name == self._name:
            return len(item) == 1 and item._ids[0] in self._ids
        if isinstance(item, str):
            return item in self._fields
        if isinstance(item, BaseModel):
            raise TypeError(f"cannot compare different models: '{self._name}()' and '{item._name}()'")
        raise TypeError(f"unsupported operand type(s) for \"in\": '{self._name}()' and '{type(item)}'")

    def __getitem__(self, key):
        if isinstance(key, str):
            if key not in self._fields:
                raise KeyError(f"Invalid field {key!r} on model {self._name!r}")
            return self._fields[key].__get__(self)
        if isinstance(key, slice):
            return self._with_ids(self._ids[key])
        return self._with_ids((self._ids[key],))

    def __setitem__(self, key, value):
        if key not in self._fields:
            raise KeyError(f"Invalid field {key!r} on model {self._name!r}")
        self.write({key: value})

    def __setattr__(self, name, value):
        fld = self._fields.get(name)
        if fld is not None:
            fld.__set__(self, value)
        elif name.startswith("_"):
            object.__setattr__(self, name, value)
        else:
            raise AttributeError(f"{self._name} has no field {name!r}")

    def ensure_one(self):
        if len(self._ids) != 1:
            raise ValueError(f"Expected singleton: {self!r}")
        return self

    def exists(self):
        table = self.env._store.tables[self._name]
        return self._with_ids(tuple(i for i in self._ids if i in table))

    def with_env(self, env):
        return type(self)(env, self._ids)

    def with_context(self, *args, **kwargs):
        context = dict(args[0]) if args else dict(self.env.context)
        context.update(kwargs)
        return self.with_env(self.env(context=context))

    def sudo(self, flag=True):
        return self.with_env(self.env(su=bool(flag)))

    # reading ---------------------------------------------------------------
    def _row(self):
        rid = self._ids[0]
        row = self.env._store.tables[self._name].get(rid)
        if row is None:
            raise MissingError(f"Record does not exist or has been deleted. ({self._name}({rid},))")
        return row

    def _read_field(self, fld):
        if not self._ids:
            return fld.empty_value(self.env)
        self.ensure_one()
        row = self._row()
        if isinstance(fld, One2many):
            return self._read_one2many(fld)
        if isinstance(fld, Many2many):
            return self._read_many2many(fld)
        stored = row.get(fld.name)
        if stored is None and fld.compute:
            return getattr(self, fld.compute)()
        return fld.to_record(stored, self.env)

    def _visible(self, comodel, ids):
        """Order ids like the comodel's default order; drop deleted records
        and, under active_test, archived ones."""
        recs = self.env[comodel].browse(ids).exists()
        if "active" in recs._fields and _is_active_test(self.env):
            recs = recs._with_ids(tuple(r.id for r in recs if r._row().get("active")))
        return recs._sorted_by(recs._order)

    def _read_one2many(self, fld):
        table = self.env._store.tables[fld.comodel_name]
        own = self._ids[0]
        ids = [rid for rid, row in table.items() if row.get(fld.inverse_name) == own]
        return self._visible(fld.comodel_name, ids)

    def _read_many2many(self, fld):
        ids = self.env._store.links(fld, self._ids[0])
        return self._visible(fld.comodel_name, ids)

    def mapped(self, func):
        if isinstance(func, str):
            recs = self
            for name in func.split("."):
                fld = recs._fields[name]
                if fld.relational:
                    out = recs.env[fld.comodel_name]
                    for rec in recs:
                        out = out | rec[name]
                    recs = out
                else:
                    return [rec[name] for rec in recs]
            return recs
        values = [func(rec) for rec in self]
        if values and all(isinstance(v, BaseModel) for v in values):
            out = values[0].browse()
            for v in values:
                out = out | v
            return out
        return values

    def filtered(self, func):
        if isinstance(func, str):
            name = func
            func = lambda rec: any(rec.mapped(name))  # noqa: E731
        return self._with_ids(tuple(rec._ids[0] for rec in self if func(rec)))

    def sorted(self, key=None, reverse=False):
        """Like Odoo: ``key`` is a function, an order text, or None for the
        model's default order."""
        if key is None or isinstance(key, str):
            recs = self._sorted_by(key or self._order)
            return recs._with_ids(tuple(reversed(recs._ids))) if reverse else recs
        ordered = sorted(self, key=key, reverse=reverse)
        return self._with_ids(tuple(r._ids[0] for r in ordered))

    def _sorted_by(self, order):
        ids = list(self._ids)
        for fname, desc in reversed(_parse_order(order, self)):
            if fname == "id":
                keyf = lambda rid: rid  # noqa: E731
            else:
                table = self.env._store.tables[self._name]

                def keyf(rid, fname=fname):
                    value = table.get(rid, {}).get(fname)
                    # NULLs sort after every value in ascending order
                    return (value is None, value if value is not None else 0)

            ids.sort(key=keyf, reverse=desc)
        return self._with_ids(tuple(ids))

    # writing ---------------------------------------------------------------
    def _check_vals(self, vals):
        if not isinstance(vals, dict):
            raise TypeError(f"values must be a dict, got {type(vals).__name__}")
        for name in vals:
            if name not in self._fields or name == "id":
                raise ValueError(f"Invalid field {name!r} on model {self._name!r}")

    def create(self, vals_list):
        with self.env._store.lock:
            return self._create(vals_list)

    def _create(self, vals_list):
        single = isinstance(vals_list, dict)
        if single:
            vals_list = [vals_list]
        created = []
        store = self.env._store
        for vals in vals_list:
            self._check_vals(vals)
            store.sequences[self._name] += 1
            rid = store.sequences[self._name]
            store.journal._add("create", self._name, (rid,), vals, self.env)
            store.tables[self._name][rid] = {}
            record = self._with_ids((rid,))
            full = {}
            for name, fld in self._fields.items():
                if name == "id" or name in vals:
                    continue
                default = fld.default_value(self)
                if default is not _UNSET:
                    full[name] = default
            full.update(vals)
            record._apply(full)
            created.append(rid)
        return self._with_ids(tuple(created))

    def write(self, vals):
        with self.env._store.lock:
            return self._write(vals)

    def _write(self, vals):
        self._check_vals(vals)
        for rec in self:
            rec._row()  # a deleted record cannot be written
        self.env._store.journal._add("write", self._name, self._ids, vals, self.env)
        self._apply(vals)
        return True

    def _apply(self, vals):
        store = self.env._store
        for name, value in vals.items():
            fld = self._fields[name]
            for rec in self:
                row = rec._row()
                if isinstance(fld, One2many):
                    rec._write_one2many(fld, value)
                elif isinstance(fld, Many2many):
                    rec._write_many2many(fld, value)
                else:
                    row[name] = fld.to_cache(value, rec)
        return store

    def unlink(self):
        with self.env._store.lock:
            return self._unlink()

    def _unlink(self):
        store = self.env._store
        store.journal._add("unlink", self._name, self._ids, {}, self.env)
        for rid in self._ids:
            store.tables[self._name].pop(rid, None)
        gone = set(self._ids)
        for cls in store.registry.models.values():
            for fld in cls._fields.values():
                if not isinstance(fld, Many2many) or fld.relation not in store.relations:
                    continue
                links = store.relations[fld.relation]
                if fld.model_name == self._name:
                    links[:] = [l for l in links if dict(l).get(fld.column1) not in gone]
                if fld.comodel_name == self._name:
                    links[:] = [l for l in links if dict(l).get(fld.column2) not in gone]
        return True

    # x2many commands -------------------------------------------------------
    def _commands(self, fld, value):
        if isinstance(value, BaseModel):
            if value._name != fld.comodel_name:
                raise ValueError(f"Wrong value for {fld.model_name}.{fld.name}: {value!r}")
            return [(6, 0, list(value._ids))]
        if value is None or value is False:
            return [(5,)]
        if not isinstance(value, (list, tuple)):
            raise TypeError(f"{fld!r} takes a record set or a command list, got {value!r}")
        for command in value:
            if not isinstance(command, (list, tuple)) or not command:
                raise TypeError(f"{fld!r}: not an x2many command: {command!r}")
        return value

    def _write_many2many(self, fld, value):
        store = self.env._store
        own = self._ids[0]
        comodel = self.env[fld.comodel_name]
        old = list(self._read_many2many(fld)._ids)
        new = list(old)
        for command in self._commands(fld, value):
            code = command[0]
            if code == 0:
                new.append(comodel.create(command[2])._ids[0])
            elif code == 1:
                comodel.browse(command[1]).write(command[2])
            elif code == 2:
                comodel.browse(command[1]).unlink()
                new = [i for i in new if i != command[1]]
            elif code == 3:
                new = [i for i in new if i != command[1]]
            elif code == 4:
                if command[1] not in new:
                    new.append(command[1])
            elif code == 5:
                new = []
            elif code == 6:
                new = list(dict.fromkeys(command[2]))
            else:
                raise ValueError(f"{fld!r}: unknown command {command!r}")
        # links to records hidden from the read (archived) are left alone
        for rid in old:
            if rid not in new:
                store.unlink_pair(fld, own, rid)
        for rid in new:
            if rid not in old:
                if not isinstance(rid, int) or isinstance(rid, bool):
                    raise ValueError(f"{fld!r}: bad id {rid!r}")
                store.link(fld, own, rid)

    def _write_one2many(self, fld, value):
        own = self._ids[0]
        comodel = self.env[fld.comodel_name]
        inverse = fld.inverse_name
        current = self._read_one2many(fld)
        for command in self._commands(fld, value):
            code = command[0]
            if code == 0:
                comodel.create({**command[2], inverse: own})
            elif code == 1:
                comodel.browse(command[1]).write(command[2])
            elif code == 2:
                comodel.browse(command[1]).unlink()
            elif code == 3:
                comodel.browse(command[1]).write({inverse: False})
            elif code == 4:
                comodel.browse(command[1]).write({inverse: own})
            elif code == 5:
                if current:
                    current.write({inverse: False})
            elif code == 6:
                keep = set(command[2])
                drop = current.filtered(lambda r: r.id not in keep)
                if drop:
                    drop.write({inverse: False})
                add = comodel.browse([i for i in dict.fromkeys(command[2]) if i not in current._ids])
                if add:
                    add.write({inverse: own})
            else:
                raise ValueError(f"{fld!r}: unknown command {command!r}")
            current = self._read_one2many(fld)

    # searching ---------------------------------------------------------------
    def search(self, domain=(), limit=None, order=None):
        domain = list(domain or [])
        if "active" in self._fields and _is_active_test(self.env):
            if not any(isinstance(l, (list, tuple)) and l[0] == "active" for l in domain):
                domain = ["&", ("active", "=", True)] + domain if domain else [("active", "=", True)]
        table = self.env._store.tables[self._name]
        matcher = _compile_domain(domain, self)
        ids = tuple(rid for rid in table if matcher(self._with_ids((rid,))))
        records = self._with_ids(ids)._sorted_by(order or self._order)
        ids = records._ids
        if limit is not None:
            ids = ids[:limit]
        return self._with_ids(ids)


class Model(BaseModel):
    """Base class of declared models."""

    __slots__ = ()


def _parse_order(order, records):
    out = []
    for part in (order or "id").split(","):
        words = part.split()
        if not words:
            continue
        name = words[0]
        if name not in records._fields:
            raise ValueError(f"Invalid field {name!r} in order {order!r}")
        direction = words[1].lower() if len(words) > 1 else "asc"
        if direction not in ("asc", "desc") or len(words) > 2:
            raise ValueError(f"Invalid order {order!r}")
        out.append((name, direction == "desc"))
    return out


# --------------------------------------------------------------------------
# domains
# --------------------------------------------------------------------------

_NEGATIVE = {"!=": "=", "not in": "in"}
_OPERATORS = {"=", "!=", "in", "not in"}


def _compile_domain(domain, model):
    """Turn a domain (prefix notation with '&', '|', implicit '&')
    into a predicate on one record."""
    items = list(domain)
    pos = 0

    def parse():
        nonlocal pos
        if pos >= len(items):
            raise ValueError(f"Invalid domain {domain!r}")
        item = items[pos]
        pos += 1
        if item == "&":
            a, b = parse(), parse()
            return lambda r: a(r) and b(r)
        if item == "|":
            a, b = parse(), parse()
            return lambda r: a(r) or b(r)
        if not isinstance(item, (list, tuple)) or len(item) != 3:
            raise ValueError(f"Invalid domain term {item!r}")
        return _compile_leaf(item, model)

    terms = []
    while pos < len(items):
        terms.append(parse())
    return lambda r: all(t(r) for t in terms)


def _to_ids(value):
    if isinstance(value, BaseModel):
        return list(value._ids)
    if isinstance(value, (list, tuple, set, frozenset)):
        out = []
        for v in value:
            out.extend(_to_ids(v) if isinstance(v, BaseModel) else [v])
        return out
    return [value]


def _compare(stored, op, value):
    if op == "=":
        return stored == value
    return stored in value  # "in"


def _compile_leaf(leaf, model):
    path, op, value = leaf
    if op not in _OPERATORS:
        raise ValueError(f"Invalid operator {op!r} in {leaf!r}")
    names = path.split(".")
    head = names[0]
    if head not in model._fields:
        raise ValueError(f"Invalid field {head!r} on model {model._name!r} in leaf {leaf!r}")
    fld = model._fields[head]
    if op in ("in", "not in") and not isinstance(value, (list, tuple, set, frozenset, BaseModel)):
        raise ValueError(f"{op!r} needs a list of values in {leaf!r}")

    if len(names) > 1:
        if not fld.relational:
            raise ValueError(f"{head!r} is not relational in {leaf!r}")
        rest = (".".join(names[1:]), op, value)
        env = model.env
        if isinstance(fld, Many2one):
            # like Odoo, the path through a many2one sees archived records too
            sub = env[fld.comodel_name].with_context(active_test=False)
        else:
            sub = env[fld.comodel_name]

        found = []

        def match_path(rec):
            if not found:
                found.append(set(sub.search([rest])._ids))
            return any(i in found[0] for i in rec[head]._ids)

        return match_path

    if fld.relational:
        ids = _to_ids(value)
        for v in ids:
            if v is not False and v is not None and (isinstance(v, bool) or not isinstance(v, int)):
                raise ValueError(f"only record ids are supported on {head!r} in {leaf!r}")
        positive = _NEGATIVE.get(op, op)
        want_empty = value is False or value is None or ids == [False] or ids == [None]
        store = model.env._store

        def linked(rec):
            if isinstance(fld, Many2one):
                stored = rec._row().get(head)
                return [] if stored is None else [stored]
            if isinstance(fld, Many2many):
                return store.links(fld, rec._ids[0])
            table = store.tables[fld.comodel_name]
            return [rid for rid, row in table.items() if row.get(fld.inverse_name) == rec._ids[0]]

        def match_rel(rec):
            current = linked(rec)
            if want_empty:
                hit = not current
            else:
                hit = any(i in ids for i in current)
            return hit if positive == op else not hit

        return match_rel

    if head == "id":
        ids = _to_ids(value)

        def match_id(rec):
            hit = rec._ids[0] in ids
            return hit if op in ("=", "in") else not hit

        return match_id

    def match(rec):
        stored = rec[head]
        if op in _NEGATIVE:
            return not _compare(stored, _NEGATIVE[op], value)
        return _compare(stored, op, value)

    return match


# --------------------------------------------------------------------------
# built-in models
# --------------------------------------------------------------------------


class IrConfigParameter(Model):
    """System parameters.  Like Odoo's, reserved to the superuser: the addon
    reads them through ``sudo()``; a read or write without it raises
    :class:`AccessError` so that a missing ``sudo`` shows in the tests."""

    _name = "ir.config_parameter"
    key = Char()
    value = Text()

    def _check_su(self):
        if not self.env.su:
            raise AccessError("ir.config_parameter is only accessible in superuser mode (sudo)")

    def get_param(self, key, default=False):
        self._check_su()
        found = self.search([("key", "=", key)], limit=1)
        return found.value if found else default

    def set_param(self, key, value):
        """Set (or, with a false value, delete) a parameter; returns the old value."""
        self._check_su()
        found = self.search([("key", "=", key)], limit=1)
        old = found.value if found else False
        if value is False or value is None:
            if found:
                found.unlink()
        elif found:
            found.write({"value": str(value)})
        else:
            self.create({"key": key, "value": str(value)})
        return old


_BUILTIN_MODELS = [IrConfigParameter]
