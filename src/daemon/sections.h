// The sections of the proxy, created from one table and owned for the rest of the process. Code
// reaches a section through its global pointer (`general_section`, ...); adding a section is one
// row of the table in sections.cpp.
#pragma once

#include <initializer_list>
#include <string_view>

// Creates every section of the table, in its order, which is also the order of their stage
// callbacks. On the main thread during the bring-up, before any other thread uses a section.
void sections_create();
// The same for the sections named (a row's name is its global pointer's without "_section"),
// still in the table's order. A section created before is not created again: its global
// pointer is set to it again. A name the table does not have is a fatal assertion.
void sections_create(std::initializer_list<std::string_view> names);
