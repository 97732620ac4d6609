#include "config/configfile.h"

#include <fcntl.h>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "http/httpclient.h"
#include "util/log.h"
#include "core/options.h"
#include "config/section.h"
#include "util/stringutil.h"
#include "util/url.h"
#include "config/xmlcursor.h"

std::unique_ptr<TiXmlDocument> document;
std::mutex documentlock;
std::time_t documentsynctime = 0;

namespace {

struct ResponseFree {
    void operator()(HTTPRESPONSE* response) const noexcept { httpresponse_free(response); }
};

bool is_url(const std::string& name)
{
    return name.find(':') != std::string::npos && string_break(name, ':').size() >= 2;
}

bool root_accepted(const TiXmlDocument& next)
{
    const TiXmlElement* root = next.RootElement();
    return root != nullptr && root->ValueStr() == "tarvodine";
}

std::unique_ptr<TiXmlDocument> document_new()
{
    auto fresh = std::make_unique<TiXmlDocument>();
    fresh->LinkEndChild(std::make_unique<TiXmlDeclaration>("1.0", "UTF-8", "").release());
    fresh->LinkEndChild(std::make_unique<TiXmlElement>("tarvodine").release());
    return fresh;
}

struct CFree {
    void operator()(char* p) const noexcept { std::free(p); }
};

bool write_all(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        const ssize_t written = write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Writes through a temporary file in the target's directory that replaces the target only once
// it is complete and on disk.
bool document_write(const TiXmlDocument& doc, const std::string& path)
{
    std::string target = path;
    // A symbolic link goes on naming the configuration file.
    if (const std::unique_ptr<char, CFree> real(realpath(path.c_str(), nullptr)); real != nullptr)
        target = real.get();

    std::string temp = target + ".XXXXXX";
    const int fd = mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        log_syscall("mkstemp", "config_save", target.c_str());
        return false;
    }
    struct stat old {};
    const mode_t mode = stat(target.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0640;
    bool written = true;
    if (fchmod(fd, mode) != 0) {
        log_syscall("fchmod", "config_save", temp.c_str());
        written = false;
    } else if (!write_all(fd, xml_document_print(doc))) {
        log_syscall("write", "config_save", temp.c_str());
        written = false;
    } else if (fsync(fd) != 0) {
        log_syscall("fsync", "config_save", temp.c_str());
        written = false;
    }
    if (close(fd) != 0 && written) {
        log_syscall("close", "config_save", temp.c_str());
        written = false;
    }
    if (written && rename(temp.c_str(), target.c_str()) != 0) {
        log_syscall("rename", "config_save", target.c_str());
        written = false;
    }
    if (!written)
        unlink(temp.c_str());
    return written;
}

} // namespace

std::unique_ptr<TiXmlDocument> config_document_parse(const std::string& text, std::string& why)
{
    auto next = std::make_unique<TiXmlDocument>();
    if (!xml_text_load(*next, text, why))
        return nullptr;
    if (!root_accepted(*next)) {
        why = "root element is not tarvodine";
        return nullptr;
    }
    return next;
}

int config_document_apply(std::unique_ptr<TiXmlDocument> next, int mode)
{
    for (const auto& [name, section] : Section::map) {
        try {
            section->check(next.get());
        } catch (const ConfigError&) {
            return 0;
        }
    }
    document = std::move(next);
    for (const auto& [name, section] : Section::map) {
        try {
            section->load(document.get(), mode);
        } catch (const ConfigError&) {
            // No element for the section: it keeps its values and rules.
        }
    }
    return 1;
}

int config_load(int mode, std::string name)
{
    if (is_url(name))
        return config_url_load(std::move(name), mode);

    auto next = std::make_unique<TiXmlDocument>();
    std::string why;
    if (!xml_file_load(*next, name, why)) {
        putlog(LOG_ERROR, "failed to load configuration %s: %s", name.c_str(), why.c_str());
        return 0;
    }
    if (!root_accepted(*next)) {
        putlog(LOG_ERROR, "failed to load configuration %s: root element is not tarvodine", name.c_str());
        return 0;
    }
    std::lock_guard lock(documentlock);
    if (!config_document_apply(std::move(next), mode))
        return 0;
    if (!slave)
        documentsynctime = std::time(nullptr);
    return 1;
}

int config_url_load(std::string url, int mode)
{
    const std::optional<URL> parsed = url_parse(url);
    if (!parsed) {
        putlog(LOG_ERROR, "failed to load configuration %s: not a URL", url.c_str());
        return 0;
    }
    bool too_large = false;
    const std::unique_ptr<HTTPRESPONSE, ResponseFree> response(http_fetch(*parsed, nullptr, CONFIG_FETCH_MAX, &too_large));
    if (too_large) {
        putlog(LOG_ERROR, "failed to load configuration %s: larger than %zu bytes", url.c_str(), CONFIG_FETCH_MAX);
        return 0;
    }
    if (response == nullptr) {
        putlog(LOG_ERROR, "failed to load configuration %s: no answer", url.c_str());
        return 0;
    }
    if (const int code = httpresponse_code(*response); code != 200) {
        putlog(LOG_ERROR, "failed to load configuration %s: status %d", url.c_str(), code);
        return 0;
    }
    std::string why;
    std::unique_ptr<TiXmlDocument> next = config_document_parse(std::string(response->body.view()), why);
    if (next == nullptr) {
        putlog(LOG_ERROR, "failed to load configuration %s: %s", url.c_str(), why.c_str());
        return 0;
    }
    std::lock_guard lock(documentlock);
    return config_document_apply(std::move(next), mode);
}

std::optional<ConfigFetch> config_url_fetch(const std::string& url)
{
    const std::optional<URL> parsed = url_parse(url);
    if (!parsed)
        return std::nullopt;
    bool too_large = false;
    const std::unique_ptr<HTTPRESPONSE, ResponseFree> response(http_fetch(*parsed, nullptr, CONFIG_FETCH_MAX, &too_large));
    ConfigFetch fetched;
    if (too_large) {
        fetched.too_large = true;
        return fetched;
    }
    if (response == nullptr)
        return std::nullopt;
    fetched.status = httpresponse_code(*response);
    if (response->header != nullptr)
        fetched.last_modified = response->header->last_modified;
    fetched.body.assign(response->body.view());
    return fetched;
}

void config_xml_build()
{
    if (document == nullptr)
        document = document_new();
    for (const auto& [name, section] : Section::map)
        section->save(document.get());
}

int config_save(const std::string& path)
{
    std::lock_guard lock(documentlock);
    config_xml_build();
    if (!document_write(*document, path)) {
        putlog(LOG_ERROR, "failed to save configuration %s", path.c_str());
        return 0;
    }
    return 1;
}
