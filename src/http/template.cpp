#include "http/template.h"

#include <algorithm>
#include <utility>

#include "core/connection.h"
#include "config/program.h"
#include "util/filebuf.h"
#include "http/header.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/stringutil.h"
#include "core/logentry.h"
#include "util/mem.h"
#include "config/profile.h"
#include "http/template_data.h"
#include "http/transfer.h"

TemplateSection* template_section = nullptr;

namespace {

// Positions of the section's global values and of a template's values.
enum : std::size_t {
    GLOBAL_DIRECTORY = 0,
    GLOBAL_FIELDS = 1,
};
enum : std::size_t {
    RULE_ENABLED = 0,
    RULE_COMMENT = 1,
    RULE_PROFILES = 2,
    RULE_NAME = 3,
    RULE_FILE = 4,
    RULE_MIME = 5,
    RULE_CODE = 6,
    RULE_TYPE = 7,
    RULE_PARSE = 8,
    RULE_FIELDS = 9,
};

template <std::size_t N>
std::string_view bytes_of(const unsigned char (&data)[N])
{
    return {reinterpret_cast<const char*>(data), N};
}

std::string interface_head()
{
    return std::string("<table class=\"banner\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
                       "<td><img src=\"http://") +
           INTERFACE_HOST +
           "/template/logo1\" alt=\"Tarvodine\"></td><td class=\"bannertext\">web interface</td></tr></table>\n";
}

// A built-in HTML page: its base is the interface, so that its image and style come from there.
std::string html_page(std::string_view title, std::string_view message, std::string_view head = {})
{
    std::string page = std::string("<html>\n<head>\n<base href=\"http://") + INTERFACE_HOST + "/\">\n";
    page.append(head);
    page += "<title>" + std::string(title) + "</title>\n</head>\n<body>\n";
    page += "<table class=\"banner\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
            "<td><img src=\"/template/logo\" alt=\"Tarvodine\"></td>"
            "<td class=\"bannertext\">Tarvodine proxy</td></tr></table>\n";
    page += "<table width=\"100%\"><tr><td class=\"message\" align=\"center\">";
    page.append(message);
    page += "</td></tr></table>\n</body>\n</html>\n";
    return page;
}

struct Pages {
    std::vector<std::string> texts;     // owners of the built texts
    std::vector<BuiltinPage> rows;
};

Pages pages_build()
{
    struct Html { std::string_view name, title, message, head; };
    const Html html[] = {
        {"unknown", "Error", "The proxy could not complete the request for @URL@", {}},
        {"badrequest", "Bad Request", "Bad Request", {}},
        {"badresponse", "Bad Response", "Bad Response from @HTTP_HOST@", {}},
        {"nodns", "DNS Lookup failed", "DNS Lookup for @HTTP_HOST@ failed", {}},
        {"nofile", "File not found", "@HTTP_FILE@ not found", {}},
        {"nocache", "Cache file not found", "@URL@ not found", {}},
        {"noconnect", "Connection failed", "Connection to @HTTP_HOST@:@HTTP_PORT@ failed", {}},
        {"blocked", "Page Blocked", "@URL@ is blocked", {}},
        {"blacklisted", "Page blacklisted", "@URL@ is in the blacklisted @CATEGORY@ category", {}},
        {"virus", "Virus",
         "@AVSCANNER@ detected:<br>\n<font color=\"#cc0000\"><b>@VIRUSNAME@</b></font><br>\nin<br>\n@URL@", {}},
        {"badprotocol", "Protocol not implemented", "Protocol not implemented", {}},
        {"noaccess", "Access denied", "Access denied", {}},
        {"badauth", "Authorization failed", "Authorization failed", {}},
        {"downloadlimit", "Download transfer limit exceeded",
         "You have exceeded your download limit of @DOWNLOADLIMIT@ bytes", {}},
        {"uploadlimit", "Upload transfer limit exceeded",
         "You have exceeded your upload limit of @UPLOADLIMIT@ bytes", {}},
        {"maxrequests", "Request limit exceeded", "Request limit exceeded", {}},
        {"imgfilter", "Possible pornographic image",
         "Possible porn detected, scored @IMAGESCORE@ with a threshold of @IMAGETHRESHOLD@", {}},
        {"downloading", "Download in progress", "Transferred @TRANSFERRED@ of @SIZE@ bytes",
         "<meta http-equiv=\"refresh\" content=\"1;URL=@URL@\">\n"},
    };
    Pages pages;
    pages.texts.reserve(std::size(html) + 1);
    for (const Html& page : html) {
        pages.texts.push_back(html_page(page.title, page.message, page.head));
        pages.rows.push_back({page.name, pages.texts.back(), "text/html", true});
    }
    pages.texts.push_back(interface_head());
    const std::string& head = pages.texts.back();
    const BuiltinPage others[] = {
        {"proxy.pac", PROXY_PAC, "application/x-ns-proxy-autoconfig", true},
        {"interfacehead", head, "text/html", true},
        {"tinygif", bytes_of(TINY_GIF), "image/gif", false},
        {"logo1", bytes_of(LOGO1_GIF), "image/gif", false},
        {"logo", bytes_of(LOGO_GIF), "image/gif", false},
        {"checkeredgif", bytes_of(CHECKERED_GIF), "image/gif", false},
        {"tinyswf", bytes_of(TINY_SWF), "application/x-shockwave", false},
        {"empty", {}, "text/plain", false},
        {"uparrow", bytes_of(UPARROW_GIF), "image/gif", false},
        {"downarrow", bytes_of(DOWNARROW_GIF), "image/gif", false},
        {"interface.css", INTERFACE_CSS, "text/plain", false},
        {"tooltip", TOOLTIP, "text/plain", false},
    };
    pages.rows.insert(pages.rows.end(), std::begin(others), std::end(others));
    return pages;
}

const BuiltinPage* builtin_find(std::string_view name)
{
    for (const BuiltinPage& page : builtin_pages()) {
        if (equal_nocase(page.name, name))
            return &page;
    }
    return nullptr;
}

const StringList NO_PROFILES;

// Fills the placeholders from the connection's variables; escaped for a built-in HTML page,
// where a value must stay text, raw for a configured page, which is the administrator's.
void placeholders_fill(CONNECTION_T* connection, Filebuf& page, bool escaped)
{
    if (connection == nullptr) {
        VariableMap none;
        variables_parse(none, page);
        return;
    }
    if (!escaped) {
        variables_parse(connection->variables, page);
        return;
    }
    VariableMap values;
    for (const auto& [name, value] : connection->variables)
        values.emplace_hint(values.end(), name, string_to_html(value, 0));
    variables_parse(values, page);
    // Names the page asked for are known from now on, as with a raw fill.
    for (const auto& entry : values)
        connection->variables.try_emplace(entry.first);
}

bool is_head_request(const CONNECTION_T* connection)
{
    if (connection->flags & CONN_HEAD)
        return true;
    const HEADER* request = connection->request.get();
    return request != nullptr && request->method && equal_nocase(*request->method, "HEAD");
}

} // namespace

std::span<const BuiltinPage> builtin_pages()
{
    static const Pages pages = pages_build();
    return pages.rows;
}

Template::Template(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    profiles = f[RULE_PROFILES].string_list;
    name = f[RULE_NAME].text;
    file = f[RULE_FILE].text;
    mime = f[RULE_MIME].text;
    code = f[RULE_CODE].int_value;
    type = f[RULE_TYPE].int_value;
    parse = f[RULE_PARSE].int_value;
}

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_FIELDS);
    FATAL_ASSERT(!subsections_.empty() && subsections_[0].templ.size() >= RULE_FIELDS);
}

void TemplateSection::update()
{
    rules_.rebuild([this](TemplateRules& next) { rules_from_items(next.rules, subsections_[0]); });
}

std::shared_ptr<const TemplateRules> TemplateSection::rules() const
{
    return rules_.snapshot();
}

std::unique_ptr<Filebuf> TemplateSection::get(CONNECTION_T* connection, std::string_view name, int* code) const
{
    // One snapshot serves the page and the style it may be preceded by: no second lock.
    const std::shared_ptr<const TemplateRules> snapshot = rules();
    return lookup(*snapshot, connection, name, code);
}

std::unique_ptr<Filebuf> TemplateSection::configured(const Template& rule, CONNECTION_T* connection, int* code) const
{
    auto page = std::make_unique<Filebuf>();
    if (rule.type == TEMPLATE_FILE) {
        std::string path = rule.file;
        if (rule.file.front() != '/') {
            std::string directory;
            {
                SectionReadLock lock(*this);
                directory = fields_[GLOBAL_DIRECTORY].text;
            }
            if (!directory.empty())
                path = directory + "/" + rule.file;
        }
        if (page->Read(path.c_str()) < 0) {
            putlog(LOG_ERROR, "template: cannot read %s", path.c_str());
            return nullptr;
        }
        if (!rule.mime.empty())
            page->set_type(rule.mime);
    } else if (rule.type == TEMPLATE_PROGRAM) {
        std::unique_ptr<Filebuf> output = external_exec(connection, rule.file.c_str(), nullptr, 0, nullptr);
        if (output == nullptr || output->size() == 0)
            return nullptr;
        // The program's header is read here only: the connection's response slot is not ours.
        const std::size_t length = header_length(output->view(), output->size());
        const HeaderPtr header = http_header_parse_response(output->view().substr(0, length));
        output->Trim(length);
        if (header != nullptr && header->content_type)
            output->set_type(*header->content_type);
        page = std::move(output);
    } else {
        return nullptr;
    }
    if (code != nullptr && rule.code >= 100 && rule.code <= 599)
        *code = rule.code;
    if (rule.parse == 1)
        placeholders_fill(connection, *page, false);
    return page;
}

std::unique_ptr<Filebuf> TemplateSection::lookup(const TemplateRules& rules, CONNECTION_T* connection,
                                                 std::string_view name, int* code) const
{
    const StringList& names = connection != nullptr ? connection->profiles : NO_PROFILES;
    for (const Template& rule : rules.rules) {
        if (rule.enabled != 1 || rule.name.empty() || !equal_nocase(rule.name, name) ||
            profile_find(names, rule.profiles) != 1)
            continue;
        if (rule.file.empty())
            break;   // the built-in page of that name
        std::unique_ptr<Filebuf> page = configured(rule, connection, code);
        if (page != nullptr || rule.type != TEMPLATE_FILE)
            return page;
        break;       // an unreadable file: the built-in page stands in
    }

    const BuiltinPage* builtin = builtin_find(name);
    if (builtin == nullptr)
        return nullptr;
    auto body = std::make_unique<Filebuf>();
    body->Add(builtin->bytes);
    const bool html = builtin->mime == "text/html";
    if (builtin->parse)
        placeholders_fill(connection, *body, html);
    if (!html || equal_nocase(builtin->name, "interface.css")) {
        body->set_type(std::string(builtin->mime));
        return body;
    }
    // The style goes first, looked up like any page, so that a configured one serves every
    // built-in page; the page's placeholders were filled before, so an '@' of the style is kept.
    std::unique_ptr<Filebuf> page = lookup(rules, connection, "interface.css", nullptr);
    if (page == nullptr)
        page = std::make_unique<Filebuf>();
    page->Add(body->view());
    page->set_type(std::string(builtin->mime));
    return page;
}

int TemplateSection::send(std::string_view name, CONNECTION_T* connection, int status) const
{
    if (connection->flags & CONN_NOCLIENT)
        return 0;
    int code = -1;
    std::unique_ptr<Filebuf> page = get(connection, name, &code);
    if (page == nullptr)
        return 0;

    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = code != -1 ? code : status;
    header->content_length = static_cast<std::int64_t>(page->size());
    header->flags |= HEADER_LENGTH;
    header->content_type = page->type().empty() ? std::string("text/plain") : page->type();
    header->cache_control = std::string("no-cache");

    LogEntry& log = connection->logentry;
    log.set_cachecode(TCP_MISS);
    log.set_peercode(DIRECT);
    log.peer = "tarvodine";
    log.size = page->size();
    log.status = header->status;
    log.mime = *header->content_type;

    {
        ResponseLoan slot(connection, header.get());
        header_send(header.get(), connection, SIDE_CLIENT, HEADER_TO_CLIENT);
    }
    if (page->size() > 0 && !is_head_request(connection))
        net_filebuf_send(page.get(), connection, SIDE_CLIENT);
    putlog(LOG_TEMPLATE, "sent %.*s", static_cast<int>(name.size()), name.data());
    return 1;
}

int TemplateSection::insert(CONNECTION_T* connection, Filebuf* buffer, std::string_view name) const
{
    const std::unique_ptr<Filebuf> page = get(connection, name, nullptr);
    if (page == nullptr)
        return 0;
    buffer->Add(page->view());
    return 1;
}
