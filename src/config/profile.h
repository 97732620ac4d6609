// Profiles: names attached to a connection for one request, which decide what rules of every
// other section apply to it. profile_find tests a rule's profile condition; the "profiles"
// section's rules add and remove names as the request, and later its response, become known.
#pragma once

#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "util/helpers.h"
#include "config/item.h"
#include "config/ranges.h"
#include "config/rules.h"
#include "util/regex.h"
#include "config/section.h"
#include "util/stringutil.h"

struct CONNECTION_T;

// 1 when a rule with the profile condition applies to a connection carrying names, else 0. An
// empty condition applies always. Otherwise its entries are taken in order, "!name" negated:
// the first entry whose name the connection carries (exact bytes) decides, 1 for a plain entry
// and 0 for a negated one; when none is carried, 1 if some entry is negated, else 0.
int profile_find(const StringList& names, const StringList& condition);

// One rule of the profiles section, built from one item; read-only once built.
class Profile {
public:
    explicit Profile(const Item& item);
    // The copy compiles its own patterns.
    Profile(const Profile& other);
    Profile(Profile&&) noexcept = default;
    Profile& operator=(const Profile&) = delete;
    Profile& operator=(Profile&&) = delete;
    ~Profile() = default;

    // A pattern text with its compiled form; null when the text is empty or does not compile,
    // and the rule then does not test that property.
    struct Pattern {
        std::string text;
        UniqueRegex regex;
        Pattern() = default;
        explicit Pattern(std::string text);
        Pattern(const Pattern& other) : Pattern(other.text) {}
        Pattern(Pattern&&) noexcept = default;
        Pattern& operator=(Pattern&&) noexcept = default;
        Pattern& operator=(const Pattern&) = delete;
    };

    int enabled = 0;
    std::string comment;
    int log = 0;                  // exactly 1: additions and removals are logged
    StringList profiles;          // the condition
    Pattern scheme, host, file, mime;
    PortRangeList ports;          // empty: every port
    StringList urlcommands;       // empty: no condition
    Pattern proxyhost, requestheader, responseheader;
    tm_partial start{}, end{};    // year never set
    int timematch = 0;            // 0: absolute window, otherwise recurring
    StringList add, remove;

    // Whether the rule applies to the connection at the local time now; names are the
    // connection's names at this point of the run.
    bool applies(CONNECTION_T& connection, const std::tm& now) const;
};

struct ProfileRules {
    std::vector<Profile> rules;   // in item order
};

class ProfileSection final : public Section {
public:
    // The "profiles" section of sectionxml; its declarations must give a first subsection of
    // profile rules.
    ProfileSection();
    void update() override;

    // The rules in force: a pointer copy, never a rebuild.
    std::shared_ptr<const ProfileRules> rules() const;

    // Runs the rules in order on the connection, whose request header must be present; later
    // rules see what earlier ones changed. A non-empty list ends up, joined by ",", in the
    // profiles field of the connection's log entry. The connection then takes its snapshot of
    // the general rule for the new profiles. Returns 0.
    int profiles_update(CONNECTION_T* connection);

private:
    SectionRules<ProfileRules> rules_{*this};
};

// The clock of the time windows; tests replace it to get fixed times. Null restores time().
using profile_clock_t = std::time_t (*)();
void profile_set_clock(profile_clock_t clock);

// Created by the runtime bring-up; null before.
extern ProfileSection* profile_section;
