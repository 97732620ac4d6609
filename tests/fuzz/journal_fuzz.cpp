// Fuzz target over the journal reader: the input is a store's journal, read back as a start-up
// reads it and rewritten. Besides the sanitizers' findings it checks that the rewritten journal
// holds only whole, well-formed lines with keys a journal line can carry, and that every key
// the input gave at most once.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>

#include <tinyxml.h>

#include "cache/cache.h"
#include "cache/store.h"
#include "config/section.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "core/threads.h"
#include "daemon/signals.h"

namespace {

namespace fs = std::filesystem;

fs::path store_dir;
std::unique_ptr<CacheSection> cache;

void require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void remove_store()
{
    cache.reset();
    std::error_code ignored;
    fs::remove_all(store_dir, ignored);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
    // The store lives in the working directory (the fuzz build directory), beside the corpus.
    store_dir = fs::current_path() / "journal_fuzz.store";
    fs::remove_all(store_dir);
    fs::create_directories(store_dir);
    std::atexit(remove_store);

    cache = std::make_unique<CacheSection>();
    TiXmlDocument document;
    const std::string xml = "<?xml version=\"1.0\"?><tarvodine><cache><enabled>true</enabled>"
                            "<violations>false</violations><memorysize>64M</memorysize><memoryextra>4M</memoryextra>"
                            "<minsize>0</minsize><maxsize>16M</maxsize><prefetchwindow>60</prefetchwindow>"
                            "<icpport>0</icpport><icptimeout>1000</icptimeout><storeselect>0</storeselect>"
                            "<journalthreshold>0</journalthreshold><cleaninterval>0</cleaninterval>"
                            "<store><enabled>true</enabled><comment/><profiles/><path>" + store_dir.string() +
                            "</path><size>1G</size><margin>0</margin><md5>1</md5></store></cache></tarvodine>";
    document.Parse(xml.c_str());
    require(!document.Error(), "configuration parses");
    cache->load(&document, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    {
        std::ofstream journal(store_dir / "journal", std::ios::binary | std::ios::trunc);
        journal.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    std::error_code ignored;
    fs::remove(store_dir / "journal.new", ignored);
    cache->update();   // reads the journal back and rewrites it

    std::ifstream rewritten(store_dir / "journal", std::ios::binary);
    std::stringstream text;
    text << rewritten.rdbuf();
    const std::string out = text.str();
    require(out.empty() || out.back() == '\n', "rewritten journal ends with a whole line");
    std::set<std::string> keys;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        const std::string_view line(out.data() + start, end - start);
        start = end + 1;
        const auto parsed = journal_line_parse(line);
        require(parsed.has_value(), "a rewritten line parses");
        require(parsed->refresh && !parsed->md5.empty(), "a rewritten line has every column");
        require(CacheSection::key_storable(parsed->key), "a rewritten key is storable");
        require(keys.emplace(parsed->key).second, "a key written twice");
        require((parsed->flags & 0x1083u) == CACHE_DISK, "only complete objects on disk survive");
    }
    require(static_cast<std::size_t>(cache->object_count()) == keys.size(), "objects and lines differ");
    return 0;
}
