// Templates: every page the proxy answers itself (block and error pages, the download status
// page, the proxy auto-configuration script, the style, script and images of its own pages) is
// looked up by name, first among the configured templates of the "templates" section (a file,
// or the output of an external program, per profile), then among the built-in pages. Pages may
// carry @NAME@ placeholders filled from the connection's variable map.
#pragma once

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/item.h"
#include "config/rules.h"
#include "config/section.h"
#include "util/stringutil.h"

class Filebuf;
struct CONNECTION_T;

// The reserved host name under which the proxy serves its interface; the built-in pages take
// their images and style from there.
constexpr const char* INTERFACE_HOST = "tarvodine";

// Template types.
enum : int {
    TEMPLATE_FILE = 0,
    TEMPLATE_PROGRAM = 1,
};

// One configured template, built from one item; read-only once built.
class Template {
public:
    explicit Template(const Item& item);

    int enabled = 0;       // used only when 1
    std::string comment;
    StringList profiles;
    std::string name;      // compared without regard to case; empty never matches
    std::string file;      // a path (absolute, or relative to the template directory), or a command line
    std::string mime;      // empty: none
    int code = 0;          // response code; one outside 100..599 counts as none
    int type = TEMPLATE_FILE;
    int parse = 0;         // 1: fill the @NAME@ placeholders
};

struct TemplateRules {
    std::vector<Template> rules;   // in item order, enabled or not
};

// One built-in page.
struct BuiltinPage {
    std::string_view name;
    std::string_view bytes;
    std::string_view mime;
    bool parse = false;
};

// The built-in pages, built once.
std::span<const BuiltinPage> builtin_pages();

class TemplateSection final : public Section {
public:
    // The "templates" section of sectionxml; its declarations must give the template directory
    // and a first subsection of templates.
    TemplateSection();
    void update() override;

    // The rules in force: a pointer copy, never a rebuild.
    std::shared_ptr<const TemplateRules> rules() const;

    // The page of that name for the connection (which may be null: no profiles, no variables),
    // its MIME type set when known; null when there is none. A configured template reports its
    // response code through code (when not null and the code lies in 100..599).
    std::unique_ptr<Filebuf> get(CONNECTION_T* connection, std::string_view name, int* code) const;
    // Sends the page as the whole answer, with the configured response code or else status, and
    // fills the connection's log entry (its records are the caller's to write). 1 when sent; 0
    // when the client is gone or there is no such page.
    int send(std::string_view name, CONNECTION_T* connection, int status) const;
    // Appends the page to buffer; 1, or 0 when there is no such page.
    int insert(CONNECTION_T* connection, Filebuf* buffer, std::string_view name) const;

private:
    // The lookup of get, on one snapshot of the rules.
    std::unique_ptr<Filebuf> lookup(const TemplateRules& rules, CONNECTION_T* connection, std::string_view name,
                                    int* code) const;
    std::unique_ptr<Filebuf> configured(const Template& rule, CONNECTION_T* connection, int* code) const;

    SectionRules<TemplateRules> rules_{*this};
};

// Created by the runtime bring-up; null before.
extern TemplateSection* template_section;
