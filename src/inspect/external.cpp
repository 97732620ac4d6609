#include "inspect/external.h"


#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/options.h"
#include "core/processors.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "http/response.h"
#include "config/program.h"
#include "inspect/antivirus.h"
#include "util/descriptor.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/log.h"
#include "util/mem.h"

ExternalSection* external_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_COUNT = 1,
};

} // namespace

External::External(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= EXTERNAL_FIELD_COUNT);
    enabled = f[EXTERNAL_FIELD_ENABLED].int_value;
    comment = f[EXTERNAL_FIELD_COMMENT].text;
    profiles = f[EXTERNAL_FIELD_PROFILES].string_list;
    command = f[EXTERNAL_FIELD_COMMAND].text;
    mode = f[EXTERNAL_FIELD_MODE].int_value;
    stages = f[EXTERNAL_FIELD_STAGES].int_value;
    type = f[EXTERNAL_FIELD_TYPE].int_value;
    input = f[EXTERNAL_FIELD_INPUT].int_value;
}

bool External::applies(const CONNECTION_T& connection, int bits) const
{
    return enabled != 0 && !command.empty() && (stages & bits) != 0 &&
           profile_find(connection.profiles, profiles) == 1;
}

ExternalSection::ExternalSection() : Section("external", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= EXTERNAL_FIELD_COUNT);
    update();
}

void ExternalSection::update()
{
    rules_.rebuild([this](ExternalRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        rules_from_items(next.rules, subsections_[0]);
    });
}

int ExternalSection::check_match(CONNECTION_T* connection, int bits) const
{
    const std::shared_ptr<const ExternalRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_EXTERNAL) != 0)
        return 0;
    for (const External& rule : current->rules) {
        if (rule.applies(*connection, bits))
            return (bits & EXTERNAL_RESPONSE) != 0 && body_uninspected(connection, LOG_EXTERNAL, rule.command.c_str(), true) ? 0 : 1;
    }
    return 0;
}

void ExternalSection::process(CONNECTION_T* connection, Filebuf* body, int bits) const
{
    // The generation taken here is the one the whole walk uses, programs included.
    const std::shared_ptr<const ExternalRules> current = rules();
    if (current->enabled == 0 || (connection->bypass & BYPASS_EXTERNAL) != 0)
        return;
    for (const External& rule : current->rules) {
        if (!rule.applies(*connection, bits))
            continue;
        const bool auth = rule.type == EXTERNAL_TYPE_AUTH;
        if (auth && ((bits & EXTERNAL_AUTH) == 0 || (connection->auth & AUTH_EXTERNAL_FAILED) != 0))
            continue;
        // A body streamed past the program, or one that did not decode, is given as it is there:
        // none, or the bytes as they came.
        body_uninspected(connection, LOG_EXTERNAL, rule.command.c_str(), (bits & EXTERNAL_RESPONSE) != 0);

        Filebuf input;
        if ((rule.input & EXTERNAL_INPUT_REQUEST) != 0 && connection->request != nullptr && connection->request->raw)
            input.Add(*connection->request->raw);
        if ((rule.input & EXTERNAL_INPUT_RESPONSE) != 0 && connection->response != nullptr && connection->response->raw)
            input.Add(*connection->response->raw);
        if (body != nullptr)
            input.Add(body->view());

        int status = 0;
        const std::unique_ptr<Filebuf> output = external_exec(connection, rule.command.c_str(), &input, rule.mode, &status);
        if (output == nullptr)
            continue;

        const std::string_view text = output->view();
        const std::size_t head = header_length(text, text.size());
        const bool response = header_type(text, head) == 1;
        HeaderPtr parsed = response ? http_header_parse_response(text.substr(0, head))
                                    : http_header_parse_request(text.substr(0, head));
        if (parsed == nullptr) {
            putlog(LOG_EXTERNAL, response ? "error: external parser sent null or invalid response headers"
                                          : "error: external parser sent null or invalid request headers");
        } else {
            for (const HTTP_HEADER& line : parsed->lines) {
                if (equal_nocase(line.name, "X-username")) {
                    putlog(LOG_DEBUG, "external: external parser sent X-username: %s", line.value.c_str());
                    connection->username = line.value;
                } else if (equal_nocase(line.name, "X-profiles")) {
                    putlog(LOG_DEBUG, "external: external parser sent X-profiles: %s", line.value.c_str());
                    for (std::string& name : string_break(line.value, ',')) {
                        if (std::find(connection->profiles.begin(), connection->profiles.end(), name) ==
                            connection->profiles.end())
                            connection->profiles.push_back(std::move(name));
                    }
                }
            }
            if (status == 0) {
                if (!response) {
                    connection->request = std::move(parsed);
                } else if (connection->response != nullptr) {
                    // The response belongs to whoever built it: it is changed in place.
                    *connection->response = std::move(*parsed);
                } else {
                    // An answer: the request road sends it and frees it.
                    connection->response = parsed.release();
                }
            }
        }
        if (status == 0 && head < text.size()) {
            Filebuf rest;
            rest.Add(text.substr(head));
            if (body == nullptr) {
                if (connection->body == nullptr)
                    connection->body = std::make_unique<Filebuf>();
                body = connection->body.get();
            }
            body->Swap(&rest);
        }
        putlog(LOG_EXTERNAL, "parsed with %s", rule.command.c_str());
        if (auth) {
            if (status != 0)
                connection->auth |= AUTH_EXTERNAL_FAILED;
            break;
        }
    }
}

int external_auth(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section == nullptr)
        return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST | EXTERNAL_AUTH);
    return connection->response != nullptr ? 1 : 0;
}

int external_reqmod(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section == nullptr)
        return 0;
    external_section->process(connection, body, EXTERNAL_REQUEST);
    return connection->response != nullptr ? 1 : 0;
}

int external_respmod(CONNECTION_T* connection, Filebuf* body)
{
    if (external_section != nullptr)
        external_section->process(connection, body, EXTERNAL_RESPONSE);
    return 1;
}

int external_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return external_section != nullptr ? external_section->check_match(connection, EXTERNAL_RESPONSE) : 0;
}
