// PEM block reader and writer.
#include "pem.h"

#include "base64.h"
#include "error.h"

namespace corvane::crypto {
namespace {

constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// Splits `text` into lines without their line ends.
class Lines {
  public:
    explicit Lines(std::string_view text) : rest_(text) {}
    bool next(std::string_view& line) {
        if (done_)
            return false;
        std::size_t nl = rest_.find('\n');
        if (nl == std::string_view::npos) {
            line = rest_;
            done_ = true;
        } else {
            line = rest_.substr(0, nl);
            rest_.remove_prefix(nl + 1);
        }
        return true;
    }

  private:
    std::string_view rest_;
    bool done_ = false;
};

// "-----BEGIN X-----" gives X.
bool boundary_label(std::string_view line, std::string_view prefix, std::string_view& label) {
    line = trim(line);
    if (line.size() < prefix.size() + kDashes.size() || line.substr(0, prefix.size()) != prefix ||
        line.substr(line.size() - kDashes.size()) != kDashes)
        return false;
    label = line.substr(prefix.size(), line.size() - prefix.size() - kDashes.size());
    return true;
}

} // namespace

bool find_pem_block(std::string_view text, bool (*accept)(std::string_view), PemBlock& out) {
    Lines lines(text);
    std::string_view line;
    while (lines.next(line)) {
        std::string_view label;
        if (!boundary_label(line, kBegin, label) || !accept(label))
            continue;
        PemBlock block;
        block.label = std::string(label);
        SecureString body;
        bool in_headers = true;
        bool closed = false;
        while (lines.next(line)) {
            std::string_view end_label;
            if (boundary_label(line, kEnd, end_label)) {
                closed = end_label == label;
                break;
            }
            std::string_view t = trim(line);
            if (in_headers) {
                std::size_t colon = t.find(':');
                if (colon != std::string_view::npos) {
                    block.headers.emplace_back(std::string(trim(t.substr(0, colon))),
                                               std::string(trim(t.substr(colon + 1))));
                    continue;
                }
                in_headers = false;
                if (t.empty())
                    continue;
            }
            body.append(t);
        }
        if (!closed)
            return false;
        // A PEM body is strict Base64 apart from line breaks: anything the
        // lenient decoder would skip means the block is damaged. That holds
        // for data after the padding (which the lenient decoder drops
        // silently) and for a pad anywhere but in the last group, too.
        std::size_t symbols = 0;
        std::size_t pads = 0;
        for (char c : body) {
            if (c == ' ' || c == '\t')
                continue;
            bool data = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                        (c >= '0' && c <= '9') || c == '+' || c == '/';
            if (c == '=')
                ++pads;
            else if (!data || pads != 0)
                throw Error(ErrorKind::InvalidValue, "PEM body is not Base64");
            ++symbols;
        }
        if (pads > 2 || symbols % 4 != 0)
            throw Error(ErrorKind::InvalidValue, "PEM body is not Base64");
        try {
            block.der = base64_decode_secret(std::string_view(body.data(), body.size()));
        } catch (const Error&) {
            throw Error(ErrorKind::InvalidValue, "PEM body is not Base64");
        }
        out = std::move(block);
        return true;
    }
    return false;
}

std::string write_pem(std::string_view label, const unsigned char* der, std::size_t size) {
    std::string b64 = base64_encode(der, size);
    std::string out;
    out.reserve(b64.size() + b64.size() / 64 + 2 * label.size() + 40);
    out.append(kBegin).append(label).append(kDashes).push_back('\n');
    for (std::size_t i = 0; i < b64.size(); i += 64)
        out.append(b64, i, 64).push_back('\n');
    out.append(kEnd).append(label).append(kDashes).push_back('\n');
    return out;
}

} // namespace corvane::crypto
