// The configuration document: loading it from a file or URL into every section, and writing
// every section back into it and out to a file.
#pragma once

#include <cstddef>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <tinyxml.h>

// The running configuration's document; null until the first load or save. Guarded, with
// documentsynctime, by documentlock, which comes before any section's lock.
extern std::unique_ptr<TiXmlDocument> document;
extern std::mutex documentlock;
// Epoch time of the last change of the configuration (on a slave: the master's time of the
// configuration last taken).
extern std::time_t documentsynctime;

// Loads the configuration from a file or, when a colon stands between two non-empty parts of
// the name, from a URL. Mode 0 appends the loaded items to each subsection's items, any other
// mode replaces them. 1 when loaded; 0, with the running configuration as it was, when nothing
// could be read, the document does not parse, its root is not "tarvodine", or a value does
// not fit its field (logged).
int config_load(int mode, std::string name);
// The largest configuration document fetched over HTTP, by a URL load or synchronisation: a
// configuration is a few kilobytes, and a peer may not make the proxy hold what it likes.
constexpr std::size_t CONFIG_FETCH_MAX = 16 << 20;

// The same for a URL fetched over HTTP; documentsynctime does not change. A body larger than
// CONFIG_FETCH_MAX is not read on and loads nothing.
int config_url_load(std::string url, int mode);
// What a GET of a configuration URL brought back.
struct ConfigFetch {
    int status = 0;
    std::optional<std::string> last_modified;   // the Last-Modified value, when sent
    std::string body;
    bool too_large = false;                     // the body goes beyond CONFIG_FETCH_MAX: nothing else is set
};
// GETs the URL over HTTP; nullopt when the URL does not parse or no answer came.
std::optional<ConfigFetch> config_url_fetch(const std::string& url);

// The configuration document in a text (which ends at its first zero byte), as a URL load and
// synchronisation receive it: null, with why set, when it is nested deeper than XML_DEPTH_MAX,
// does not parse, or its root is not "tarvodine".
std::unique_ptr<TiXmlDocument> config_document_parse(const std::string& text, std::string& why);
// Makes next the running document and loads every section from it, in name order, with the mode
// (a section without an element keeps its values and rules). The caller holds documentlock.
// Every section is checked first: 0, with nothing changed, when a value does not fit its field.
int config_document_apply(std::unique_ptr<TiXmlDocument> next, int mode);

// Has every section, in name order, write itself into document (created when there is none).
// The caller holds documentlock.
void config_xml_build();
// Builds the document and writes it to path through a temporary file renamed over it; 1 when
// written, 0 (logged) with the old file intact otherwise.
int config_save(const std::string& path);
