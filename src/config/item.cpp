#include "config/item.h"

#include "config/xmlcursor.h"

std::atomic<int> Item::count{0};
thread_local int FLG = 0;

Subsection::Subsection(bool enabled, std::string section, std::string name, std::string title, std::string help,
                       const FieldVector& templ)
    : enabled(enabled), section(std::move(section)), name(std::move(name)), title(std::move(title)),
      help(std::move(help)), templ(templ)
{
}

Item::Item(const Subsection& owner, const XmlElement* cursor)
    : section(owner.section), subsection(owner.name), fields(owner.templ), id_(count.fetch_add(1))
{
    if (cursor == nullptr)
        return;
    for (Field& field : fields) {
        if (!field.load(*cursor)) {
            field.text = cursor->string_read(field.name);
            field.active = false;
        }
    }
}

Item::Item(const Item& other)
    : section(other.section), subsection(other.subsection), fields(other.fields), id_(count.fetch_add(1))
{
}

Item& Item::operator=(const Item& other)
{
    section = other.section;
    subsection = other.subsection;
    fields = other.fields;
    return *this;
}

int Item::match(const Regex* name, const Regex* value) const
{
    for (const Field& field : fields) {
        if ((name == nullptr || reg_exec(name, field.name.c_str()) == 0) &&
            (value == nullptr || reg_exec(value, field.text.c_str()) == 0))
            return 1;
    }
    return 0;
}
