// Python-expression semantics for the modules' steps: str(), bool(), "+",
// comparisons, `in`, `or False` and `for ... in`, each as the host itself
// evaluates it, so that collaborators' dunder methods run exactly as they
// would under the Python statement.
#pragma once

#include <initializer_list>

#include <nanobind/nanobind.h>

namespace corvane::host {

namespace nb = nanobind;

// str(value).
inline nb::str text(nb::handle value) {
    return nb::str(value);
}

// bool(value); exceptions of __bool__ propagate.
bool truthy(nb::handle value);

// The concatenation of the given pieces, each str() first. Built with the
// host's own str operations, so any text (lone surrogates included) is kept
// exactly as Python's "+" would keep it.
nb::str concat(std::initializer_list<nb::handle> pieces);

// `for item in iterable`: the host's own iterator, which holds each item
// while the loop body runs; a list changed under the walk behaves as in
// Python (emptied: the walk ends). A range-for over nb::list or nb::dict
// itself walks with borrowed items, by index with an end fixed at the start
// on GIL builds: never where the body runs Python code.
inline nb::iterator each(nb::handle iterable) {
    return nb::iter(iterable);
}

// `a <op> b` as a Python condition: the rich comparison, then bool() of
// what it returned (no identity shortcut: NaN != NaN as in Python).
bool compare(nb::handle a, nb::handle b, int op);

// `item in container`.
bool contains(nb::handle container, nb::handle item);

// `value or False`.
nb::object or_false(nb::handle value);

} // namespace corvane::host
