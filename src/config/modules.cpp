#include "config/modules.h"

#include <dirent.h>
#include <dlfcn.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <utility>

#include <tinyxml.h>

#include "config/section.h"
#include "config/xmlcursor.h"
#include "core/options.h"
#include "util/descriptor.h"
#include "util/log.h"

namespace {

using LoadFunction = bool (*)();

struct DirClose {
    void operator()(DIR* dir) const noexcept { closedir(dir); }
};

// Puts the program's own definition document back however the module's load ends.
class DefinitionSwap {
public:
    explicit DefinitionSwap(std::unique_ptr<TiXmlDocument> module) : saved_(std::move(sectionxml))
    {
        sectionxml = std::move(module);
    }
    ~DefinitionSwap() { sectionxml = std::move(saved_); }
    DefinitionSwap(const DefinitionSwap&) = delete;
    DefinitionSwap& operator=(const DefinitionSwap&) = delete;

private:
    std::unique_ptr<TiXmlDocument> saved_;
};

}  // namespace

int module_load(const char* name, const char* library, const char* definition)
{
    void* handle = dlopen(library, RTLD_LAZY | RTLD_GLOBAL);
    if (handle == nullptr) {
        const char* error = dlerror();
        putlog(LOG_MODULE, "error: %s failed to load %s", error != nullptr ? error : "", library);
        return 0;
    }
    dlerror();
    const std::string symbol = std::string(name) + "_load";
    void* found = dlsym(handle, symbol.c_str());
    if (const char* error = dlerror(); error != nullptr || found == nullptr) {
        putlog(LOG_MODULE, "error: %s loading %s ", error != nullptr ? error : "no load function", library);
        dlclose(handle);
        return 0;
    }

    auto document = std::make_unique<TiXmlDocument>();
    std::string why;
    if (!xml_file_load(*document, definition, why)) {
        putlog(LOG_ERROR, "module: Error: %s when parsing %s", why.c_str(), definition);
        dlclose(handle);
        return 0;
    }
    const DefinitionSwap swap(std::move(document));
    const auto load = reinterpret_cast<LoadFunction>(found);
    if (load()) {
        putlog(LOG_MODULE, "loaded %s", library);
        return 1;
    }
    // The library stays mapped: its load function ran and may have registered callbacks or
    // sections whose code lives in it.
    putlog(LOG_MODULE, "error: failed to load %s", library);
    return 0;
}

void modules_load()
{
    const std::unique_ptr<DIR, DirClose> dir(s_opendir(moduledir.c_str()));
    if (dir == nullptr) {
        putlog(LOG_MODULE, "error: cannot read module directory %s", moduledir.c_str());
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        const std::string file = entry->d_name;
        if (file == "." || file == "..")
            continue;
        const std::size_t dot = file.rfind('.');
        if (dot == std::string::npos || file.compare(dot, std::string::npos, ".so") != 0)
            continue;
        const std::string bare = file.compare(0, 3, "lib") == 0 ? file.substr(3) : file;
        const std::string name = bare.substr(0, bare.size() - 3);
        const std::string library = moduledir + file;
        const std::string definition = moduledir + name + ".xml";
        struct stat st {};
        if (stat(library.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            module_load(name.c_str(), library.c_str(), definition.c_str());
    }
}
