// The RFC 1321 digest in the context form start, update, finish, for loadable modules. The proxy
// itself takes its digests from md5_string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

struct evp_md_ctx_st;

struct EvpMdCtxFree {
    void operator()(evp_md_ctx_st* ctx) const noexcept;
};

struct md5_context {
    std::uint64_t total = 0;   // bytes fed since md5_starts
    std::unique_ptr<evp_md_ctx_st, EvpMdCtxFree> evp;
};

// Begins a digest; a context may be started again after md5_finish.
void md5_starts(md5_context* ctx);
// Adds `length` bytes of input.
void md5_update(md5_context* ctx, const unsigned char* input, std::size_t length);
// Pads, writes the 16-byte digest and leaves the context to be started again.
void md5_finish(md5_context* ctx, unsigned char digest[16]);
// Adds one 64-byte block.
void md5_process(md5_context* ctx, const unsigned char data[64]);
