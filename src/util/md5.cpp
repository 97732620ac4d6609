#include "util/md5.h"

#include <openssl/evp.h>

#include "util/mem.h"

void EvpMdCtxFree::operator()(evp_md_ctx_st* ctx) const noexcept
{
    EVP_MD_CTX_free(ctx);
}

// The digest calls fail only without memory or without an MD5 provider (a FIPS-only library):
// both leave the process unable to name its cache files, an impossible state.
void md5_starts(md5_context* ctx)
{
    FATAL_ASSERT(ctx != nullptr);
    if (!ctx->evp) {
        ctx->evp.reset(EVP_MD_CTX_new());
        FATAL_ASSERT(ctx->evp != nullptr);
    }
    const int started = EVP_DigestInit_ex(ctx->evp.get(), EVP_md5(), nullptr);
    FATAL_ASSERT(started == 1);
    ctx->total = 0;
}

void md5_update(md5_context* ctx, const unsigned char* input, std::size_t length)
{
    FATAL_ASSERT(ctx != nullptr && ctx->evp != nullptr);
    if (length == 0)
        return;
    FATAL_ASSERT(input != nullptr);
    const int updated = EVP_DigestUpdate(ctx->evp.get(), input, length);
    FATAL_ASSERT(updated == 1);
    ctx->total += length;
}

void md5_finish(md5_context* ctx, unsigned char digest[16])
{
    FATAL_ASSERT(ctx != nullptr && ctx->evp != nullptr && digest != nullptr);
    unsigned int written = 0;
    const int finished = EVP_DigestFinal_ex(ctx->evp.get(), digest, &written);
    FATAL_ASSERT(finished == 1 && written == 16);
}

void md5_process(md5_context* ctx, const unsigned char data[64])
{
    md5_update(ctx, data, 64);
}
