#include "config/section.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <strings.h>

#include "util/log.h"
#include "util/mem.h"
#include "config/xmlcursor.h"

std::unique_ptr<TiXmlDocument> sectionxml;
std::map<std::string, Section*> Section::map;

namespace {

// Reading the definition document: anything required that is missing is a fatal assertion.

const TiXmlElement* required(const TiXmlElement* parent, const char* name)
{
    const TiXmlElement* element = parent->FirstChildElement(name);
    FATAL_ASSERT(element != nullptr);
    return element;
}

std::string text_of(const TiXmlElement* element)
{
    const char* text = element->GetText();
    return text != nullptr ? text : "";
}

std::string required_text(const TiXmlElement* parent, const char* name)
{
    const char* text = required(parent, name)->GetText();
    FATAL_ASSERT(text != nullptr && *text != '\0');
    return text;
}

// A flag element is true when its text is "true" in any case; present, it must have text.
bool flag(const TiXmlElement* parent, const char* name, bool absent)
{
    const TiXmlElement* element = parent->FirstChildElement(name);
    if (element == nullptr)
        return absent;
    const char* text = element->GetText();
    FATAL_ASSERT(text != nullptr && *text != '\0');
    return strcasecmp(text, "true") == 0;
}

bool choice_type(int type)
{
    return type == FIELD_STRING_SELECT_ONE || type == FIELD_STRING_SELECT_MANY || type == FIELD_STRING_RANGE;
}

using ChoiceLists = std::map<std::string, StringSelectVector>;

ChoiceLists choice_lists_parse(const TiXmlElement* select)
{
    ChoiceLists lists;
    if (select == nullptr)
        return lists;
    for (const TiXmlElement* list = select->FirstChildElement(); list != nullptr; list = list->NextSiblingElement()) {
        StringSelectVector& options = lists[list->ValueStr()];
        options.clear();
        for (const TiXmlElement* option = list->FirstChildElement(); option != nullptr;
             option = option->NextSiblingElement()) {
            const std::string value = option->ValueStr();
            const TiXmlElement* comment = option->FirstChildElement("comment");
            const std::string label = comment != nullptr ? required_text(option, "comment") : value;
            const bool selected = flag(option, "value", false);
            const TiXmlElement* desc = option->FirstChildElement("desc");
            options.emplace_back(value, label, desc != nullptr ? text_of(desc) : "", selected);
        }
    }
    return lists;
}

} // namespace

void FieldVector::parse(const TiXmlElement* element, const ChoiceLists& lists)
{
    int position = 0;
    for (const TiXmlElement* declaration = element->FirstChildElement(); declaration != nullptr;
         declaration = declaration->NextSiblingElement(), ++position) {
        const std::string* n = declaration->Attribute(std::string("n"));
        FATAL_ASSERT(n != nullptr);
        int declared = -1;
        const auto [end, error] = std::from_chars(n->data(), n->data() + n->size(), declared);
        FATAL_ASSERT(error == std::errc() && end == n->data() + n->size() && declared == position);

        std::string name = declaration->ValueStr();
        std::string label = required_text(declaration, "comment");
        std::string value = text_of(required(declaration, "value"));
        const int type = Field::type_get(required_text(declaration, "type"));
        const bool optional = flag(declaration, "optional", false);
        std::string help = text_of(required(declaration, "desc"));
        const bool enabled = flag(declaration, "enabled", true);

        if (choice_type(type)) {
            const auto list = lists.find(value);
            emplace_back(enabled, std::move(name), std::move(label), std::move(help),
                         list != lists.end() ? list->second : StringSelectVector(), type, optional);
        } else {
            emplace_back(enabled, std::move(name), std::move(label), std::move(help), std::move(value), type,
                         optional);
        }
    }
}

void sectionxml_load(const std::string& path)
{
    auto document = std::make_unique<TiXmlDocument>();
    std::string why;
    if (!xml_file_load(*document, path, why)) {
        putlog(LOG_ERROR, "Error when parsing section.xml: %s", why.c_str());
        putlog(LOG_ALWAYS, "Please correct errors in section.xml: %s", why.c_str());
        process_exit(1);
    }
    sectionxml = std::move(document);
}

Section::Section(std::string name, int lockkind) : lockkind_(lockkind), name_(std::move(name))
{
    putlog(LOG_DEBUG, "Validating Section: %s", name_.c_str());

    FATAL_ASSERT(sectionxml != nullptr);
    const TiXmlElement* root = sectionxml->FirstChildElement("section");
    FATAL_ASSERT(root != nullptr);
    const TiXmlElement* element = root->FirstChildElement(name_);
    FATAL_ASSERT(element != nullptr);
    title_ = required_text(element, "comment");
    help_ = required_text(element, "desc");

    const ChoiceLists lists = choice_lists_parse(element->FirstChildElement("select"));
    fields_.parse(required(element, "global"), lists);

    std::map<std::string, FieldVector> templates;
    if (const TiXmlElement* declared = element->FirstChildElement("template")) {
        for (const TiXmlElement* layout = declared->FirstChildElement(); layout != nullptr;
             layout = layout->NextSiblingElement()) {
            FieldVector& fields = templates[layout->ValueStr()];
            fields.clear();
            fields.parse(layout, lists);
        }
    }

    if (const TiXmlElement* declared = element->FirstChildElement("subsection")) {
        for (const TiXmlElement* sub = declared->FirstChildElement(); sub != nullptr; sub = sub->NextSiblingElement()) {
            const bool enabled = flag(sub, "enabled", true);
            std::string title = required_text(sub, "comment");
            const auto layout = templates.find(required_text(sub, "template"));
            std::string help = required_text(sub, "desc");
            subsections_.emplace_back(enabled, name_, sub->ValueStr(), std::move(title), std::move(help),
                                      layout != templates.end() ? layout->second : FieldVector());
        }
    }

    // Registered only once whole, so the map never names a section that failed to build.
    map[name_] = this;
}

Section::~Section()
{
    const auto entry = map.find(name_);
    if (entry != map.end() && entry->second == this)
        map.erase(entry);
}

int Section::read_lock() const
{
    if (lockkind_ == SECTION_MUTEX)
        mutex_.lock();
    else
        rwlock_.lock_shared();
    return 0;
}

int Section::write_lock() const
{
    if (lockkind_ == SECTION_MUTEX) {
        mutex_.lock();
    } else {
        rwlock_.lock();
        writer_.store(std::this_thread::get_id());
    }
    return 0;
}

int Section::unlock() const
{
    if (lockkind_ == SECTION_MUTEX) {
        mutex_.unlock();
    } else if (writer_.load() == std::this_thread::get_id()) {
        writer_.store(std::thread::id());
        rwlock_.unlock();
    } else {
        rwlock_.unlock_shared();
    }
    return 0;
}

int Section::mutex_lock() const
{
    FATAL_ASSERT(lockkind_ == SECTION_MUTEX);
    mutex_.lock();
    return 0;
}

int Section::cond_wait(std::condition_variable& cond) const
{
    FATAL_ASSERT(lockkind_ == SECTION_MUTEX);
    std::unique_lock lock(mutex_, std::adopt_lock);
    cond.wait(lock);
    lock.release();
    return 0;
}

int Section::cond_timedwait(std::condition_variable& cond, const timespec& until) const
{
    FATAL_ASSERT(lockkind_ == SECTION_MUTEX);
    const auto deadline = std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::seconds(until.tv_sec) + std::chrono::nanoseconds(until.tv_nsec)));
    std::unique_lock lock(mutex_, std::adopt_lock);
    const std::cv_status status = cond.wait_until(lock, deadline);
    lock.release();
    return status == std::cv_status::timeout ? ETIMEDOUT : 0;
}

int Section::atomic_read(const int* value) const
{
    SectionReadLock lock(*this);
    return *value;
}

unsigned int Section::atomic_read(const unsigned int* value) const
{
    SectionReadLock lock(*this);
    return *value;
}

long Section::atomic_read(const long* value) const
{
    SectionReadLock lock(*this);
    return *value;
}

unsigned long Section::atomic_read(const unsigned long* value) const
{
    SectionReadLock lock(*this);
    return *value;
}

std::string Section::name_get() const
{
    SectionReadLock lock(*this);
    return name_;
}

std::string Section::comment_get() const
{
    SectionReadLock lock(*this);
    return title_;
}

Subsection* Section::subsection_get(const std::string& name)
{
    for (Subsection& subsection : subsections_) {
        if (subsection.name == name)
            return &subsection;
    }
    return nullptr;
}

std::optional<Section::Values> Section::values_read(TiXmlDocument* document) const
{
    std::optional<XmlElement> cursor;
    try {
        cursor.emplace(document, name_);
    } catch (const ConfigError&) {
        return std::nullopt;
    }

    Values next;
    {
        SectionReadLock lock(*this);
        next.globals = fields_;
    }
    // An optional field without a usable element keeps its text and values together.
    for (Field& field : next.globals)
        field.load(*cursor);

    for (const Subsection& subsection : subsections_) {
        std::list<Item>& items = next.items.emplace_back();
        for (XmlElement element(document, name_, subsection.name); element.full(); element.next()) {
            const Item item(subsection, &element);
            items.push_back(item);
        }
    }
    return next;
}

void Section::load(TiXmlDocument* document, int mode)
{
    std::lock_guard writer(writer_mutex_);
    std::optional<Values> next = values_read(document);
    if (!next)
        throw ConfigError("no element for section " + name_);

    std::vector<std::list<Item>> old(subsections_.size());
    {
        SectionWriteLock lock(*this);
        for (std::size_t i = 0; i < fields_.size(); ++i)
            fields_[i] = std::move(next->globals[i]);
        for (std::size_t i = 0; i < subsections_.size(); ++i) {
            std::list<Item>& items = subsections_[i].items;
            if (mode != 0)
                old[i].swap(items);
            items.splice(items.end(), next->items[i]);
        }
    }
    // The replaced items die unlocked.
    old.clear();
    update();
}

bool Section::check(TiXmlDocument* document) const
{
    return values_read(document).has_value();
}

void Section::save(TiXmlDocument* document) const
{
    FATAL_ASSERT(document != nullptr);
    TiXmlElement* root = document->RootElement();
    FATAL_ASSERT(root != nullptr && root->ValueStr() == "tarvodine");

    SectionReadLock lock(*this);
    TiXmlElement* element = root->FirstChildElement(name_);
    if (element == nullptr)
        element = root->LinkEndChild(std::make_unique<TiXmlElement>(name_).release())->ToElement();
    element->Clear();
    fields_.save(element);
    for (const Subsection& subsection : subsections_) {
        for (const Item& item : subsection.items) {
            auto child = std::make_unique<TiXmlElement>(subsection.name);
            item.fields.save(child.get());
            element->LinkEndChild(child.release());
        }
    }
}

std::list<Item>::iterator Section::item_iterator_get(int id)
{
    for (Subsection& subsection : subsections_) {
        for (auto item = subsection.items.begin(); item != subsection.items.end(); ++item) {
            if (item->id_get() == id) {
                FLG = 1;
                return item;
            }
        }
    }
    FLG = 0;
    return subsections_.empty() ? std::list<Item>::iterator() : subsections_.back().items.end();
}

Item& Section::item_get(int id)
{
    const auto item = item_iterator_get(id);
    FATAL_ASSERT(FLG == 1);
    return *item;
}
