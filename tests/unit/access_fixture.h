// Shared by the access and authentication tests: the shipped section definitions, rules
// written as configuration items, and client connections.
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "policy/access.h"
#include "core/connection.h"
#include "core/global.h"
#include "http/header.h"
#include "daemon/sections.h"
#include "policy_fixture.h"

namespace accesstest {

// One rule as the configuration file writes it; every field has the value a new rule gets.
struct RuleXml {
    std::string clients = "";
    std::string username = "";
    std::string password = "";
    std::string access = "proxy";
    bool pam = false;
    std::string interfaces = "";
    std::string bypass = "";
    std::string profiles = "";
    bool log = false;
    bool enabled = true;
    std::string comment = "";
    std::string interfaceuser = "";
    std::string interfacepassword = "";
};

inline std::string rule_xml(const char* list, const RuleXml& r)
{
    const auto flag = [](bool b) { return b ? "true" : "false"; };
    std::string x = std::string("<") + list + ">";
    x += std::string("<enabled>") + flag(r.enabled) + "</enabled>";
    x += "<comment>" + r.comment + "</comment>";
    x += std::string("<log>") + flag(r.log) + "</log>";
    x += "<interfaces>" + r.interfaces + "</interfaces>";
    x += "<clients>" + r.clients + "</clients>";
    x += std::string("<pam>") + flag(r.pam) + "</pam>";
    x += "<username>" + r.username + "</username>";
    x += "<password>" + r.password + "</password>";
    x += "<access>" + r.access + "</access>";
    x += "<bypass>" + r.bypass + "</bypass>";
    x += "<interfaceuser>" + r.interfaceuser + "</interfaceuser>";
    x += "<interfacepassword>" + r.interfacepassword + "</interfacepassword>";
    x += "<profiles>" + r.profiles + "</profiles>";
    x += std::string("</") + list + ">";
    return x;
}

inline std::string newest_log_line()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return buffered.empty() ? std::string() : buffered.front();
}

// Every native-log line since the buffer was last cleared, oldest first.
inline std::vector<std::string> log_lines()
{
    const std::vector<std::string> buffered = logbuffer_snapshot(global->logbuffer.get()).lines;
    return std::vector<std::string>(buffered.rbegin(), buffered.rend());
}

// A connection from ip to the listener 127.0.0.1:3128 carrying a request of the given kind.
inline ConnectionPtr client_connection(const std::string& ip, int kind = HEADER_ABSOLUTE)
{
    ConnectionPtr connection = connection_new();
    connection->ip = ip;
    connection->localip = "127.0.0.1";
    connection->port = 3128;
    connection->request = header_new();
    connection->request->kind = kind;
    return connection;
}

// A process-wide access section, for tests of code that runs after the authentication stage:
// no rules, deny list first, so the built-in rule admits every client with every permission.
inline AccessSection* access_section_admitting_all()
{
    shipped_definitions_set();
    auto* section = new AccessSection();
    sections_register({"access"});   // its stage callback, as the sections table registers it
    TiXmlDocument document;
    document.Parse("<tarvodine><access><order>deny_allow</order></access></tarvodine>");
    section->load(&document, 1);
    return section;
}

class AccessFixture : public testing::Test {
protected:
    void SetUp() override
    {
        shipped_definitions_set();
        section_ = std::make_unique<AccessSection>();
        sections_register({"access"});
        access_section = section_.get();
        logbuffer_clear(global->logbuffer.get());
    }
    void TearDown() override { access_section = nullptr; }

    // Loads the order ("allow_deny" or "deny_allow") and the rules of both lists.
    void load(const std::string& order, const std::vector<RuleXml>& allow, const std::vector<RuleXml>& deny = {})
    {
        std::string xml = "<tarvodine><access><order>" + order + "</order>";
        for (const RuleXml& r : allow)
            xml += rule_xml("allow", r);
        for (const RuleXml& r : deny)
            xml += rule_xml("deny", r);
        xml += "</access></tarvodine>";
        TiXmlDocument document;
        document.Parse(xml.c_str());
        ASSERT_FALSE(document.Error()) << document.ErrorDesc();
        section_->load(&document, 1);
    }

    std::unique_ptr<AccessSection> section_;
};

} // namespace accesstest
