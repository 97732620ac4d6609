// Fuzz target over the HTML stream parser, which reads every text/html page the prefetcher
// watches. The input is fed twice, whole and cut into blocks at offsets the input picks; the two
// runs must fire the same callbacks with the same attributes, and the scanner must examine each
// byte a bounded number of times.
#include <cstdint>
#include <string>
#include <vector>

#include "cache/htmlstream.h"
#include "fuzz_support.h"

namespace {

void record(HTMLStream*, htmlstream_node* node, void* argument)
{
    std::string line = node->tag->name;
    for (const htmlstream_attribute& attribute : node->tag->attributes)
        line += '\0' + attribute.name + '\1' + attribute.value;
    static_cast<std::vector<std::string>*>(argument)->push_back(line);
}

std::vector<std::string> run(const std::string& page, std::size_t step)
{
    std::vector<std::string> seen;
    HTMLStream stream;
    for (const char* name : {"a", "img", "SCRIPT", "link"})
        stream.Callback(name, record, &seen);
    for (std::size_t at = 0; at < page.size(); at += step)
        stream.Add(page.data() + at, std::min(step, page.size() - at));
    stream.Add(nullptr, 0);
    fuzz::require(stream.scanned() <= page.size() + 4 * (page.size() / step + 2), "each byte is scanned a bounded number of times");
    return seen;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the block size of the second run.
    const std::size_t step = 1 + data[0] % 17;
    const std::string page(reinterpret_cast<const char*>(data) + 1, size - 1);
    fuzz::require(run(page, page.size() + 1) == run(page, step), "blocks do not change what is found");
    return 0;
}
