// The module side of the host: the module namespace that every call looks
// names up in at call time, the parameters of module functions, and the
// load-time imports from sibling modules.
#pragma once

#include <initializer_list>

#include <nanobind/nanobind.h>

namespace corvane::host {

namespace nb = nanobind;

// A module's globals. Bound functions capture it at module creation and look
// names up on every call, as Python code reads its globals.
class Namespace {
  public:
    explicit Namespace(nb::handle module);

    // globals()[name]; a missing name raises NameError like Python does.
    nb::object operator[](const char* name) const;

  private:
    nb::dict globals_;
};

// A parameter of a module function: any object, None included (nanobind
// refuses None for a plain nb::arg), by position or by this keyword name.
inline auto param(const char* name) {
    return nb::arg(name).none();
}

// Imports `name` relative to the package that module `self` lives in and
// binds each of `names` from it into `self`, as "from .name import a, b"
// does; a missing module or attribute raises ImportError.
void import_from_sibling(nb::module_& self, const char* name,
                         std::initializer_list<const char*> names);

} // namespace corvane::host
