// Rules as data: a subsection is an ordered list of items, each a copy of the subsection's
// field layout filled with values from the configuration file or the editor.
#pragma once

#include <atomic>
#include <list>
#include <string>

#include "config/field.h"
#include "util/regex.h"

class Item;
class XmlElement;

class Subsection {
public:
    bool enabled;             // a disabled subsection is hidden in the editor and refuses edits
    std::string section;      // the owning section's name
    std::string name;         // element name of its items in the configuration file
    std::string title;
    std::string help;
    std::list<Item> items;    // in configuration order, which is the order of the rules
    FieldVector templ;        // field layout and default values of new items

    Subsection(bool enabled, std::string section, std::string name, std::string title, std::string help,
               const FieldVector& templ);
};

class Item {
public:
    // Taken by every construction of an item, copies included, and advanced.
    static std::atomic<int> count;

    std::string section;
    std::string subsection;
    FieldVector fields;       // one per template position

    // A new item of the subsection. With a cursor, each field is loaded from the cursor's
    // current element; an optional field whose element is missing or whose "active" attribute
    // is unusable keeps the text it holds there (empty when missing) and stays inactive. A
    // value that does not parse throws ConfigError (logged).
    Item(const Subsection& owner, const XmlElement* cursor);
    // The copy gets a new id.
    Item(const Item& other);
    // Takes the other's names and fields; the id stays.
    Item& operator=(const Item& other);
    ~Item() = default;

    int id_get() const { return id_; }
    // 1 when some field's name matches the name pattern and its text the value pattern (a null
    // pattern matches anything); an item without fields never matches.
    int match(const Regex* name, const Regex* value) const;

    // The editor: reads the fields from a form; the read-only view, with the Up/Down/Top/Bottom
    // links when shift is non-zero.
    StringList read(const FormArgs& args) { return fields.read(args); }
    void display(Filebuf* page, int shift) const;

private:
    int id_;
};

// Whether the calling thread's last Section::item_iterator_get found its item.
extern thread_local int FLG;
