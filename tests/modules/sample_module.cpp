// A module as a third party would write one: it declares a section of its own in sample.xml and
// registers a request-check callback that logs the request it saw and whether the section is on.
// Built by the tests and loaded by the daemon from its module directory.
#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "core/processors.h"
#include "util/log.h"

namespace {

struct SampleRules {
    bool enabled = false;
    std::vector<std::string> words;
};

class SampleSection final : public Section {
public:
    SampleSection() : Section("sample", SECTION_RWLOCK) {}

    void update() override
    {
        rules_.rebuild([this](SampleRules& next) {
            next.enabled = fields_[0].int_value != 0;
            for (const Item& item : subsections_[0].items)
                next.words.push_back(item.fields[0].text);
        });
    }

    std::shared_ptr<const SampleRules> rules() const { return rules_.snapshot(); }

private:
    SectionRules<SampleRules> rules_{*this};
};

std::unique_ptr<SampleSection> sample_section;

int sample_reqcheck(CONNECTION_T*, Filebuf*)
{
    const auto rules = sample_section->rules();
    std::string words;
    for (const std::string& word : rules->words)
        words += word + ";";
    putlog(LOG_MODULE, "sample module: request seen, enabled %d, words %s", rules->enabled ? 1 : 0, words.c_str());
    return 0;
}

}  // namespace

extern "C" bool sample_load()
{
    sample_section = std::make_unique<SampleSection>();
    processors.Add(sample_reqcheck, STAGE_REQUEST_CHECK);
    return true;
}

// Loaded under other file names by the tests: a module that refuses to start, registering nothing.
extern "C" bool refuse_load()
{
    return false;
}

extern "C" bool nodef_load()
{
    return true;
}
