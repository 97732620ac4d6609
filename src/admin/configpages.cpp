#include "admin/configpages.h"

#include <string>

#include "admin/interface.h"
#include "config/configfile.h"
#include "config/section.h"
#include "core/options.h"
#include "util/filebuf.h"
#include "util/helpers.h"
#include "util/stringutil.h"

namespace {

// Submitted texts go back into the page as attribute values, never as markup.
std::string attribute(const std::string& text)
{
    return string_to_html(text, 0);
}

void message_dialog(Filebuf* page, const char* message)
{
    page->Add("<tr><td align=\"center\"><table class=\"dialog\">\n<tr class=\"dialoghead\"><td align=\"center\">");
    page->Add(message);
    page->Add("</td></tr>\n</table></td></tr>\n");
}

void filename_form(Filebuf* page, const char* title, const char* action, bool overwrite)
{
    page->Add("<tr><td align=\"center\"><form method=\"POST\" action=\"" + std::string(action) +
              "\">\n<table class=\"dialog\">\n<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">" + title +
              "</td></tr>\n");
    page->Add("<tr><td>Filename</td><td><input type=\"text\" name=\"filename\" size=\"40\" value=\"" +
              attribute(configfile) + "\"></td></tr>\n");
    if (overwrite)
        page->Add("<tr><td>Overwrite</td><td>Yes: <input type=\"radio\" name=\"overwrite\" value=\"yes\" checked> "
                  "No: <input type=\"radio\" name=\"overwrite\" value=\"no\"></td></tr>\n");
    page->Add("<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
              "</table>\n</form></td></tr>\n");
}

}  // namespace

void interface_page_config(Filebuf* page, CGIMap& args, CONNECTION_T* connection)
{
    const FormArgs& form = args.values();
    const std::string& section_name = args.get("section");
    const std::string& subsection = args.get("subsection");
    const std::string& action = args.get("action");
    const std::string& dialog = args.get("dialog");
    const std::string& matchname = args.get("matchname");
    const std::string& matchvalue = args.get("matchvalue");

    page->Add("<tr><td align=\"center\"><table><tr><td valign=\"top\">\n");
    page->Add("<form method=\"POST\" action=\"config\">\n<table class=\"dialog\">\n"
              "<tr class=\"dialoghead\"><td align=\"center\">Select a Section to Configure</td></tr>\n"
              "<tr><td align=\"center\"><select name=\"section\">\n<option value=\"\">Select a section\n");
    for (const auto& [name, section] : Section::map)
        page->Add("<option value=\"" + attribute(name) + "\"" + (name == section_name ? " selected" : "") + ">" +
                  section->comment_get() + "\n");
    page->Add("</select></td></tr>\n<tr class=\"dialogfoot\"><td align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
              "</table>\n</form></td><td valign=\"top\">\n");
    page->Add("<form method=\"POST\" action=\"config\">\n<input type=\"hidden\" name=\"section\" value=\"" +
              attribute(section_name) + "\">\n<table class=\"dialog\">\n"
              "<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Search entries</td></tr>\n"
              "<tr><td>Option: </td><td><input type=\"text\" name=\"matchname\" size=\"20\" value=\"" +
              attribute(matchname) + "\"></td></tr>\n"
              "<tr><td>Value: </td><td><input type=\"text\" name=\"matchvalue\" size=\"20\" value=\"" +
              attribute(matchvalue) + "\"></td></tr>\n"
              "<tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
              "</table>\n</form></td></tr></table></td></tr>\n");

    page->Add("<tr><td align=\"center\">\n");
    // A lookup never adds to the map: an unknown name shows no editor.
    const auto found = section_name.empty() ? Section::map.end() : Section::map.find(section_name);
    if (!dialog.empty()) {
        if (found != Section::map.end())
            found->second->interface_dialog(page, form, connection, StringList());
    } else if (!section_name.empty()) {
        if (found != Section::map.end()) {
            Section* section = found->second;
            StringList errors;
            if (!action.empty())
                errors = section->interface_action(page, form, connection);
            if (!errors.empty() && !subsection.empty())
                section->interface_dialog(page, form, connection, errors);
            else
                section->interface(page, form, connection, errors);
        }
    } else if (!matchname.empty() || !matchvalue.empty()) {
        for (const auto& [name, section] : Section::map)
            section->interface(page, form, connection, StringList());
    }
    page->Add("</td></tr>\n");
}

void interface_page_load(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    const std::string& filename = args.get("filename");
    if (filename.empty()) {
        filename_form(page, "Load settings", "load", true);
        return;
    }
    const int mode = args.get("overwrite") == "yes" ? 1 : 0;
    message_dialog(page, config_load(mode, filename) == 1 ? "File loaded" : "Load failed");
}

void interface_page_save(Filebuf* page, CGIMap& args, CONNECTION_T*)
{
    const std::string& filename = args.get("filename");
    if (filename.empty()) {
        filename_form(page, "Save settings", "save", false);
        return;
    }
    message_dialog(page, config_save(filename) == 1 ? "File saved" : "Saved failed");
}
