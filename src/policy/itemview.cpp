#include "policy/itemview.h"

#include "config/field.h"
#include "util/filebuf.h"
#include "util/helpers.h"

void item_view(Filebuf& page, const FieldVector& fields)
{
    page.Add("<tr class=\"entrydialoghead\"><td>Option</td><td>Value</td></tr>\n");
    bool odd = false;
    for (const Field& field : fields) {
        if (!field.enabled || (field.optional ? !field.active : field.text.empty()))
            continue;
        page.Addf("<tr class=\"%s\"><td width=\"20%%\">%s</td><td>%s</td></tr>\n", odd ? "entryfieldodd" : "entryfieldeven",
                  string_to_html(field.label, 0).c_str(), string_to_html(field.text, 1).c_str());
        odd = !odd;
    }
}
