// The sections of the proxy, created from one table and owned for the rest of the process. Code
// reaches a section through its global pointer (`general_section`, ...); adding a section is one
// row of the table in sections.cpp.
#pragma once

#include <initializer_list>
#include <string_view>

// Creates every section of the table, in its order, and registers each row's stage callbacks
// after its section, so the table's order is the order of the callbacks within a stage. On the main thread during the bring-up, before any other thread uses a section.
void sections_create();
// The same for the sections named (a row's name is its global pointer's without "_section"),
// still in the table's order. A section created before is not created again: its global
// pointer is set to it again. A name the table does not have is a fatal assertion.
void sections_create(std::initializer_list<std::string_view> names);
// Registers the stage callbacks of the rows named without creating their sections, for a test
// or a probe that made its own section of that kind. A name the table does not have is a fatal
// assertion.
void sections_register(std::initializer_list<std::string_view> names);
