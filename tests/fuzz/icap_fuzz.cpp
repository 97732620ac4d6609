// Fuzz target over the reading of an ICAP server's reply header and its Encapsulated value: what
// any server on the network may send. Besides the sanitizers' findings it checks that an offset
// is never below -1 and that a reply that parses has a positive status.
#include <cstdint>
#include <string_view>

#include "fuzz_support.h"
#include "inspect/icap.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::process_init();
    return 0;
}

namespace {

bool offsets_sound(const Encapsulation& e)
{
    return e.req_hdr >= -1 && e.res_hdr >= -1 && e.req_body >= -1 && e.res_body >= -1 && e.null_body >= -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ICAPReply reply = icap_reply_parse(text);
    fuzz::require(reply.header == nullptr || reply.header->status > 0, "a parsed reply has a status");
    fuzz::require(offsets_sound(reply.encapsulation), "offsets are -1 or a position");
    fuzz::require(reply.encapsulated || offsets_sound(Encapsulation{}), "no line, no offsets");
    fuzz::require(offsets_sound(ICAPSection::encapsulation_parse(text)), "a bare value gives sound offsets");
    return 0;
}
