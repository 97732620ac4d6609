#include "inspect/fprot.h"

#include <strings.h>

#include <tinyxml.h>

#include "config/item.h"
#include "config/xmlcursor.h"
#include "core/processors.h"
#include "http/httpclient.h"
#include "util/filebuf.h"
#include "util/regex.h"
#include "util/url.h"

FProtSection* fprot_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_TEMPLATE = 1,
    GLOBAL_COUNT = 2,
};

const AntivirusTraits TRAITS = {
    "F-Prot", "f-prot", 202, LOG_ANTIVIRUS, "cached file already checked for viruses", "detected %s virus with F-Prot",
};

// The daemon is handed the path in its URL, which the proxy keeps within this many characters.
constexpr std::size_t PATH_LIMIT = 1024;

const char* element_text(const TiXmlElement* element)
{
    return element != nullptr ? element->GetText() : nullptr;
}

} // namespace

FProt::FProt(const Item& item) : AntivirusRule(item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= FPROT_FIELD_COUNT);
    archive = f[FPROT_FIELD_ARCHIVE].int_value;
    options = f[FPROT_FIELD_OPTIONS].int_value;
}

std::string FProt::options_text() const
{
    std::string text;
    if ((options & FPROT_ARCHIVE) != 0)
        text += "-archive=" + std::to_string(archive) + "%20";
    if ((options & FPROT_PACKED) != 0)
        text += "-packed%20";
    if ((options & FPROT_AI) != 0)
        text += "-ai%20";
    if ((options & FPROT_NOHEUR) != 0)
        text += "-noheur%20";
    if ((options & FPROT_NOMACRO) != 0)
        text += "-nomacro%20";
    if ((options & FPROT_ONLYMACRO) != 0)
        text += "-onlymacro%20";
    return text;
}

AntivirusVerdict fprot_reply_read(std::string_view reply)
{
    // TinyXML cannot read an internal DTD subset: the declaration goes first.
    Filebuf text;
    text.Add(reply);
    if (const UniqueRegexSub doctype(reg_sub_compile("<!DOCTYPE[^\\]]*\\]>", 0)); doctype != nullptr)
        reg_replace(text, doctype.get(), nullptr, nullptr);
    const std::string xml(text.view());
    // Bounded in depth: the reply is parsed on a connection thread, whose stack a reply nested
    // without end would otherwise exhaust.
    TiXmlDocument document;
    std::string why;
    const TiXmlElement* root = xml_text_load(document, xml, why) ? document.RootElement() : nullptr;
    if (root != nullptr && root->ValueStr() != "fprot-results")
        root = nullptr;
    const TiXmlElement* summary = root != nullptr ? root->FirstChildElement("summary") : nullptr;
    if (summary == nullptr) {
        putlog(LOG_ANTIVIRUS, "error parsing F-Prot result XML");
        return AntivirusVerdict::failed();
    }
    const char* verdict = element_text(summary);
    if (verdict == nullptr || strcasecmp(verdict, "infected") != 0) {
        putlog(LOG_ANTIVIRUS, "no viruses detected by F-Prot");
        // A summary without a word is no completed scan.
        return verdict != nullptr ? AntivirusVerdict::clean() : AntivirusVerdict::failed();
    }
    const TiXmlElement* detected = root->FirstChildElement("detected");
    if (detected == nullptr)
        return AntivirusVerdict::infected({}, AntivirusVerdict::UNKNOWN);
    const char* name = element_text(detected->FirstChildElement("name"));
    if (name == nullptr)
        return AntivirusVerdict::infected({}, AntivirusVerdict::UNNAMED);
    return AntivirusVerdict::infected(name);
}

FProtSection::FProtSection() : AntivirusSection("fprot", TRAITS)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(subsections_[0].templ.size() >= FPROT_FIELD_COUNT);
    update();
}

void FProtSection::update()
{
    rebuild(GLOBAL_ENABLED, GLOBAL_TEMPLATE, [](FProtSettings&) {});
}

AntivirusVerdict FProtSection::scan(const FProt& rule, const FProtSettings&, const Filebuf& body,
                                    const ScanLimits& limits) const
{
    TempFile file(PATH_LIMIT);
    if (!file.ok() || !file.write(body))
        return AntivirusVerdict::failed();
    const std::string options = rule.options_text();
    for (int port = FPROT_PORT_FIRST; port <= FPROT_PORT_LAST; ++port) {
        const std::string text =
            "http://127.0.0.1:" + std::to_string(port) + file.path() + "?" + options + "-remote-dtd%20";
        const std::optional<URL> url = url_parse(text);
        if (!url)
            continue;
        std::unique_ptr<HTTPRESPONSE, void (*)(HTTPRESPONSE*)> response(http_fetch(*url, nullptr, limits.reply_max),
                                                                          httpresponse_free);
        if (response == nullptr)
            continue;
        return fprot_reply_read(response->body.view());
    }
    putlog(LOG_ANTIVIRUS, "connection to F-Prot daemon scanner failed");
    return AntivirusVerdict::failed();
}

int fprot_buffcheck(CONNECTION_T* connection, Filebuf*)
{
    return fprot_section->check_match(connection);
}

int fprot_respcheck(CONNECTION_T* connection, Filebuf* body)
{
    return fprot_section->check_and_block(connection, body);
}
