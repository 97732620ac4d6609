// The "external" section: the administrator's own programs plugged into the request road. A
// program gets the request header, the response header and the body on its standard input (or
// in a temporary file named as its last argument) with the connection's variables as its whole
// environment; what it prints, an HTTP header optionally followed by a body, can replace the
// request, replace the response or answer the client, and its "X-username" and "X-profiles"
// lines set the user name and add profiles.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// Positions of a rule's values in its item.
enum : int {
    EXTERNAL_FIELD_ENABLED = 0,
    EXTERNAL_FIELD_COMMENT = 1,
    EXTERNAL_FIELD_PROFILES = 2,
    EXTERNAL_FIELD_COMMAND = 3,
    EXTERNAL_FIELD_MODE = 4,
    EXTERNAL_FIELD_STAGES = 5,
    EXTERNAL_FIELD_TYPE = 6,
    EXTERNAL_FIELD_INPUT = 7,
    EXTERNAL_FIELD_COUNT = 8,
};

// Stage bits of a rule and of a pass.
enum : int {
    EXTERNAL_REQUEST = 1,
    EXTERNAL_RESPONSE = 2,
    EXTERNAL_AUTH = 4,
};

// Input bits: which headers go before the body.
enum : int {
    EXTERNAL_INPUT_REQUEST = 1,
    EXTERNAL_INPUT_RESPONSE = 2,
};

// Rule type of an authentication program; any other value is a modifying program.
constexpr int EXTERNAL_TYPE_AUTH = 1;

// One rule: built once, then only read, by any number of connection threads at once.
class External {
public:
    explicit External(const Item& item);

    // Enabled, a command line, the profiles accepted and a stage shared with bits.
    bool applies(const CONNECTION_T& connection, int bits) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string command;
    int mode = 0;       // 0: input on standard input; 1: in a temporary file named last
    int stages = 0;
    int type = 0;
    int input = 0;
};

struct ExternalRules {
    std::vector<External> rules;   // in item order
    int enabled = 0;
};

class ExternalSection final : public Section {
public:
    // The declarations must give enabled as the first global value and
    // one subsection of at least EXTERNAL_FIELD_COUNT fields.
    ExternalSection();
    ~ExternalSection() override = default;

    void update() override;
    std::shared_ptr<const ExternalRules> rules() const { return rules_.snapshot(); }

    // 1 when some rule would run in a pass of these bits.
    int check_match(CONNECTION_T* connection, int bits) const;
    // Runs the rules of a pass of these bits, in order, on the body (may be null).
    void process(CONNECTION_T* connection, Filebuf* body, int bits) const;

private:
    SectionRules<ExternalRules> rules_{*this};
};

// The stage callbacks of the section's row in the sections table: external_reqmod (stage 1),
// external_respmod (3), external_auth (7) and external_buffcheck (4).
int external_auth(CONNECTION_T* connection, Filebuf* body);
int external_reqmod(CONNECTION_T* connection, Filebuf* body);
int external_respmod(CONNECTION_T* connection, Filebuf* body);
int external_buffcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern ExternalSection* external_section;
