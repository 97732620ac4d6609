// The "icap" section: requests (REQMOD) and buffered responses (RESPMOD) handed to ICAP servers,
// which may leave the message alone, replace the request, replace the response or answer a
// request themselves. Every failure leaves the message unchanged.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "config/rules.h"
#include "config/section.h"
#include "http/header.h"
#include "util/stringutil.h"

class Filebuf;
class Item;
struct CONNECTION_T;

// Positions of a rule's values in its item.
enum : int {
    ICAP_FIELD_ENABLED = 0,
    ICAP_FIELD_COMMENT = 1,
    ICAP_FIELD_PROFILES = 2,
    ICAP_FIELD_HOST = 3,
    ICAP_FIELD_SERVICE = 4,
    ICAP_FIELD_PORT = 5,
    ICAP_FIELD_MODES = 6,
    ICAP_FIELD_COUNT = 7,
};

// Modes of a rule and of an exchange.
enum : int {
    ICAP_REQMOD = 1,
    ICAP_RESPMOD = 2,
};

// One rule: built once, then only read, by any number of connection threads at once.
class ICAP {
public:
    // Building a rule registers the stage callbacks (once for the process).
    explicit ICAP(const Item& item);

    // Enabled, a host and a service, the mode among its modes and the profiles accepted.
    bool applies(const CONNECTION_T& connection, int mode) const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string host;
    std::string service;   // the path of the ICAP URI, beginning with "/"
    int port = 0;
    int modes = 0;
};

struct ICAPRules {
    std::vector<ICAP> rules;   // in item order
    int enabled = 0;
};

// The offsets an Encapsulated value names; -1 for each one it does not.
struct Encapsulation {
    long req_hdr = -1;
    long res_hdr = -1;
    long req_body = -1;
    long res_body = -1;
    long null_body = -1;
};

// A reply header as far as the client reads it.
struct ICAPReply {
    HeaderPtr header;             // null when the block does not parse
    Encapsulation encapsulation;  // of its Encapsulated line, when it has one
    bool encapsulated = false;    // it has one
};

class ICAPSection final : public Section {
public:
    // The declarations must give enabled as the first global value and one subsection of at
    // least ICAP_FIELD_COUNT fields.
    ICAPSection();
    ~ICAPSection() override = default;

    void update() override;
    std::shared_ptr<const ICAPRules> rules() const { return rules_.snapshot(); }

    // 1 when a rule would be used for the mode.
    int check_match(CONNECTION_T* connection, int mode) const;
    // Chooses the rule and runs the exchange with its server; its result, or false when no rule
    // applies.
    bool process(CONNECTION_T* connection, Filebuf* body, int mode) const;
    // One exchange with one server: true when a usable reply was handled; false on any failure
    // and on a 204, 4xx or 5xx reply.
    static bool protocol_icap(CONNECTION_T* connection, Filebuf* body, int mode, const std::string& host,
                              const std::string& service, int port);
    static Encapsulation encapsulation_parse(std::string_view value);

private:
    SectionRules<ICAPRules> rules_{*this};
};

// Parses the reply header block of an ICAP server; its status line is read as an HTTP one. A
// block that does not begin with "ICAP/" gives no header.
ICAPReply icap_reply_parse(std::string_view text);

// The stage callbacks the first rule registers.
int icap_reqmod(CONNECTION_T* connection, Filebuf* body);
int icap_respmod(CONNECTION_T* connection, Filebuf* body);
int icap_buffcheck(CONNECTION_T* connection, Filebuf* body);

// Created by the runtime bring-up; null before.
extern ICAPSection* icap_section;
