#include "platform/sha256.h"

#include <openssl/evp.h>

namespace platform {

struct Sha256::State
{
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256()
    : state(new State)
{
}

Sha256::~Sha256() = default;

void Sha256::add(const void *data, std::size_t size)
{
    state->ok = state->ok && EVP_DigestUpdate(state->context, data, size) == 1;
}

bool Sha256::digest(unsigned char out[32])
{
    unsigned int length = 0;
    const bool ok = state->ok && EVP_DigestFinal_ex(state->context, out, &length) == 1 && length == 32;
    state->ok = false;
    return ok;
}

} // namespace platform
