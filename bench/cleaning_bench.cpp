// How long one cleaning holds the cache's mutex: a store whose journal names N objects (100,000
// by default) is read at start-up, the clock moves past the cleaning interval, and clean() runs
// under the mutex as a request that noticed an overrun runs it. Two cases: a store over its size
// that loses nearly all its objects (each one journaled and queued for deletion), and a store
// within its size that keeps them all (one pass, nothing dropped).
//
// usage: cleaning_bench [OBJECTS]   (bench/cleaning_bench.sh builds it in the release tree)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>

#include <tinyxml.h>

#include "cache/cache.h"
#include "cache/store.h"
#include "config/section.h"

namespace {

std::time_t bench_now = 1'700'000'000;
std::time_t bench_clock()
{
    return bench_now;
}

} // namespace

// The cache's own access for tests and measurements.
class CacheTestPeer {
public:
    // Milliseconds clean() held the mutex.
    static double clean_ms(CacheSection& cache)
    {
        std::unique_lock lock(cache.mutex_);
        const auto start = std::chrono::steady_clock::now();
        cache.clean();
        const auto end = std::chrono::steady_clock::now();
        return std::chrono::duration<double, std::milli>(end - start).count();
    }
};

namespace {

void load(CacheSection& cache, const std::string& body)
{
    TiXmlDocument document;
    document.Parse(("<?xml version=\"1.0\"?><tarvodine>" + body + "</tarvodine>").c_str());
    cache.load(&document, 1);
}

// The cleaning of a store of `objects` objects of 20,000 bytes each, in a store of store_size.
void run(const std::filesystem::path& dir, int objects, const std::string& store_size, const char* label)
{
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    {
        std::ofstream journal(dir / "journal");
        for (int i = 0; i < objects; ++i)
            journal << "128\thttp://bench.example/object/" << i << "\t20000\t" << (bench_now - 86400 + i) << '\t'
                    << (bench_now - 86400 + i) << "\t0\t86400\t86400\t100\t0\n";
    }
    auto cache = std::make_unique<CacheSection>();
    cache->clock_set(bench_clock);
    load(*cache, "<cache><enabled>true</enabled><violations>false</violations><memorysize>64M</memorysize>"
                 "<memoryextra>4M</memoryextra><minsize>0</minsize><maxsize>16M</maxsize>"
                 "<prefetchwindow>60</prefetchwindow><icpport>0</icpport><icptimeout>1000</icptimeout>"
                 "<storeselect>0</storeselect><journalthreshold>0</journalthreshold><cleaninterval>30</cleaninterval>"
                 "<store><enabled>true</enabled><comment/><profiles/><path>" + dir.string() + "</path><size>" +
                 store_size + "</size><margin>0</margin><md5>0</md5></store></cache>");
    const int before = cache->object_count();
    bench_now += 100;
    const double held = CacheTestPeer::clean_ms(*cache);
    std::printf("%-32s objects %7d -> %7d, queued for deletion %7zu: mutex held %.1f ms\n", label, before,
                cache->object_count(), cache->unlink_list().size(), held);
    cache.reset();
    std::filesystem::remove_all(dir);
}

} // namespace

int main(int argc, char** argv)
{
    const int objects = argc > 1 ? std::atoi(argv[1]) : 100'000;
    sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
    const auto dir = std::filesystem::temp_directory_path() / ("cleaning_bench." + std::to_string(getpid()));
    // Half the bytes held: over its size, the store is cleaned down to 10,000,000 bytes.
    run(dir, objects, std::to_string(static_cast<unsigned long long>(objects) * 10'000), "store over its size, emptied:");
    run(dir, objects, "100G", "store within its size, kept:");
    return 0;
}
