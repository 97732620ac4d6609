#include "config/template.h"

#include <algorithm>
#include <strings.h>
#include <utility>

#include "http/connection.h"
#include "inspect/external.h"
#include "util/filebuf.h"
#include "http/header.h"
#include "util/helpers.h"
#include "admin/interface.h"
#include "util/log.h"
#include "core/logentry.h"
#include "util/mem.h"
#include "config/profile.h"
#include "http/transfer.h"

TemplateSection* template_section = nullptr;

namespace {

// Positions of the section's global values and of a template's values.
enum : std::size_t {
    GLOBAL_DIRECTORY = 0,
    GLOBAL_FIELDS = 1,
};
enum : std::size_t {
    RULE_ENABLED = 0,
    RULE_COMMENT = 1,
    RULE_PROFILES = 2,
    RULE_NAME = 3,
    RULE_FILE = 4,
    RULE_MIME = 5,
    RULE_CODE = 6,
    RULE_TYPE = 7,
    RULE_PARSE = 8,
    RULE_FIELDS = 9,
};

// ---------------------------------------------------------------------------------------------
// Images, drawn for this proxy.

// 1x1, transparent
constexpr unsigned char TINY_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x01, 0x00, 0x01, 0x00, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff,
    0x00, 0x00, 0x00, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x01, 0x00, 0x00, 0x02, 0x02, 0x44, 0x01, 0x00, 0x3b,
};

// 320x36 banner of the interface pages: a mark and "tarvodine proxy"
constexpr unsigned char LOGO1_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x40, 0x01, 0x24, 0x00, 0x91, 0x00, 0x00, 0x1c, 0x2c, 0x54,
    0xff, 0xff, 0xff, 0xf0, 0xa0, 0x28, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x40, 0x01,
    0x24, 0x00, 0x00, 0x02, 0xff, 0x84, 0x8f, 0xa9, 0xcb, 0xed, 0x0f, 0xa3, 0x9c, 0xb4, 0xda, 0x8b,
    0xb3, 0xde, 0xbc, 0xfb, 0x0f, 0x86, 0xe2, 0x48, 0x96, 0xe6, 0x89, 0xa6, 0xea, 0xca, 0xb6, 0xee,
    0x0b, 0xc7, 0xf2, 0x4c, 0xd7, 0xf6, 0x8d, 0xe7, 0xfa, 0xce, 0xf7, 0xfe, 0x0f, 0x0c, 0x0a, 0x13,
    0x81, 0xe2, 0x50, 0x54, 0x0c, 0x34, 0x92, 0xc7, 0xa6, 0x53, 0xc2, 0x7c, 0x76, 0xa2, 0x0b, 0xaa,
    0xf4, 0x7a, 0xb5, 0x62, 0x2f, 0x5a, 0x44, 0x77, 0x0b, 0x06, 0x7e, 0xc3, 0x91, 0x31, 0xf9, 0x0c,
    0x13, 0xa8, 0x05, 0x14, 0x33, 0x9a, 0xe1, 0x7e, 0xcb, 0x51, 0x6b, 0xf6, 0x24, 0x3e, 0x3f, 0xe0,
    0xf3, 0x7c, 0x50, 0xdd, 0x91, 0x14, 0x28, 0xd8, 0x35, 0x48, 0x68, 0x64, 0x30, 0xa8, 0x60, 0x66,
    0x58, 0xb8, 0x54, 0x18, 0xa8, 0x28, 0xe8, 0xa8, 0x84, 0x28, 0x09, 0xf7, 0xc8, 0xf1, 0x08, 0x49,
    0x74, 0x08, 0x90, 0x78, 0xd9, 0xc8, 0x49, 0x59, 0xd5, 0xb9, 0xd8, 0x49, 0xb7, 0x06, 0xa8, 0x69,
    0xe9, 0x85, 0x29, 0xaa, 0xc7, 0x0a, 0x3b, 0x1a, 0x39, 0x5b, 0x19, 0x4a, 0xba, 0x4a, 0x6b, 0x3a,
    0xfa, 0x89, 0xdb, 0x9b, 0xb1, 0x7a, 0x6a, 0x2b, 0xbb, 0xfb, 0x3b, 0x0c, 0x2a, 0x3b, 0xb9, 0xf2,
    0x37, 0x19, 0x5c, 0xeb, 0xe9, 0xda, 0xca, 0x1b, 0x7b, 0x8c, 0xab, 0x4b, 0x2d, 0xad, 0x79, 0xfd,
    0x9c, 0x6c, 0x5b, 0x8c, 0x6d, 0xe1, 0x4c, 0x4b, 0x2c, 0x9c, 0x8d, 0xbd, 0xdb, 0x6d, 0xad, 0xc2,
    0x0c, 0x55, 0x7e, 0x57, 0x7a, 0x0e, 0xcf, 0x5d, 0x8d, 0x5e, 0x3d, 0x8e, 0x0c, 0xca, 0x98, 0x7e,
    0xcf, 0xe5, 0x4e, 0x1f, 0x3f, 0x6d, 0x1e, 0xb4, 0x67, 0x54, 0xf4, 0xe1, 0x1b, 0xc1, 0x8c, 0x5d,
    0x19, 0x7f, 0x0b, 0x03, 0x1a, 0x1c, 0xa8, 0xcc, 0xde, 0x2b, 0x89, 0xd2, 0x22, 0xfa, 0x2a, 0x57,
    0x90, 0xe1, 0x9e, 0x83, 0xff, 0xfc, 0x8c, 0x41, 0xa4, 0xb8, 0xef, 0x1f, 0x41, 0x8d, 0x0c, 0x39,
    0x24, 0x4c, 0xf5, 0x4e, 0x20, 0x84, 0x8c, 0x9b, 0x2a, 0x82, 0x14, 0x69, 0xb1, 0x9e, 0xba, 0x8b,
    0x23, 0x03, 0x5a, 0x0c, 0x47, 0xd2, 0x21, 0x46, 0x79, 0x37, 0x61, 0x4e, 0x9c, 0x29, 0xe2, 0xa4,
    0x9a, 0x36, 0x25, 0xbd, 0x45, 0xdb, 0xf8, 0x71, 0xa6, 0x4c, 0x99, 0xfc, 0x9a, 0xfe, 0x74, 0x86,
    0xd4, 0xa9, 0xcb, 0xa4, 0x2b, 0x73, 0xf6, 0xa4, 0xe9, 0xf1, 0x83, 0x50, 0x3b, 0xed, 0x54, 0x1a,
    0xbd, 0x85, 0x74, 0xa9, 0xd5, 0x97, 0x54, 0x7f, 0x4a, 0x4d, 0x07, 0xb5, 0xa8, 0x2a, 0x81, 0x2c,
    0x53, 0x5e, 0x0d, 0x89, 0x15, 0x9c, 0x87, 0xad, 0x44, 0xbd, 0x0e, 0xd4, 0x46, 0xf6, 0xac, 0x4f,
    0xa5, 0x63, 0x81, 0x9a, 0x7d, 0x9a, 0x16, 0x58, 0xdf, 0xb0, 0x7d, 0xf5, 0x9a, 0xbb, 0x15, 0x14,
    0xa5, 0xc2, 0xaa, 0x6c, 0x07, 0xab, 0xed, 0xb8, 0xb3, 0xb1, 0x4d, 0x8e, 0x7f, 0xa7, 0x42, 0xb6,
    0x2b, 0x38, 0x57, 0xe5, 0xb7, 0x14, 0xdb, 0x56, 0x88, 0xfa, 0x80, 0x2e, 0x80, 0xc5, 0x0f, 0x98,
    0x02, 0xc6, 0x7c, 0xda, 0xb0, 0x67, 0xbf, 0x96, 0x37, 0xef, 0x45, 0x12, 0xcc, 0xb0, 0xea, 0xc8,
    0x70, 0x19, 0x6b, 0x55, 0x8c, 0x7b, 0xa8, 0x5b, 0xca, 0x53, 0x41, 0x27, 0x7d, 0x78, 0x99, 0x73,
    0xd9, 0xd6, 0xbd, 0x1f, 0x63, 0x10, 0xe7, 0x9a, 0x35, 0xdc, 0xd5, 0xbb, 0x3b, 0x88, 0x26, 0xdd,
    0x90, 0x11, 0xde, 0xe1, 0xcd, 0x9b, 0xc9, 0xbd, 0x1b, 0x8d, 0x5c, 0xcb, 0xda, 0x9d, 0xb3, 0x1f,
    0x37, 0x4e, 0xbd, 0xb4, 0xf7, 0xf0, 0xc3, 0xa7, 0xdf, 0xd6, 0x2d, 0xfa, 0x33, 0xc0, 0xe9, 0xbe,
    0xb9, 0x1f, 0xfe, 0x86, 0xf8, 0x2b, 0xf0, 0xca, 0xe6, 0xbf, 0xa3, 0x26, 0x6f, 0x7d, 0x3b, 0x59,
    0xe9, 0xd7, 0x33, 0x3c, 0x72, 0x47, 0xa9, 0x9e, 0x7e, 0xd8, 0x81, 0x05, 0x9e, 0x6c, 0xf2, 0xe5,
    0x54, 0xdf, 0x80, 0xf3, 0x11, 0x97, 0x20, 0x4e, 0xf7, 0xf9, 0x96, 0xa0, 0x69, 0x0a, 0x16, 0x28,
    0xc1, 0x7f, 0xba, 0xf5, 0x81, 0x61, 0x86, 0x39, 0x58, 0xc8, 0x95, 0x86, 0x1e, 0x7e, 0xf8, 0x02,
    0x87, 0x20, 0x8e, 0x48, 0x62, 0x89, 0x26, 0x9e, 0x88, 0x62, 0x8a, 0x2a, 0xae, 0xc8, 0x62, 0x8b,
    0x2e, 0xa2, 0x52, 0x47, 0x8c, 0x32, 0xce, 0x48, 0x63, 0x8d, 0x36, 0xde, 0x88, 0x63, 0x8e, 0x3a,
    0xee, 0xc8, 0x63, 0x8f, 0x3e, 0xfe, 0x08, 0x64, 0x90, 0x42, 0x0e, 0x49, 0x64, 0x91, 0x46, 0x1e,
    0x89, 0x64, 0x92, 0x4a, 0x2e, 0xc9, 0x64, 0x93, 0x4e, 0x3e, 0x09, 0x65, 0x94, 0x52, 0x4e, 0x49,
    0x65, 0x95, 0x56, 0x5e, 0xe9, 0x63, 0x01, 0x00, 0x3b,
};

// 150x26 banner of the built-in pages: a mark and "tarvodine"
constexpr unsigned char LOGO_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x96, 0x00, 0x1a, 0x00, 0x91, 0x00, 0x00, 0x1c, 0x2c, 0x54,
    0xff, 0xff, 0xff, 0xf0, 0xa0, 0x28, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x96, 0x00,
    0x1a, 0x00, 0x00, 0x02, 0xff, 0x84, 0x8f, 0xa9, 0xcb, 0xed, 0x0f, 0xa3, 0x9c, 0xb4, 0xda, 0x8b,
    0xb3, 0xde, 0xbc, 0xfb, 0x0f, 0x86, 0xe2, 0x48, 0x96, 0xe6, 0xa9, 0x04, 0x01, 0xea, 0xa9, 0xe9,
    0xca, 0xc6, 0x6e, 0xbc, 0xcd, 0x88, 0x4d, 0x9b, 0x78, 0x6e, 0xed, 0x3c, 0x26, 0x08, 0x0a, 0x24,
    0xbe, 0x1f, 0x11, 0x66, 0xcc, 0x08, 0x87, 0x0d, 0x95, 0xf3, 0x89, 0x04, 0x40, 0xa3, 0xb3, 0xe7,
    0x2d, 0x6a, 0xc0, 0x4d, 0x5f, 0xdb, 0x83, 0x35, 0x51, 0x75, 0x72, 0xc5, 0xa3, 0xa5, 0x63, 0xfa,
    0xcd, 0x42, 0xaf, 0x6a, 0x2d, 0x56, 0x4a, 0x5d, 0x83, 0xd1, 0x57, 0x5f, 0xd8, 0x2e, 0x17, 0x99,
    0x23, 0xc5, 0xc5, 0x3d, 0xae, 0xf6, 0x12, 0x38, 0x37, 0xc8, 0x46, 0x38, 0xe7, 0x56, 0xe8, 0xf5,
    0x66, 0xb1, 0xb7, 0x07, 0xd1, 0x27, 0x08, 0x97, 0x08, 0x27, 0x89, 0xa7, 0x88, 0x59, 0x89, 0x08,
    0xa8, 0x69, 0xa8, 0xe1, 0x28, 0x74, 0xc4, 0x80, 0x06, 0x13, 0xd9, 0xb9, 0x98, 0x19, 0x26, 0xe9,
    0x89, 0x7a, 0x48, 0x6a, 0x2a, 0x01, 0x1a, 0x24, 0xea, 0x47, 0x77, 0xba, 0xda, 0x7a, 0x79, 0xbb,
    0xab, 0x6b, 0xf8, 0xca, 0x58, 0x21, 0xcb, 0x04, 0xf9, 0xa6, 0x0b, 0xab, 0x49, 0xe9, 0x5b, 0xbc,
    0x8c, 0x3b, 0x78, 0x1c, 0x1b, 0x0a, 0x20, 0x4c, 0xcb, 0xea, 0x0c, 0xac, 0x5c, 0x8d, 0xcc, 0x7c,
    0x98, 0xad, 0xda, 0x31, 0x2d, 0x1d, 0x7d, 0xe4, 0xd6, 0xf5, 0xbc, 0xdb, 0x46, 0x56, 0x97, 0x37,
    0x99, 0xce, 0x1b, 0x97, 0x16, 0x1c, 0x0d, 0x3e, 0xfe, 0x2e, 0x67, 0xde, 0xd7, 0xa5, 0x0e, 0x9f,
    0xef, 0xae, 0x7f, 0xfd, 0x00, 0xee, 0x51, 0x92, 0x81, 0x3f, 0x02, 0x8a, 0x23, 0x88, 0x30, 0xa1,
    0xc2, 0x85, 0x0c, 0x1b, 0x3a, 0x7c, 0x08, 0x31, 0x22, 0xb4, 0x25, 0x14, 0x2b, 0x5a, 0xbc, 0x88,
    0x31, 0xa3, 0xc6, 0x8d, 0x16, 0x1c, 0x3b, 0x7a, 0xfc, 0x08, 0x32, 0xa4, 0xc8, 0x91, 0x24, 0x4b,
    0x9a, 0x3c, 0x89, 0x32, 0xa5, 0xca, 0x95, 0x2c, 0x45, 0x16, 0x00, 0x00, 0x3b,
};

// 8x8, white and grey squares of 4 pixels
constexpr unsigned char CHECKERED_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x08, 0x00, 0x08, 0x00, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff,
    0xcc, 0xcc, 0xcc, 0x2c, 0x00, 0x00, 0x00, 0x00, 0x08, 0x00, 0x08, 0x00, 0x00, 0x02, 0x0d, 0x84,
    0x11, 0x19, 0x87, 0xca, 0xba, 0x0e, 0x84, 0xcf, 0x49, 0x6b, 0xe8, 0x29, 0x00, 0x3b,
};

// a one-pixel, one-frame Flash movie
constexpr unsigned char TINY_SWF[] = {
    0x46, 0x57, 0x53, 0x06, 0x19, 0x00, 0x00, 0x00, 0x30, 0x0a, 0x00, 0xa0, 0x00, 0x0c, 0x01, 0x00,
    0x43, 0x02, 0xff, 0xff, 0xff, 0x40, 0x00, 0x00, 0x00,
};

// 9x5 arrow pointing up, transparent background
constexpr unsigned char UPARROW_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x09, 0x00, 0x05, 0x00, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff,
    0x28, 0x3c, 0x6e, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x09, 0x00, 0x05, 0x00, 0x00, 0x02, 0x0b, 0x84, 0x11, 0xa7, 0xc1, 0x8a, 0xdc, 0x0c, 0x9c, 0x6f,
    0xc2, 0x02, 0x00, 0x3b,
};

// 9x5 arrow pointing down, transparent background
constexpr unsigned char DOWNARROW_GIF[] = {
    0x47, 0x49, 0x46, 0x38, 0x39, 0x61, 0x09, 0x00, 0x05, 0x00, 0x80, 0x00, 0x00, 0xff, 0xff, 0xff,
    0x28, 0x3c, 0x6e, 0x21, 0xf9, 0x04, 0x01, 0x00, 0x00, 0x00, 0x00, 0x2c, 0x00, 0x00, 0x00, 0x00,
    0x09, 0x00, 0x05, 0x00, 0x00, 0x02, 0x0a, 0x8c, 0x7f, 0x80, 0x09, 0x8a, 0x0d, 0x19, 0x6c, 0x61,
    0x16, 0x00, 0x3b,
};

template <std::size_t N>
std::string_view bytes_of(const unsigned char (&data)[N])
{
    return {reinterpret_cast<const char*>(data), N};
}

// ---------------------------------------------------------------------------------------------
// Texts. Nothing here holds an '@' that is not a placeholder.

constexpr std::string_view INTERFACE_CSS = R"(<style type="text/css">
body { font-family: Verdana, Arial, Helvetica, sans-serif; font-size: 10pt; color: #1c2c54; background-color: #ffffff; margin: 0; }
a { color: #1c2c54; }
a:hover { color: #d08010; }
table.banner { background-color: #1c2c54; border-bottom: 3px solid #f0a028; }
td.bannertext { color: #ffffff; font-size: 13pt; font-weight: bold; text-align: right; padding-right: 12px; }
td.message { font-size: 12pt; padding: 40px 20px; text-align: center; }
table.list, table.bigdialog { border: 1px solid #1c2c54; border-collapse: collapse; margin: 8px auto; }
table.list td, table.bigdialog td { padding: 2px 6px; }
tr.listhead, tr.dialoghead { background-color: #1c2c54; color: #ffffff; font-weight: bold; }
tr.listhead a, tr.dialoghead a { color: #ffffff; }
tr.listeven, tr.entryfieldeven { background-color: #ffffff; }
tr.listodd, tr.entryfieldodd, tr.dialogfoot { background-color: #e8ecf4; }
table.ftphead { margin: 8px 0; font-weight: bold; }
table.subsectionheader, table.entrydialog { border: 1px solid #1c2c54; border-collapse: collapse; width: 90%; }
table.checklist td { padding: 0 4px; }
#ToolTip { position: absolute; display: none; z-index: 10; max-width: 360px; }
table.tooltip { border: 1px solid #1c2c54; background-color: #fffbe8; border-collapse: collapse; }
td.tooltiphead { background-color: #1c2c54; color: #ffffff; font-weight: bold; padding: 2px 6px; }
td.tooltipbody { padding: 4px 6px; }
</style>
)";

// The interface pages call EnterContent(title, text) and Activate() when the pointer enters an
// element with help, deActivate() when it leaves, and overhere() on every move.
constexpr std::string_view TOOLTIP = R"(<script type="text/javascript">
var tipActive = false;
function EnterContent(title, text) {
    var tip = document.getElementById("ToolTip");
    if (tip)
        tip.innerHTML = '<table class="tooltip"><tr><td class="tooltiphead">' + title +
            '</td></tr><tr><td class="tooltipbody">' + text + '</td></tr></table>';
}
function Activate() {
    tipActive = true;
}
function deActivate() {
    tipActive = false;
    var tip = document.getElementById("ToolTip");
    if (tip)
        tip.style.display = "none";
}
function overhere(e) {
    e = e || window.event;
    var tip = document.getElementById("ToolTip");
    if (!tip || !tipActive || !e)
        return;
    var x = e.pageX !== undefined ? e.pageX : e.clientX + document.body.scrollLeft;
    var y = e.pageY !== undefined ? e.pageY : e.clientY + document.body.scrollTop;
    tip.style.left = (x + 14) + "px";
    tip.style.top = (y + 14) + "px";
    tip.style.display = "block";
}
</script>
)";

constexpr std::string_view PROXY_PAC = R"(function FindProxyForURL(url, host)
{
    return "PROXY @INTERFACE@:@PORT@;DIRECT";
}
)";

std::string interface_head()
{
    return std::string("<table class=\"banner\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
                       "<td><img src=\"http://") +
           INTERFACE_HOST +
           "/template/logo1\" alt=\"Tarvodine\"></td><td class=\"bannertext\">web interface</td></tr></table>\n";
}

// A built-in HTML page: its base is the interface, so that its image and style come from there.
std::string html_page(std::string_view title, std::string_view message, std::string_view head = {})
{
    std::string page = std::string("<html>\n<head>\n<base href=\"http://") + INTERFACE_HOST + "/\">\n";
    page.append(head);
    page += "<title>" + std::string(title) + "</title>\n</head>\n<body>\n";
    page += "<table class=\"banner\" width=\"100%\" cellspacing=\"0\" cellpadding=\"0\"><tr>"
            "<td><img src=\"/template/logo\" alt=\"Tarvodine\"></td>"
            "<td class=\"bannertext\">Tarvodine proxy</td></tr></table>\n";
    page += "<table width=\"100%\"><tr><td class=\"message\" align=\"center\">";
    page.append(message);
    page += "</td></tr></table>\n</body>\n</html>\n";
    return page;
}

struct Pages {
    std::vector<std::string> texts;     // owners of the built texts
    std::vector<BuiltinPage> rows;
};

Pages pages_build()
{
    struct Html { std::string_view name, title, message, head; };
    const Html html[] = {
        {"unknown", "Error", "The proxy could not complete the request for @URL@", {}},
        {"badrequest", "Bad Request", "Bad Request", {}},
        {"badresponse", "Bad Response", "Bad Response from @HTTP_HOST@", {}},
        {"nodns", "DNS Lookup failed", "DNS Lookup for @HTTP_HOST@ failed", {}},
        {"nofile", "File not found", "@HTTP_FILE@ not found", {}},
        {"nocache", "Cache file not found", "@URL@ not found", {}},
        {"noconnect", "Connection failed", "Connection to @HTTP_HOST@:@HTTP_PORT@ failed", {}},
        {"blocked", "Page Blocked", "@URL@ is blocked", {}},
        {"blacklisted", "Page blacklisted", "@URL@ is in the blacklisted @CATEGORY@ category", {}},
        {"virus", "Virus",
         "@AVSCANNER@ detected:<br>\n<font color=\"#cc0000\"><b>@VIRUSNAME@</b></font><br>\nin<br>\n@URL@", {}},
        {"badprotocol", "Protocol not implemented", "Protocol not implemented", {}},
        {"noaccess", "Access denied", "Access denied", {}},
        {"badauth", "Authorization failed", "Authorization failed", {}},
        {"downloadlimit", "Download transfer limit exceeded",
         "You have exceeded your download limit of @DOWNLOADLIMIT@ bytes", {}},
        {"uploadlimit", "Upload transfer limit exceeded",
         "You have exceeded your upload limit of @UPLOADLIMIT@ bytes", {}},
        {"maxrequests", "Request limit exceeded", "Request limit exceeded", {}},
        {"imgfilter", "Possible pornographic image",
         "Possible porn detected, scored @IMAGESCORE@ with a threshold of @IMAGETHRESHOLD@", {}},
        {"downloading", "Download in progress", "Transferred @TRANSFERRED@ of @SIZE@ bytes",
         "<meta http-equiv=\"refresh\" content=\"1;URL=@URL@\">\n"},
    };
    Pages pages;
    pages.texts.reserve(std::size(html) + 1);
    for (const Html& page : html) {
        pages.texts.push_back(html_page(page.title, page.message, page.head));
        pages.rows.push_back({page.name, pages.texts.back(), "text/html", true});
    }
    pages.texts.push_back(interface_head());
    const std::string& head = pages.texts.back();
    const BuiltinPage others[] = {
        {"proxy.pac", PROXY_PAC, "application/x-ns-proxy-autoconfig", true},
        {"interfacehead", head, "text/html", true},
        {"tinygif", bytes_of(TINY_GIF), "image/gif", false},
        {"logo1", bytes_of(LOGO1_GIF), "image/gif", false},
        {"logo", bytes_of(LOGO_GIF), "image/gif", false},
        {"checkeredgif", bytes_of(CHECKERED_GIF), "image/gif", false},
        {"tinyswf", bytes_of(TINY_SWF), "application/x-shockwave", false},
        {"empty", {}, "text/plain", false},
        {"uparrow", bytes_of(UPARROW_GIF), "image/gif", false},
        {"downarrow", bytes_of(DOWNARROW_GIF), "image/gif", false},
        {"interface.css", INTERFACE_CSS, "text/plain", false},
        {"tooltip", TOOLTIP, "text/plain", false},
    };
    pages.rows.insert(pages.rows.end(), std::begin(others), std::end(others));
    return pages;
}

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

const BuiltinPage* builtin_find(std::string_view name)
{
    for (const BuiltinPage& page : builtin_pages()) {
        if (same_name(page.name, name))
            return &page;
    }
    return nullptr;
}

const StringList NO_PROFILES;

// Fills the placeholders from the connection's variables; escaped for a built-in HTML page,
// where a value must stay text, raw for a configured page, which is the administrator's.
void placeholders_fill(CONNECTION_T* connection, Filebuf& page, bool escaped)
{
    if (connection == nullptr) {
        std::map<std::string, std::string> none;
        variables_parse(none, page);
        return;
    }
    if (!escaped) {
        variables_parse(connection->variables, page);
        return;
    }
    std::map<std::string, std::string> values;
    for (const auto& [name, value] : connection->variables)
        values.emplace_hint(values.end(), name, string_to_html(value, 0));
    variables_parse(values, page);
    // Names the page asked for are known from now on, as with a raw fill.
    for (const auto& entry : values)
        connection->variables.try_emplace(entry.first);
}

bool is_head_request(const CONNECTION_T* connection)
{
    if (connection->flags & CONN_HEAD)
        return true;
    const HEADER* request = connection->request.get();
    return request != nullptr && request->method && same_name(*request->method, "HEAD");
}

} // namespace

std::span<const BuiltinPage> builtin_pages()
{
    static const Pages pages = pages_build();
    return pages.rows;
}

Template::Template(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= RULE_FIELDS);
    enabled = f[RULE_ENABLED].int_value;
    comment = f[RULE_COMMENT].text;
    profiles = f[RULE_PROFILES].string_list;
    name = f[RULE_NAME].text;
    file = f[RULE_FILE].text;
    mime = f[RULE_MIME].text;
    code = f[RULE_CODE].int_value;
    type = f[RULE_TYPE].int_value;
    parse = f[RULE_PARSE].int_value;
}

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_FIELDS);
    FATAL_ASSERT(!subsections_.empty() && subsections_[0].templ.size() >= RULE_FIELDS);
}

void TemplateSection::update()
{
    rules_.rebuild([this](TemplateRules& next) { rules_from_items(next.rules, subsections_[0]); });
}

std::shared_ptr<const TemplateRules> TemplateSection::rules() const
{
    return rules_.snapshot();
}

std::unique_ptr<Filebuf> TemplateSection::get(CONNECTION_T* connection, std::string_view name, int* code) const
{
    // One snapshot serves the page and the style it may be preceded by: no second lock.
    const std::shared_ptr<const TemplateRules> snapshot = rules();
    return lookup(*snapshot, connection, name, code);
}

std::unique_ptr<Filebuf> TemplateSection::configured(const Template& rule, CONNECTION_T* connection, int* code) const
{
    auto page = std::make_unique<Filebuf>();
    if (rule.type == TEMPLATE_FILE) {
        std::string path = rule.file;
        if (rule.file.front() != '/') {
            std::string directory;
            {
                SectionReadLock lock(*this);
                directory = fields_[GLOBAL_DIRECTORY].text;
            }
            if (!directory.empty())
                path = directory + "/" + rule.file;
        }
        if (page->Read(path.c_str()) < 0) {
            putlog(LOG_ERROR, "template: cannot read %s", path.c_str());
            return nullptr;
        }
        if (!rule.mime.empty())
            page->set_type(rule.mime);
    } else if (rule.type == TEMPLATE_PROGRAM) {
        std::unique_ptr<Filebuf> output = external_exec(connection, rule.file.c_str(), nullptr, 0, nullptr);
        if (output == nullptr || output->size() == 0)
            return nullptr;
        // The program's header is read here only: the connection's response slot is not ours.
        const std::size_t length = header_length(output->view(), output->size());
        const HeaderPtr header = http_header_parse_response(output->view().substr(0, length));
        output->Trim(length);
        if (header != nullptr && header->content_type)
            output->set_type(*header->content_type);
        page = std::move(output);
    } else {
        return nullptr;
    }
    if (code != nullptr && rule.code >= 100 && rule.code <= 599)
        *code = rule.code;
    if (rule.parse == 1)
        placeholders_fill(connection, *page, false);
    return page;
}

std::unique_ptr<Filebuf> TemplateSection::lookup(const TemplateRules& rules, CONNECTION_T* connection,
                                                 std::string_view name, int* code) const
{
    const StringList& names = connection != nullptr ? connection->profiles : NO_PROFILES;
    for (const Template& rule : rules.rules) {
        if (rule.enabled != 1 || rule.name.empty() || !same_name(rule.name, name) ||
            profile_find(names, rule.profiles) != 1)
            continue;
        if (rule.file.empty())
            break;   // the built-in page of that name
        std::unique_ptr<Filebuf> page = configured(rule, connection, code);
        if (page != nullptr || rule.type != TEMPLATE_FILE)
            return page;
        break;       // an unreadable file: the built-in page stands in
    }

    const BuiltinPage* builtin = builtin_find(name);
    if (builtin == nullptr)
        return nullptr;
    auto body = std::make_unique<Filebuf>();
    body->Add(builtin->bytes);
    const bool html = builtin->mime == "text/html";
    if (builtin->parse)
        placeholders_fill(connection, *body, html);
    if (!html || same_name(builtin->name, "interface.css")) {
        body->set_type(std::string(builtin->mime));
        return body;
    }
    // The style goes first, looked up like any page, so that a configured one serves every
    // built-in page; the page's placeholders were filled before, so an '@' of the style is kept.
    std::unique_ptr<Filebuf> page = lookup(rules, connection, "interface.css", nullptr);
    if (page == nullptr)
        page = std::make_unique<Filebuf>();
    page->Add(body->view());
    page->set_type(std::string(builtin->mime));
    return page;
}

int TemplateSection::send(std::string_view name, CONNECTION_T* connection, int status) const
{
    if (connection->flags & CONN_NOCLIENT)
        return 0;
    int code = -1;
    std::unique_ptr<Filebuf> page = get(connection, name, &code);
    if (page == nullptr)
        return 0;

    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = code != -1 ? code : status;
    header->content_length = static_cast<std::int64_t>(page->size());
    header->flags |= HEADER_LENGTH;
    header->content_type = page->type().empty() ? std::string("text/plain") : page->type();
    header->cache_control = std::string("no-cache");

    LogEntry& log = connection->logentry;
    log.set_cachecode(TCP_MISS);
    log.set_peercode(DIRECT);
    log.peer = "tarvodine";
    log.size = page->size();
    log.status = header->status;
    log.mime = *header->content_type;

    {
        ResponseLoan slot(connection, header.get());
        header_send(header.get(), connection, 0, HEADER_TO_CLIENT);
    }
    if (page->size() > 0 && !is_head_request(connection))
        net_filebuf_send(page.get(), connection, 0);
    putlog(LOG_TEMPLATE, "sent %.*s", static_cast<int>(name.size()), name.data());
    return 1;
}

int TemplateSection::insert(CONNECTION_T* connection, Filebuf* buffer, std::string_view name) const
{
    const std::unique_ptr<Filebuf> page = get(connection, name, nullptr);
    if (page == nullptr)
        return 0;
    buffer->Add(page->view());
    return 1;
}
