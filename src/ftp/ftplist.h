// FTP directory listings: the answer to LIST in the long format of ls, parsed into entries
// that the FTP handler searches and sorts and the directory page shows.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <list>

class Filebuf;

// One listed file, directory or link.
struct dir_t {
    int isdir = 0;              // 1 when the permission text begins with 'd'
    int mode = 0;               // permission bits of the permission text (mode_parse)
    std::string owner;
    std::string group;          // "unknown" when the listing has no group column
    std::uint64_t size = 0;
    std::tm tm{};               // the listed date, normalised by mktime (weekday filled in)
    std::time_t mtime = 0;      // tm read as local time
    // The server's bytes, never cut or re-spaced: the page escapes and encodes them. A
    // directory's name ends in '/'.
    std::string name;
    std::string link;           // a symbolic link's target as listed; empty for anything else
};

// A doubly linked list: an entry stays where it is while others are added or removed.
using DirList = std::list<dir_t>;

// Sort fields of dir_list_sort.
enum : int { DIR_SORT_NAME = 1, DIR_SORT_SIZE = 2, DIR_SORT_TIME = 3 };

// Entries in listing order; empty when no line parsed. Each refused line is logged.
DirList dir_list_parse(const Filebuf& buffer);
// As above on raw bytes; now decides the year of dates listed with a time of day.
DirList dir_list_parse(std::string_view text, std::time_t now);

// Appends a copy at the tail; a directory's name gets the '/' it lacks. mtime is computed
// from tm, whose daylight-saving flag is left to the system.
dir_t& dir_list_add(DirList& list, int isdir, int mode, std::string_view owner, std::string_view group,
                    std::uint64_t size, const std::tm& tm, std::string_view name);

// Keeps the entries whose name matches pattern, without regard to case. A pattern that does
// not compile (logged) leaves the list as it is.
DirList& dir_list_filter(DirList& list, const std::string& pattern);

// Stable; field is one of DIR_SORT_*, any other leaves the order. Ascending: names A to Z
// without regard to case; directories before files, each smaller first; oldest first.
// Descending (non-zero) reverses each, entries that compare equal keeping their order.
DirList& dir_list_sort(DirList& list, int descending, int field);
