// Fuzz target over the configuration document loader that the interface's load page,
// synchronisation from a master and the start-up file share: the nesting bound, the XML parser,
// the root check, the check of every value against its declared field and the load of every
// section (its rules rebuilt), then the save of what was loaded. It runs on a connection thread
// (its stack is 2^20 bytes by default, option -z), where the load page runs it; the seeds are
// the shipped documents in etc/ and the corpus in corpus/config.
//
// Besides the sanitizers' findings it checks that what the proxy saves reads back: a document
// the loader took is saved as a text that the loader takes again, and saving that gives the
// same text.
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <tinyxml.h>

#include "config/configfile.h"
#include "config/section.h"
#include "config/xmlcursor.h"
#include "core/global.h"
#include "daemon/runtime.h"
#include "core/threads.h"
#include "daemon/sections.h"
#include "daemon/signals.h"
#include "fuzz_support.h"

using fuzz::require;

namespace {

std::string saved()
{
    config_xml_build();
    return xml_document_print(*document);
}

// Every section at its defaults, without items: each input starts from it, so that what an
// input finds does not depend on the inputs before it.
std::string defaults;

void defaults_apply()
{
    std::string why;
    std::unique_ptr<TiXmlDocument> fresh = config_document_parse(defaults, why);
    require(fresh != nullptr && config_document_apply(std::move(fresh), 1) == 1, "the defaults load");
}

// The sections whose rebuild touches nothing outside the process: no store directories, files,
// programs, scanners or worker threads.
void sections_init()
{
    process_exits_set(clean_exit, sigterm);
    global_create();
    threads_init();
    loglevel = 0;
    daemonize = 1;
    sectionxml_load(std::string(TARVODINE_SOURCE_DIR) + "/etc/section.xml");
    sections_create({"access", "filter", "general", "dnsbl", "network", "header", "template", "cookie", "ftp",
                     "profile", "mime", "redirect", "keyword", "rewrite", "forward", "limit"});
    std::lock_guard lock(documentlock);
    defaults = saved();
}

void load(const std::string& text)
{
    std::lock_guard lock(documentlock);
    defaults_apply();
    std::string why;
    std::unique_ptr<TiXmlDocument> next = config_document_parse(text, why);
    if (next == nullptr)
        return;
    // Mode 1 replaces the items, so that inputs do not pile them up run after run.
    if (config_document_apply(std::move(next), 1) != 1)
        return;
    // The library reads bytes that are not UTF-8 in ways its printer does not restore (a lead
    // byte takes the next one along, '<' or '&' included); a document that holds them is still
    // loaded, as files written by hand may, but nothing is promised of its saved form.
    const std::string first = saved();
    if (!xml_text_acceptable(first))
        return;
    std::unique_ptr<TiXmlDocument> again = config_document_parse(first, why);
    require(again != nullptr, "a saved configuration parses");
    require(config_document_apply(std::move(again), 1) == 1, "a saved configuration loads");
    require(saved() == first, "a saved configuration saves alike");
}

// The inputs are loaded one at a time on a connection thread of the proxy's own: the stack of
// option -z and a slot of the thread table, as every thread that logs has.
struct Worker {
    std::mutex mutex;
    std::condition_variable changed;
    const std::string* text = nullptr;   // the input to load; null once loaded
};

void* worker_loop(void* argument)
{
    auto* worker = static_cast<Worker*>(argument);
    std::unique_lock lock(worker->mutex);
    for (;;) {
        worker->changed.wait(lock, [worker] { return worker->text != nullptr; });
        load(*worker->text);
        worker->text = nullptr;
        worker->changed.notify_all();
    }
}

Worker& worker_start()
{
    sections_init();
    // Never destroyed: the worker waits on it until the process ends.
    Worker& worker = *std::make_unique<Worker>().release();
    require(thread_create(worker_loop, &worker) >= 0, "thread_create");
    return worker;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static Worker& worker = worker_start();
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::unique_lock lock(worker.mutex);
    worker.text = &text;
    worker.changed.notify_all();
    worker.changed.wait(lock, [] { return worker.text == nullptr; });
    return 0;
}
