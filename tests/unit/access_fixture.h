// Shared by the access and authentication tests: the access section's declarations as the
// shipped definition file has them, rules written as configuration items, and client
// connections.
#pragma once

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <tinyxml.h>

#include "access.h"
#include "config_fixture.h"
#include "connection.h"
#include "global.h"
#include "header.h"

namespace accesstest {

inline const char* const ACCESS_DEFINITIONS = R"(<?xml version="1.0" encoding="UTF-8"?>
<section>
  <access>
    <comment>Access</comment>
    <desc>Which clients may use the proxy, with which permissions, and which of them must authenticate first. A client admitted by no rule is refused.</desc>
    <select>
      <order>
        <deny_allow><comment>Deny, then allow</comment><desc>Admit every client unless a deny rule matches it; an allow rule may then admit it again.</desc></deny_allow>
        <allow_deny><comment>Allow, then deny</comment><value>true</value><desc>Refuse every client unless an allow rule matches it; a deny rule may then refuse it again.</desc></allow_deny>
      </order>
      <permissions>
        <interface><comment>Web interface</comment><desc>Use the web administration interface.</desc></interface>
        <proxy><comment>Proxy requests</comment><value>true</value><desc>Requests with an absolute URI, as browsers send to a proxy.</desc></proxy>
        <transparent><comment>Origin-form requests</comment><desc>Requests with a path only, as diverted traffic arrives.</desc></transparent>
        <hostheader><comment>Host header</comment><desc>Take the host and port of an origin-form request from its Host header.</desc></hostheader>
        <connect><comment>CONNECT</comment><value>true</value><desc>CONNECT requests, whose ports the general section limits.</desc></connect>
        <bypass><comment>Bypass command</comment><desc>The "bypass" URL command.</desc></bypass>
        <urlcommand><comment>URL commands</comment><desc>The other URL commands; without this they are discarded.</desc></urlcommand>
      </permissions>
      <bypass>
        <urlfilter><comment>URL filter</comment><desc/></urlfilter>
        <headerfilter><comment>Header filter</comment><desc/></headerfilter>
        <mimefilter><comment>MIME filter</comment><desc/></mimefilter>
        <redirect><comment>Redirect rules</comment><desc/></redirect>
        <cookies><comment>Cookie filter</comment><desc/></cookies>
        <rewrite><comment>Rewrite rules</comment><desc/></rewrite>
        <external><comment>External programs</comment><desc/></external>
        <forward><comment>Forwarding rules</comment><desc/></forward>
        <keywords><comment>Keyword filter</comment><desc/></keywords>
        <dnsbl><comment>DNS blacklist</comment><desc/></dnsbl>
        <limits><comment>Limits</comment><desc/></limits>
        <antivirus><comment>Antivirus</comment><desc/></antivirus>
        <icap><comment>ICAP</comment><desc/></icap>
        <urlblacklist><comment>URL blacklists</comment><desc/></urlblacklist>
      </bypass>
    </select>
    <global>
      <order n="0"><comment>Order</comment><value>order</value><type>STRING_SELECT_ONE</type><desc>Which list is scanned first, and so what happens to a client that no rule matches.</desc></order>
    </global>
    <template>
      <rule>
        <enabled n="0"><comment>Enabled</comment><value>true</value><type>BOOL</type><desc>A disabled rule never matches.</desc></enabled>
        <comment n="1"><comment>Comment</comment><value/><type>STRING</type><desc/></comment>
        <log n="2"><comment>Log profiles</comment><value>false</value><type>BOOL</type><desc>Log each profile the rule adds.</desc></log>
        <reserved n="3"><comment>Reserved</comment><value/><type>STRING_LIST</type><enabled>false</enabled><desc>Not used.</desc></reserved>
        <interfaces n="4"><comment>Interfaces</comment><value/><type>STRING_LIST</type><desc>Local address and port the client connected to, as address:port or *:port, separated by commas; empty for every listener.</desc></interfaces>
        <clients n="5"><comment>Clients</comment><value/><type>IP_RANGE_LIST</type><desc>Client addresses, or the address in the request's X-Forwarded-For: addresses and ranges (low-high) separated by commas; empty for every address.</desc></clients>
        <pam n="6"><comment>PAM</comment><value>false</value><type>BOOL</type><desc>The user name is a pattern, and PAM checks the password.</desc></pam>
        <username n="7"><comment>User name</comment><value/><type>STRING</type><desc>With a password, clients must authenticate with both; in PAM mode a pattern of the user names admitted.</desc></username>
        <password n="8"><comment>Password</comment><value/><type>STRING</type><desc>Not used in PAM mode.</desc></password>
        <access n="9"><comment>Permissions</comment><value>permissions</value><type>STRING_SELECT_MANY</type><desc>What the admitted clients may do.</desc></access>
        <bypass n="10"><comment>Bypass</comment><value>bypass</value><type>STRING_SELECT_MANY</type><desc>Filters that the admitted clients skip.</desc></bypass>
        <interfaceuser n="11"><comment>Interface user</comment><value/><type>STRING</type><desc>The login that the web interface asks of these clients; empty for none.</desc></interfaceuser>
        <interfacepassword n="12"><comment>Interface password</comment><value/><type>STRING</type><desc/></interfacepassword>
        <profiles n="13"><comment>Add profiles</comment><value/><type>STRING</type><desc>Profiles given to the admitted clients, separated by commas.</desc></profiles>
      </rule>
    </template>
    <subsection>
      <allow><comment>Allow</comment><template>rule</template><desc>Rules that admit clients.</desc></allow>
      <deny><comment>Deny</comment><template>rule</template><desc>Rules that refuse clients.</desc></deny>
    </subsection>
  </access>
</section>
)";

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
    std::shared_lock lock(global->logbuffer->lock);
    return global->logbuffer->lines.empty() ? std::string() : global->logbuffer->lines.front();
}

// Every native-log line since the buffer was last cleared, oldest first.
inline std::vector<std::string> log_lines()
{
    std::shared_lock lock(global->logbuffer->lock);
    return std::vector<std::string>(global->logbuffer->lines.rbegin(), global->logbuffer->lines.rend());
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
    definitions_set(ACCESS_DEFINITIONS);
    auto* section = new AccessSection();
    TiXmlDocument document;
    document.Parse("<tarvodine><access><order>deny_allow</order></access></tarvodine>");
    section->load(&document, 1);
    return section;
}

class AccessFixture : public testing::Test {
protected:
    void SetUp() override
    {
        definitions_set(ACCESS_DEFINITIONS);
        section_ = std::make_unique<AccessSection>();
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
