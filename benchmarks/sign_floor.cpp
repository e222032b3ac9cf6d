// The signing floors: RSASSA-PSS signatures of one message through the same
// crypto core and OpenSSL as the modules, timed without any Python around.
//
//   sign_floor KEY.pem MESSAGE_FILE ITERATIONS [MODE] [THREADS]
//
// MODE "reused" (default): the key is parsed once and every signature reuses
//   it, with the RSA blinding OpenSSL keeps on it after the first signature.
// MODE "per-call": each signature starts from the key's Base64 text, as the
//   modules must (keys are parsed anew for every signature, never kept):
//   Base64 decoding, PEM and key parsing, the signature (with a fresh RSA
//   blinding, which a freshly parsed key has to make) and the Base64 of it.
// THREADS (default 1): that many threads sign at once, each ITERATIONS
//   times, each with its own key; what the machine gives to parallel native
//   work, the reference for the modules' scaling across threads.
//
// Prints the mean wall time of one signature in microseconds, that is the
// elapsed time over the total count of signatures of all threads.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "crypto/base64.h"
#include "crypto/private_key.h"
#include "crypto/pss.h"

namespace crypto = corvane::crypto;

namespace {

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// One signer: everything a thread needs prepared before the clock starts.
class Signer {
  public:
    Signer(const std::string& pem, const std::string& pem_b64, const std::string& message,
           bool per_call)
        : pem_b64_(pem_b64), message_(message), per_call_(per_call) {
        if (!per_call_) {
            key_ = crypto::load_private_key(pem);
            sign(); // the key's first signature makes its blinding; later ones reuse it
        }
    }

    void run(int iterations) {
        for (int i = 0; i < iterations; ++i)
            sign();
    }

    std::size_t produced() const { return produced_; }

  private:
    void sign() {
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(message_.data());
        if (per_call_) {
            crypto::SecureBytes pem = crypto::base64_decode_secret(pem_b64_);
            auto key = crypto::load_private_key(crypto::as_text(pem));
            auto signature = crypto::sign_pss_sha256(key.get(), bytes, message_.size());
            produced_ += crypto::base64_encode(signature.data(), signature.size()).size();
        } else {
            produced_ += crypto::sign_pss_sha256(key_.get(), bytes, message_.size()).size();
        }
    }

    const std::string& pem_b64_;
    const std::string& message_;
    const bool per_call_;
    crypto::EvpPkeyPtr key_;
    std::size_t produced_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr,
                     "usage: %s KEY.pem MESSAGE_FILE ITERATIONS [reused|per-call] [THREADS]\n",
                     argv[0]);
        return 2;
    }
    const std::string pem = read_file(argv[1]);
    const std::string message = read_file(argv[2]);
    const int iterations = std::atoi(argv[3]);
    const bool per_call = argc >= 5 && std::strcmp(argv[4], "per-call") == 0;
    if (argc >= 5 && !per_call && std::strcmp(argv[4], "reused") != 0) {
        std::fprintf(stderr, "unknown mode %s\n", argv[4]);
        return 2;
    }
    const int threads = argc == 6 ? std::atoi(argv[5]) : 1;
    if (iterations < 1 || threads < 1) {
        std::fprintf(stderr, "ITERATIONS and THREADS must be positive\n");
        return 2;
    }
    const std::string pem_b64 = crypto::base64_encode(pem);

    // Warm-up outside the clock: code, OpenSSL's lazily fetched algorithms,
    // the allocator.
    Signer(pem, pem_b64, message, per_call).run(2);
    std::vector<Signer> signers;
    signers.reserve(threads);
    for (int t = 0; t < threads; ++t)
        signers.emplace_back(pem, pem_b64, message, per_call);

    std::atomic<bool> go{false};
    std::vector<std::thread> workers;
    for (int t = 1; t < threads; ++t)
        workers.emplace_back([&, t] {
            while (!go.load(std::memory_order_acquire))
                std::this_thread::yield();
            signers[t].run(iterations);
        });
    auto start = std::chrono::steady_clock::now();
    go.store(true, std::memory_order_release);
    signers[0].run(iterations);
    for (auto& w : workers)
        w.join();
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    for (const auto& s : signers)
        if (s.produced() == 0)
            return 1;
    std::printf("%.3f\n", spent.count() / (static_cast<double>(iterations) * threads));
    return 0;
}
