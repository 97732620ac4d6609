#include "policy/redirect.h"

#include "config/item.h"
#include "config/profile.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "http/transfer.h"
#include "http/urlcommand.h"
#include "util/log.h"
#include "util/mem.h"
#include "util/url.h"

RedirectSection* redirect_section = nullptr;

namespace {

// Subjects and Locations are matched and rebuilt in a buffer of this size, terminator included.
constexpr std::size_t URL_ROOM = 1024;

std::string_view cut(std::string_view text)
{
    return text.substr(0, URL_ROOM - 1);
}

// Where the path of a URL starts: the first '/' after "://", or the first '/' of a URL without
// a scheme; npos when it has none.
std::size_t path_start(std::string_view url)
{
    const std::size_t scheme_end = url.find("://");
    return url.find('/', scheme_end == std::string_view::npos ? 0 : scheme_end + 3);
}

constexpr RuleField<Redirect> FIELDS[] = {
    {"enabled", &Redirect::enabled},
    {"comment", &Redirect::comment},
    {"profiles", &Redirect::profiles},
    {"url", &Redirect::pattern, REG_SUB_RULE},
    {"redirect", &Redirect::templ},
    {"port", &Redirect::port},
    {"send302", &Redirect::send302},
    {"options", &Redirect::options},
    {"applyto", &Redirect::applies},
};

constexpr RuleSectionShape<RedirectRules, Redirect> SHAPE{
    .name = "redirect",
    .enabled_at = 0,
    .order_at = RULE_GLOBAL_NONE,
    .templ_at = RULE_GLOBAL_NONE,
    .lists = {&RedirectRules::rules},
    .bypass = BYPASS_REDIRECT,
    .fields = FIELDS,
};

} // namespace

std::string redirect_controls_encode(std::string_view url)
{
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(url.size());
    for (const char c : url) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            out += '%';
            out += HEX[byte >> 4];
            out += HEX[byte & 0xF];
        } else {
            out += c;
        }
    }
    return out;
}

bool Redirect::candidate(const CONNECTION_T& connection, int where) const
{
    if (enabled == 0 || !pattern.compiled())
        return false;
    const bool side = applies == REDIRECT_APPLIES_BOTH ||
                      (applies == REDIRECT_APPLIES_REQUEST && where == REDIRECT_REQUEST) ||
                      (applies == REDIRECT_APPLIES_LOCATION && where == REDIRECT_LOCATION);
    return side && profile_find(connection.profiles, profiles) == 1;
}

std::optional<std::string> Redirect::rewrite(CONNECTION_T& connection, std::string_view subject) const
{
    const std::string decoded = (options & REDIRECT_DECODE_SUBJECT) != 0 ? url_decode(subject) : std::string();
    const std::unique_ptr<regmatch_sub_t> match =
        reg_sub_exec(pattern.regex(), (options & REDIRECT_DECODE_SUBJECT) != 0 ? std::string_view(decoded) : subject);
    if (match == nullptr)
        return std::nullopt;
    std::string url = reg_sub_parse(*match, templ, &connection.variables);
    if (const std::size_t slash = path_start(url);
        slash != std::string::npos && (options & (REDIRECT_ENCODE_PATH | REDIRECT_DECODE_PATH)) != 0) {
        const std::string_view rest = std::string_view(url).substr(slash + 1);
        const std::string changed = (options & REDIRECT_ENCODE_PATH) != 0 ? url_encode(rest) : url_decode(rest);
        url = url.substr(0, slash + 1) + changed;
    }
    return std::string(cut(redirect_controls_encode(url)));
}

RedirectSection::RedirectSection() : RuleSection(SHAPE) {}

int RedirectSection::redirect_do(CONNECTION_T* connection, int where)
{
    const std::shared_ptr<const RedirectRules> current = rules();
    if (!active(*current, *connection))
        return 0;
    HEADER* request = connection->request.get();
    HEADER* response = connection->response;
    std::string subject;
    if (where == REDIRECT_LOCATION) {
        if (response == nullptr || !response->location)
            return 0;
        subject = cut(*response->location);
    } else {
        if (request == nullptr)
            return 0;
        // The rules see the request's host and path in their one spelling.
        const UrlMatchText url(text_view(request->host), text_view(request->path));
        if (request->host)
            subject = text_or_empty(request->scheme) + std::string("://") + std::string(url.host()) + std::string(url.path());
        else
            subject = std::string(url.path());
        subject = cut(subject);
    }

    const Redirect* rule = nullptr;
    std::optional<std::string> found;
    for (const Redirect& candidate : current->rules) {
        if (!candidate.candidate(*connection, where))
            continue;
        found = candidate.rewrite(*connection, subject);
        if (found) {
            rule = &candidate;
            break;
        }
    }
    if (rule == nullptr)
        return 0;
    // A template that expands to nothing names no place to go: everything stays as it was.
    if (found->empty())
        return 0;
    const std::string& url = *found;

    if (where == REDIRECT_LOCATION) {
        putlog(LOG_REDIRECT, "302 redirect for %s to %s", subject.c_str(), url.c_str());
        response->location = url;
        return 0;
    }

    if (rule->send302 == 1) {
        putlog(LOG_REDIRECT, "sent 302 redirect for request for %s to %s", subject.c_str(), url.c_str());
        std::string location = url;
        if (url.front() != '/' && connection->url_commands != nullptr) {
            // The commands follow the client to the new address.
            const std::string prefix = url_command_create(*connection->url_commands);
            const std::size_t scheme_end = url.find("://");
            if (scheme_end != std::string::npos)
                location = url.substr(0, scheme_end + 3) + prefix + url.substr(scheme_end + 3);
            else
                location = prefix + url;
        }
        HeaderPtr answer = header_redirect_new(std::string(cut(location)));
        header_send(answer.get(), connection, SIDE_CLIENT, HEADER_TO_CLIENT);
        return 1;
    }

    std::size_t host_at = 0;
    if (const std::size_t scheme_end = url.find("://"); scheme_end != std::string::npos) {
        request->scheme = url.substr(0, scheme_end);
        host_at = scheme_end + 3;
    }
    const std::size_t slash = path_start(url);
    if (url.front() != '/')
        request->host = url.substr(host_at, slash == std::string::npos ? std::string::npos : slash - host_at);
    request->path = slash == std::string::npos ? std::string("/") : url.substr(slash);
    if (rule->port != -1)
        request->port = rule->port;
    if (request->host) {
        request->kind = HEADER_ABSOLUTE;
        header_complete(request);
        putlog(LOG_REDIRECT, "request for %s to %s://%s%s", subject.c_str(), text_or_empty(request->scheme),
               request->host->c_str(), request->path->c_str());
    } else {
        putlog(LOG_REDIRECT, "request for %s to %s", subject.c_str(), request->path->c_str());
    }
    return 0;
}
