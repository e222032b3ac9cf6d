// Turns OpenSSL's per-thread error queue into one core Error.
#include "error.h"

#include <openssl/err.h>

namespace corvane::crypto {

void throw_openssl_error(ErrorKind kind, const char* what) {
    unsigned long first = ERR_get_error();
    bool out_of_memory = false;
    for (unsigned long e = first; e != 0; e = ERR_get_error()) {
        if (ERR_GET_REASON(e) == ERR_R_MALLOC_FAILURE)
            out_of_memory = true;
    }
    ERR_clear_error();
    if (out_of_memory)
        throw Error(ErrorKind::OutOfMemory, "out of memory");
    std::string message(what);
    if (first != 0) {
        char reason[256];
        ERR_error_string_n(first, reason, sizeof reason);
        message += " (";
        message += reason;
        message += ")";
    }
    throw Error(kind, message);
}

} // namespace corvane::crypto
