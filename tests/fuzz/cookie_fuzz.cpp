// Fuzz target over the cookie line parser and builder, which rewrite every Cookie and Set-Cookie
// line the proxy passes on. Besides the sanitizers' findings it checks that a rebuilt line never
// gains a line break, that it is empty exactly when the cookie has no pair, and that rebuilding
// is settled after one pass: what the proxy writes reads back as the same cookie.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "policy/cookie.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::process_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string value(reinterpret_cast<const char*>(data), size);
    const CookieHeader cookie(value);
    const std::string built = cookie.Build();
    fuzz::require(!fuzz::has_line_break(built) || fuzz::has_line_break(value), "no line break is made up");
    fuzz::require(built.empty() == cookie.pairs.empty(), "a line is built exactly from pairs");
    const CookieHeader again(built);
    fuzz::require(again.Build() == built, "a rebuilt line reads back as itself");
    fuzz::require(built.empty() || (again.domain == cookie.domain && again.path == cookie.path &&
                                    again.version == cookie.version && again.expiry_set == cookie.expiry_set),
                  "the attributes survive the rebuild");
    return 0;
}
