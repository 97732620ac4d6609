// The section side of the configuration editor: applying one form to a section and writing the
// section's page, its item forms and the read-only item view. Every form and widget comes from
// the field declarations, so a new setting is editable without code here.
#include <charconv>
#include <ctime>
#include <iterator>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "util/configerror.h"
#include "config/configfile.h"
#include "config/field.h"
#include "config/item.h"
#include "config/section.h"
#include "config/xmlcursor.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/regex.h"

namespace {

const std::string EMPTY;

// A form value the configuration document cannot carry: a control character would be written as
// a reference XML forbids, a byte that is not UTF-8 raw into a document declared UTF-8. Its
// text is the whole message for the page.
class FormTextError final : public ConfigError {
public:
    using ConfigError::ConfigError;
};

// Only a multi-line value holds line breaks; tabs are text everywhere.
void form_text_check(const Field& field, std::string_view value)
{
    const bool breaks = value.find_first_of("\r\n") != std::string_view::npos;
    if (!xml_text_acceptable(value) || (breaks && field.type != FIELD_MULTILINE_STRING))
        throw FormTextError(field.label + " must be UTF-8 text without control characters");
}

std::string position_name(int k)
{
    return "F" + std::to_string(k);
}

// The decimal id of the "id" argument; nullopt for an empty or unusable one.
std::optional<int> id_of(const FormArgs& args)
{
    const std::string& text = form_get(args, "id");
    int id = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), id);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return id;
}

const char* row_class(bool odd)
{
    return odd ? "entryfieldodd" : "entryfieldeven";
}

std::string help_html(const std::string& help)
{
    return string_to_html(help, 5);
}

// "label: " with the mouse-over help, as every labelled widget starts.
std::string hover(const std::string& label, const std::string& help)
{
    return "onMouseOver=\"EnterContent('" + label + "', '" + help_html(help) + "'); Activate();\" onMouseOut=\"deActivate();\"";
}

std::string errors_html(const StringList& errors, const char* head)
{
    std::string out = head;
    for (const std::string& error : errors)
        out += "<li>" + error + "</li>\n";
    out += "</ul></span></td></tr>\n";
    return out;
}

const char* const SUBMIT_ROW =
    "<tr class=\"entryeditdialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n";

// The exact-match position of value among the options, or -1.
int option_index(const StringSelectVector& options, const std::string& value)
{
    for (std::size_t i = 0; i < options.size(); ++i) {
        if (options[i].value == value)
            return static_cast<int>(i);
    }
    return -1;
}

void options_select(StringSelectVector& options, int index)
{
    for (std::size_t i = 0; i < options.size(); ++i)
        options[i].selected = static_cast<int>(i) == index;
}

}  // namespace

const std::string& form_get(const FormArgs& args, std::string_view name)
{
    const auto found = args.find(name);
    return found == args.end() ? EMPTY : found->second;
}

void Field::read(const FormArgs& args, int k)
{
    if (!enabled)
        return;
    const std::string f = position_name(k);
    if (optional) {
        active = form_get(args, f + "_active") == "on";
        if (!active)
            return;
    }
    const std::string& value = form_get(args, f);
    form_text_check(*this, value);
    if (type == FIELD_STRING_RANGE || type == FIELD_INT_RANGE)
        form_text_check(*this, form_get(args, f + "_2"));
    switch (type) {
    case FIELD_INT:
    case FIELD_UINT:
    case FIELD_FILE_SIZE:
    case FIELD_LONG_FILE_SIZE:
    case FIELD_DOUBLE:
    case FIELD_IP_RANGE_LIST:
    case FIELD_PORT_RANGE_LIST:
        text = value;
        value_parse(value);
        break;
    case FIELD_BOOL:
        // Stored as the configuration file writes booleans, so a saved file loads again.
        int_value = value == "true" ? 1 : 0;
        text = int_value != 0 ? "true" : "false";
        break;
    case FIELD_STRING:
        text = value;
        break;
    case FIELD_MULTILINE_STRING:
        text = value;
        string_list.clear();
        break;
    case FIELD_STRING_LIST:
        text = value;
        string_list.clear();
        string_list.parse(value, ",");
        break;
    case FIELD_STRING_SELECT_ONE: {
        // A value the list does not hold would be saved and then refused at the next load.
        const int index = option_index(options, value);
        if (index < 0)
            throw ConfigError("not an option: " + value);
        options_select(options, index);
        int_value = index;
        text = value;
        break;
    }
    case FIELD_STRING_SELECT_MANY: {
        text.clear();
        string_list.clear();
        unsigned mask = 0;
        for (std::size_t i = 0; i < options.size(); ++i) {
            options[i].selected = form_get(args, f + "_" + options[i].value) == "on";
            if (!options[i].selected)
                continue;
            mask |= 1U << (i % 32);
            if (!text.empty())
                text += ",";
            text += options[i].value;
            string_list.push_back(options[i].value);
        }
        int_value = static_cast<int>(mask);
        break;
    }
    case FIELD_STRING_RANGE: {
        const std::string& second = form_get(args, f + "_2");
        const int first_index = option_index(options, value);
        const int second_index = option_index(options2, second);
        if (first_index < 0 || second_index < 0)
            throw ConfigError("not an option: " + value + "," + second);
        options_select(options, first_index);
        options_select(options2, second_index);
        int_value = first_index;
        int_value2 = second_index;
        text = value + "," + second;
        break;
    }
    case FIELD_INT_RANGE: {
        const std::string& second = form_get(args, f + "_2");
        const int low = string_to_int(value);
        const int high = string_to_int(second);
        if (low < range_min || low > range_max || high < range_min || high > range_max)
            throw ConfigError("integer range out of bounds");
        int_value = low;
        int_value2 = high;
        text = value + "," + second;
        break;
    }
    default:
        text = value;
        break;
    }
}

StringList FieldVector::read(const FormArgs& args)
{
    StringList errors;
    for (std::size_t k = 0; k < size(); ++k) {
        Field& field = (*this)[k];
        try {
            field.read(args, static_cast<int>(k));
        } catch (const FormTextError& error) {
            errors.push_back(error.what());
        } catch (const ConfigError&) {
            errors.push_back(field.label + " must be " + field.nature());
        }
    }
    return errors;
}

void Field::dialog_display(Filebuf* page, const FormArgs&, int k, bool& odd) const
{
    if (!enabled)
        return;
    const std::string pos = std::to_string(k);
    std::string row = std::string("<tr class=\"") + row_class(odd) + "\"><td width=\"20%\" " + hover(label, help) +
                      " valign=\"top\" align=\"left\">" + label + "</td><td>";
    if (optional)
        row += "<input type=\"checkbox\" name=\"F" + pos + "_active\" " + (active ? "checked" : "") +
               ">active &nbsp;&nbsp;&nbsp;";
    bool closed = false;
    switch (type) {
    case FIELD_BOOL: {
        const bool yes = text == "true";
        row += "Yes: <input type=\"radio\" name=\"F" + pos + "\" value=\"true\" " + (yes ? "checked" : "") + "> ";
        row += "No: <input type=\"radio\" name=\"F" + pos + "\" value=\"false\" " + (yes ? "" : "checked") + "> ";
        break;
    }
    case FIELD_STRING_SELECT_ONE:
        for (const StringSelect& option : options)
            row += "<font " + hover(option.label, option.help) + " valign=\"top\" align=\"left\">" + option.label +
                   ": </font><input type=\"radio\" name=\"F" + pos + "\" value=\"" + option.value + "\" " +
                   (option.selected ? "checked" : "") + "> ";
        break;
    case FIELD_STRING_SELECT_MANY:
        row += "<table class=\"checklist\" cellspacing=\"0\" cellpadding=\"0\" border=\"0\">\n";
        for (const StringSelect& option : options)
            row += "<tr><td " + hover(option.label, option.help) + " valign=\"top\" align=\"left\">" + option.label +
                   "</td><td><input type=\"checkbox\" name=\"F" + pos + "_" + option.value + "\" " +
                   (option.selected ? "checked" : "") + "></td></tr>\n";
        row += "</table>";
        break;
    case FIELD_STRING_RANGE: {
        const auto select = [&row](const std::string& name, const StringSelectVector& list) {
            row += "<select name=\"" + name + "\">";
            for (const StringSelect& option : list)
                row += "<option value=\"" + option.value + "\" " + (option.selected ? "selected" : "") + ">" +
                       option.label + "\n";
            row += "</select>";
        };
        select("F" + pos, options);
        row += "&nbsp;to ";
        select("F" + pos + "_2", options2);
        break;
    }
    case FIELD_INT_RANGE: {
        const std::string size = std::to_string(input_size);
        row += "<input type=\"text\" name=\"F" + pos + "\" size=\"" + size + "\" value=\"" + std::to_string(int_value) +
               "\"> to <input type=\"input\" name=\"F" + pos + "_2\" size=\"" + size + "\" value=\"" +
               std::to_string(int_value2) + "\">";
        break;
    }
    case FIELD_MULTILINE_STRING:
        row += "<textarea name=\"F" + pos + "\" cols=\"80\" rows=\"8\" wrap=\"virtual\">" + string_to_html(text, 0) +
               "</textarea></td></tr>\n";
        closed = true;
        break;
    default:
        row += "<input type=\"text\" name=\"F" + pos + "\" value=\"" + string_to_html(text, 0) + "\" size=\"" +
               std::to_string(input_size) + "\">";
        break;
    }
    if (!closed)
        row += "</td></tr>\n";
    page->Add(row);
    odd = !odd;
}

void FieldVector::dialog_display(Filebuf* page, const FormArgs& args) const
{
    bool odd = false;
    for (std::size_t k = 0; k < size(); ++k)
        (*this)[k].dialog_display(page, args, static_cast<int>(k), odd);
}

void Field::display(Filebuf* page, bool& odd) const
{
    if (!enabled)
        return;
    if (optional ? !active : text.empty())
        return;
    page->Add(std::string("<tr class=\"") + row_class(odd) + "\"><td width=\"20%\">" + label + "</td><td>" +
              string_to_html(text, 1) + "</td></tr>\n");
    odd = !odd;
}

void FieldVector::display(Filebuf* page) const
{
    bool odd = false;
    for (const Field& field : *this)
        field.display(page, odd);
}

void Item::display(Filebuf* page, int shift) const
{
    page->Add("<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
    fields.display(page);
    page->Add("<tr><td colspan=\"2\" align=\"center\"><table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\">\n");
    const std::string link = "config?section=" + section + "&amp;subsection=" + subsection;
    const std::string id = std::to_string(id_);
    page->Add("<tr class=\"entrydialogfoot\"><td align=\"center\"><a href=\"" + link + "&amp;dialog=show&amp;id=" + id +
              "\">Edit</a> <a href=\"" + link + "&amp;action=delete&amp;id=" + id + "\">Delete</a> <a href=\"" + link +
              "&amp;action=clone&amp;id=" + id + "\">Clone</a> </td>\n");
    if (shift != 0) {
        const std::string move = link + "&amp;action=shift&amp;id=" + id + "&amp;direction=";
        page->Add("<td align=\"center\"><a href=\"" + move + "up\">Up</a> <a href=\"" + move + "down\">Down</a></td>\n");
        page->Add("<td align=\"center\"><a href=\"" + move + "top\">Top</a> <a href=\"" + move +
                  "bottom\">Bottom</a></td></tr>\n");
    }
    page->Add("</table></td></tr>\n");
}

StringList Section::interface_action(Filebuf*, const FormArgs& args, CONNECTION_T*)
{
    StringList errors;
    const std::optional<int> id = id_of(args);
    const std::string& action = form_get(args, "action");
    {
        // Writers are serialised by writer_mutex_, so the items hold still while this one
        // reads them; each change is made under the write lock and the rules are rebuilt
        // afterwards by update(), which swaps the new generation in whole.
        std::lock_guard writer(writer_mutex_);
        Subsection* subsection = subsection_get(form_get(args, "subsection"));
        if (subsection != nullptr && !subsection->enabled)
            return errors;
        if (action.empty())
            return errors;

        std::list<Item> dead;   // removed or replaced items die after the lock is released
        if (!id && action != "add") {
            FieldVector copy = fields_;
            errors = copy.read(args);
            if (errors.empty()) {
                SectionWriteLock lock(*this);
                fields_.swap(copy);
            }
        } else if (action == "add") {
            // An add needs a subsection to add to; a name the section lacks adds nothing.
            if (subsection != nullptr) {
                Item item(*subsection, nullptr);
                errors = item.read(args);
                if (errors.empty()) {
                    SectionWriteLock lock(*this);
                    subsection->items.push_back(std::move(item));
                }
            }
        } else {
            const auto item = item_iterator_get(*id);
            if (FLG == 0) {
                errors.push_back("Entry ID doesn't exist");
                return errors;
            }
            Subsection* owner = subsection_get(item->subsection);
            std::list<Item>& list = owner != nullptr ? owner->items : subsections_.back().items;
            if (action == "delete") {
                SectionWriteLock lock(*this);
                dead.splice(dead.end(), list, item);
            } else if (action == "edit") {
                FieldVector copy = item->fields;
                errors = copy.read(args);
                if (errors.empty()) {
                    SectionWriteLock lock(*this);
                    item->fields.swap(copy);
                }
            } else if (action == "clone") {
                Item clone(*item);
                SectionWriteLock lock(*this);
                list.insert(item, std::move(clone));
            } else if (action == "shift") {
                const std::string& direction = form_get(args, "direction");
                const bool first = item == list.begin();
                const bool last = std::next(item) == list.end();
                std::list<Item>::iterator to = list.end();
                bool moves = false;
                if (direction == "up" && !first) {
                    to = std::prev(item);
                    moves = true;
                } else if (direction == "down" && !last) {
                    to = std::next(item, 2);
                    moves = true;
                } else if (direction == "top" && !first) {
                    to = list.begin();
                    moves = true;
                } else if (direction == "bottom" && !last) {
                    to = list.end();
                    moves = true;
                }
                if (moves) {
                    // The moved item is a copy, so it shows a new id; its neighbours keep theirs.
                    Item moved(*item);
                    SectionWriteLock lock(*this);
                    list.insert(to, std::move(moved));
                    dead.splice(dead.end(), list, item);
                }
            }
        }
        update();
    }
    {
        std::lock_guard document_guard(documentlock);
        documentsynctime = std::time(nullptr);
    }
    return errors;
}

void Section::display_enabled(Filebuf* page)
{
    SectionReadLock lock(*this);
    if (fields_.empty() || fields_[0].name != "enabled")
        return;
    const bool on = fields_[0].int_value == 1;
    page->Add("<tr><td>" + title_ + "</td><td><input type=\"radio\" name=\"" + name_ + "\" value=\"on\" " +
              (on ? "checked" : "") + "></td><td><input type=\"radio\" name=\"" + name_ + "\" value=\"off\" " +
              (on ? "" : "checked") + "></td></tr>\n");
}

void Section::interface(Filebuf* page, const FormArgs& args, CONNECTION_T*, const StringList& errors)
{
    SectionReadLock lock(*this);
    const std::string& matchname = form_get(args, "matchname");
    const std::string& matchvalue = form_get(args, "matchvalue");
    page->Add("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\">\n");
    page->Add("<tr><td align=\"center\"><table class=\"sectiondesc\"><tr class=\"listhead1\"><td align=\"center\">" + name_ +
              " section</td></tr><tr><td>" + help_ + "</tr></td></table> <tr><td><br></td></tr>\n");
    if (!fields_.empty() && matchname.empty() && matchvalue.empty()) {
        page->Add("<tr><td align=\"center\"><table class=\"entryeditdialog\"  cellspacing=\"0\" cellpadding=\"0\">");
        page->Add("<tr class=\"entryeditdialoghead\"><td>Option</td><td>Value</td></tr>\n");
        if (!errors.empty())
            page->Add(errors_html(errors, "<tr><td colspan=\"2\"><span style=\"color: rgb(102, 0, 0);\"> <br><ul>\n"));
        page->Add("<tr></td><form action=\"config\" method=\"POST\">\n");
        page->Add("<input type=\"hidden\" name=\"section\" value=\"" + name_ + "\">\n");
        page->Add("<input type=\"hidden\" name=\"action\" value=\"global\">\n");
        fields_.dialog_display(page, args);
        page->Add(SUBMIT_ROW);
        page->Add("</form></td></tr></table></td></tr> <tr><td><br></td></tr>\n");
    }
    const std::unique_ptr<Regex, RegexRelease> name_pattern(
        matchname.empty() ? nullptr : reg_compile(matchname.c_str(), REG_CASELESS));
    const std::unique_ptr<Regex, RegexRelease> value_pattern(
        matchvalue.empty() ? nullptr : reg_compile(matchvalue.c_str(), REG_CASELESS));
    for (const Subsection& subsection : subsections_) {
        if (!subsection.enabled)
            continue;
        page->Add("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%\">\n");
        page->Add("<tr><td align=\"center\"><table class=\"subsectionheader\">\n");
        page->Add("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\" " + hover(subsection.title, subsection.help) +
                  "><b>" + subsection.title + "</b></td></tr>\n");
        page->Add("<tr><td colspan=\"2\" align=\"center\"><a href=\"config?section=" + name_ +
                  "&amp;subsection=" + subsection.name + "&amp;dialog=show\">Add</a></td></tr>\n");
        page->Add("</table></td></tr> <tr><td><br></td></tr>\n");
        for (const Item& item : subsection.items) {
            if (item.match(name_pattern.get(), value_pattern.get()) != 1)
                continue;
            page->Add("<tr><td align=\"center\">\n");
            page->Add("<table class=\"entrydialog\"  cellspacing=\"0\" cellpadding=\"0\" >\n");
            item.display(page, 1);
            page->Add("</table></td></tr> <tr><td><br></td></tr>\n");
        }
        page->Add("</table>\n");
    }
    page->Add("</table>\n");
}

void Section::interface_dialog(Filebuf* page, const FormArgs& args, CONNECTION_T*, const StringList& errors)
{
    SectionReadLock lock(*this);
    const std::optional<int> id = id_of(args);
    const std::string& subsection_name = form_get(args, "subsection");
    const Subsection* subsection = subsection_get(subsection_name);
    // A subsection the section lacks has no form, like a disabled one.
    if (subsection == nullptr || !subsection->enabled)
        return;
    // An id from an older page may be gone; the form is then left out rather than guessed.
    const Item* item = nullptr;
    if (id && errors.empty()) {
        const auto found = item_iterator_get(*id);
        if (FLG == 0)
            return;
        item = &*found;
    }
    page->Add("<tr><td align=\"center\"><table class=\"entryeditdialog\"  cellspacing=\"0\" cellpadding=\"0\">\n");
    page->Add("<tr class=\"entryeditdialoghead\"><td>Option</td><td>Value</td></tr>\n");
    if (errors.empty()) {
        page->Add("<form action=\"config\" method=\"POST\">\n");
        page->Add("<input type=\"hidden\" name=\"section\" value=\"" + name_ + "\">\n");
        page->Add("<input type=\"hidden\" name=\"subsection\" value=\"" + subsection_name + "\">\n");
        if (item == nullptr) {
            page->Add("<input type=\"hidden\" name=\"action\" value=\"add\">\n");
            subsection->templ.dialog_display(page, args);
        } else {
            page->Add("<input type=\"hidden\" name=\"action\" value=\"edit\">\n");
            page->Add("<input type=\"hidden\" name=\"id\" value=\"" + std::to_string(*id) + "\">\n");
            item->fields.dialog_display(page, args);
        }
        page->Add(SUBMIT_ROW);
        page->Add("</form></table></td></tr>\n");
    } else {
        page->Add(errors_html(errors, "<tr><td colspan=\"2\"><span style=\"color: rgb(102, 0, 0);\">  <br><ul>\n"));
    }
}
