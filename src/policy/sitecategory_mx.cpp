// The MX side of the site-category scoring: the query and the parser of its answer. A file of
// its own because <arpa/nameser.h> defines a HEADER of its own, which the request's clashes with.
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "policy/sitecategory.h"

namespace {

// The answer buffer: a longer answer is read as its first bytes.
constexpr std::size_t ANSWER_SIZE = 1024;

unsigned read16(const unsigned char* p)
{
    return (static_cast<unsigned>(p[0]) << 8) | p[1];
}

// The calling thread's own resolver state, so that lookups on many threads never share one.
struct ResolverState {
    struct __res_state state {};
    bool ready = false;
    ResolverState() = default;
    ResolverState(const ResolverState&) = delete;
    ResolverState& operator=(const ResolverState&) = delete;
    ~ResolverState()
    {
        if (ready)
            res_nclose(&state);
    }
};

} // namespace

std::vector<MxRecord> sitegrade_parse_mx(const unsigned char* answer, std::size_t length)
{
    std::vector<MxRecord> records;
    if (answer == nullptr || length < HFIXEDSZ)
        return records;
    const unsigned char* const eom = answer + length;
    const unsigned questions = read16(answer + 4);
    const unsigned char* p = answer + HFIXEDSZ;
    for (unsigned i = 0; i < questions; ++i) {
        const int skipped = dn_skipname(p, eom);
        if (skipped < 0 || eom - p < skipped + QFIXEDSZ)
            return records;
        p += skipped + QFIXEDSZ;
    }
    std::array<char, 1025> name;
    while (p < eom) {
        const int owner = dn_expand(answer, eom, p, name.data(), static_cast<int>(name.size()));
        if (owner < 0)
            break;
        p += owner;
        if (eom - p < RRFIXEDSZ)
            break;
        const unsigned type = read16(p);
        const unsigned data_length = read16(p + 8);
        p += RRFIXEDSZ;
        if (static_cast<std::size_t>(eom - p) < data_length)
            break;
        if (type == ns_t_mx) {
            if (data_length < 3)
                break;
            const unsigned char* const data_end = p + data_length;
            const int exchange = dn_expand(answer, eom, p + 2, name.data(), static_cast<int>(name.size()));
            if (exchange < 0 || exchange > data_end - (p + 2))
                break;
            records.push_back({std::string(name.data()), static_cast<int>(read16(p))});
        }
        p += data_length;
    }
    return records;
}

std::vector<MxRecord> sitegrade_cap_names(std::vector<MxRecord> records, std::size_t size)
{
    std::size_t total = 0;
    std::size_t kept = 0;
    for (const MxRecord& record : records) {
        if (total + record.name.size() + 1 >= size)
            break;
        total += record.name.size() + 1;
        ++kept;
    }
    records.resize(kept);
    return records;
}

std::vector<MxRecord> getmx(const std::string& query, std::size_t size)
{
    thread_local ResolverState resolver;
    if (!resolver.ready) {
        if (res_ninit(&resolver.state) != 0)
            return {};
        resolver.ready = true;
    }
    std::array<unsigned char, ANSWER_SIZE> answer;
    const int received = res_nquery(&resolver.state, query.c_str(), ns_c_in, ns_t_mx, answer.data(),
                                    static_cast<int>(answer.size()));
    if (received < 0)
        return {};
    const std::size_t length = std::min(static_cast<std::size_t>(received), answer.size());
    return sitegrade_cap_names(sitegrade_parse_mx(answer.data(), length), size);
}

