// The thin layer between the modules' steps and the Python host, one header
// a concern (as nanobind splits its own nb_*.h):
//   host_module.h  the module namespace looked up at call time, parameters,
//                  imports from sibling modules at load
//   host_expr.h    Python-expression semantics: str(), bool(), "+", compare,
//                  `in`, `or False`, `for ... in`
//   host_result.h  the result-dictionary protocol and the logging of refusals
//   host_text.h    str <-> UTF-8, the "must be str" check
//   host_base64.h  the Base64 input policy shared by keys and payments
//   host_errors.h  raising host exceptions; crypto::Error mapped onto them
//
// Every Python name the modules touch is listed where the module declares
// them; nothing callable is cached: a caller that rebinds a module attribute
// sees it take effect.
#pragma once

#include "host_base64.h"
#include "host_errors.h"
#include "host_expr.h"
#include "host_module.h"
#include "host_result.h"
#include "host_text.h"
