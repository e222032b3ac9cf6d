// The signing floor: RSASSA-PSS signatures of one message with a key parsed
// once, through the same crypto core and OpenSSL as the modules. Prints the
// mean time of one signature in microseconds.
//
//   sign_floor KEY.pem MESSAGE_FILE ITERATIONS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "crypto/private_key.h"
#include "crypto/pss.h"

static std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s KEY.pem MESSAGE_FILE ITERATIONS\n", argv[0]);
        return 2;
    }
    std::string pem = read_file(argv[1]);
    std::string message = read_file(argv[2]);
    int iterations = std::atoi(argv[3]);
    auto key = corvane::crypto::load_private_key(pem);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(message.data());
    corvane::crypto::sign_pss_sha256(key.get(), bytes, message.size()); // warm the key's caches
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i)
        corvane::crypto::sign_pss_sha256(key.get(), bytes, message.size());
    std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
    std::printf("%.3f\n", spent.count() / iterations);
    return 0;
}
