// The Base64 input policy of the modules that decode key material and
// payment files: what the host's base64.b64decode would accept, read without
// copying where the host allows it.
#pragma once

#include <string_view>

#include <nanobind/nanobind.h>

#include "crypto/secure_bytes.h"

namespace corvane::host {

namespace nb = nanobind;

// The input bytes of the host's base64.b64decode for `value`: the characters
// of an ASCII-only str, or the bytes of any bytes-like object (a
// non-contiguous one is copied in C order into a buffer wiped on release,
// since key material passes here). Anything else raises what b64decode
// raises: ValueError for a str with non-ASCII characters, TypeError for a
// value of another type. Keeps `value` (and its buffer export, which also
// stops a bytearray from being resized) while alive, so view() stays valid.
class Base64Input {
  public:
    explicit Base64Input(nb::handle value);
    Base64Input(const Base64Input&) = delete;
    Base64Input& operator=(const Base64Input&) = delete;

    std::string_view view() const { return view_; }

    // True when an alphabet character follows a "=" somewhere. Interpreters
    // disagree on such input: some stop at a completed pad sequence, newer
    // ones read on past it. The native decoder serves every other input,
    // where they agree; this one goes to the host's own decoder, so the
    // result is always the running interpreter's.
    bool needs_host_decoder() const;

    // `b64decode(value)` through the host's function (the module's `base64`
    // binding): its result, or its exception.
    nb::object decode_with(nb::handle b64decode) const;

  private:
    // A member, so that the export is released on a throwing constructor too.
    struct Export {
        Py_buffer buffer{};
        bool held = false;
        Export() = default;
        Export(const Export&) = delete;
        Export& operator=(const Export&) = delete;
        ~Export() {
            if (held)
                PyBuffer_Release(&buffer);
        }
    };

    nb::object owner_;
    Export export_;
    crypto::SecureBytes copy_;
    std::string_view view_;
};

} // namespace corvane::host
