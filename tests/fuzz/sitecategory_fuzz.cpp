// Fuzz target over the parser of the category service's MX answers: whatever a DNS server (or
// anyone able to answer in its place) sends, the parser reads only the bytes received and gives
// names and scores that fit what the scoring builds its cache keys and file lines from.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "policy/sitecategory.h"

using fuzz::require;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // A copy of exactly the input, so that a read past the received length lands outside the
    // allocation, where the address sanitizer sees it.
    const std::vector<unsigned char> answer(data, data + size);
    const std::vector<MxRecord> records = sitegrade_parse_mx(answer.data(), answer.size());
    std::size_t total = 0;
    for (const MxRecord& record : records) {
        require(record.score >= 0 && record.score <= 65535, "a score is an unsigned 16-bit preference");
        require(record.name.size() <= 1024, "a name is at most 1,024 characters");
        require(record.name.find('\0') == std::string::npos, "a name holds no zero byte");
        total += record.name.size() + 1;
    }
    // Names past the end of the answer are never made up: at most one record per 13 bytes after
    // the header (a one-byte owner, the fixed part, a preference and a one-byte exchange).
    require(size < 12 || records.size() <= (size - 12) / 13, "no more records than the bytes can hold");

    const std::vector<MxRecord> kept = sitegrade_cap_names(records, 2048);
    std::size_t kept_total = 0;
    for (const MxRecord& record : kept)
        kept_total += record.name.size() + 1;
    require(kept.size() <= records.size(), "capping never adds records");
    require(kept_total < 2048 || kept.empty(), "the kept names stay below the size");
    require(total >= 2048 || kept.size() == records.size(), "names below the size are all kept");
    return 0;
}
