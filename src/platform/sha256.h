#pragma once
// SHA-256 from the system's own crypto library (OpenSSL's libcrypto, Windows'
// CNG): both use the processor's SHA instructions, several times faster than a
// portable implementation over an installation's worth of bytes.
#include <cstddef>
#include <memory>
#include <string>

namespace platform {

class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;
    void add(const void *data, std::size_t size);
    // Lower-case hex; empty when the library failed. The hash is spent after it.
    std::string hex()
    {
        unsigned char bytes[32];
        if (!digest(bytes))
            return std::string();
        static const char digits[] = "0123456789abcdef";
        std::string out;
        for (unsigned char b : bytes) {
            out += digits[b >> 4];
            out += digits[b & 15];
        }
        return out;
    }

private:
    bool digest(unsigned char out[32]);
    struct State;
    std::unique_ptr<State> state;
};

} // namespace platform
