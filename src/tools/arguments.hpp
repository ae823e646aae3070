// Keyword arguments of the companion's entry points. Python has validated every option once
// (morvane_tools.options); this side only converts them, with the reader's conversion rules.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "binding/convert.hpp"
#include "package/pipeline.hpp"
#include "tools/binding.hpp"

namespace morvane::tools {

// One call's bound arguments: the first is positional (a path or a stream), the rest keywords.
class Arguments {
 public:
  Arguments(const char* name, std::span<const char* const> params, PyObject* const* args,
            Py_ssize_t nargs, PyObject* kwnames)
      : params_(params) {
    const py::Signature sig{name, params, 1, 1};
    py::bind_arguments(sig, args, nargs, kwnames, bound_);
  }
  PyObject* first() const noexcept { return bound_[0]; }
  // The argument of `param`, or null when it was not given.
  PyObject* get(const char* param) const noexcept;
  bool flag(const char* param, bool fallback) const;
  std::optional<std::int64_t> optional_int(const char* param) const;
  std::optional<double> optional_double(const char* param) const;
  unsigned threads() const;

 private:
  std::span<const char* const> params_;
  PyObject* bound_[16] = {};
};

IncludeFlags include_flags(const Arguments& a);

// The read context of a call: the companion's tolerant policy with the call's bad-block and
// checksum rules, its inflater ("auto" or "zlib") and its threads. Borrows `report`.
ReadContext read_context(const Arguments& a, ReadReport* report);

}  // namespace morvane::tools
