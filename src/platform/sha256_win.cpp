#include "platform/sha256.h"

#include <windows.h>

#include <bcrypt.h>

namespace platform {

struct Sha256::State
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool ok = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0
              && BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    ~State()
    {
        if (hash)
            BCryptDestroyHash(hash);
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
};

Sha256::Sha256()
    : state(new State)
{
}

Sha256::~Sha256() = default;

void Sha256::add(const void *data, std::size_t size)
{
    // BCryptHashData takes at most 4 GiB at a time.
    const auto *bytes = static_cast<const unsigned char *>(data);
    while (state->ok && size > 0) {
        const ULONG part = size > 0x40000000u ? 0x40000000u : ULONG(size);
        state->ok = BCryptHashData(state->hash, const_cast<PUCHAR>(bytes), part, 0) == 0;
        bytes += part;
        size -= part;
    }
}

bool Sha256::digest(unsigned char out[32])
{
    const bool ok = state->ok && BCryptFinishHash(state->hash, out, 32, 0) == 0;
    state->ok = false;
    return ok;
}

} // namespace platform
