#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <security/pam_appl.h>

#include "policy/access.h"
#include "access_fixture.h"
#include "policy/auth.h"
#include "util/base64.h"
#include "util/filebuf.h"
#include "config/general.h"
#include "core/options.h"
#include "policy/password_cache.h"
#include "http/template.h"

namespace {

using namespace accesstest;

using namespace std::literals;

// ---------------------------------------------------------------------------------------------
// Credentials and PAM pieces

TEST(AuthBasicSplit, TakesExactlyTwoParts)
{
    struct Case { std::string value; bool taken; std::string user, password; };
    const std::string long_user(600, 'u');
    const Case cases[] = {
        {"Basic " + to64frombits("alice:secret"), true, "alice", "secret"},
        {"anything " + to64frombits("alice:secret"), true, "alice", "secret"},      // the scheme is not examined
        {"Basic " + to64frombits("alice::secret"), true, "alice", "secret"},       // a run of colons is one
        {"Basic " + to64frombits("alice:se cret"), true, "alice", "se cret"},
        {"Basic " + to64frombits(long_user + ":pw"), true, std::string(511, 'u'), "pw"},
        {"Basic" + to64frombits("alice:secret"), false, "", ""},                   // no space
        {"Basic " + to64frombits("alice"), false, "", ""},
        {"Basic " + to64frombits("alice:"), false, "", ""},                        // never an empty password
        {"Basic " + to64frombits(":secret"), false, "", ""},
        {"Basic " + to64frombits("a:b:c"), false, "", ""},
        {"Basic " + to64frombits("a:b:"), true, "a", "b"},
        {"Basic not*base64", false, "", ""},
        {"Basic " + to64frombits(std::string(8200, 'x') + ":pw"), false, "", ""},  // does not fit the buffer
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.substr(0, 40));
        std::string user = "untouched", password = "untouched";
        ASSERT_EQ(auth_basic_split(c.value, user, password), c.taken);
        if (c.taken) {
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        }
    }
}

TEST(PamCodeMessage, FillsTheCodeAndKnowsOnlyItsRange)
{
    EXPECT_EQ(pam_code_message(7), "[pam: 7: PAM_AUTH_ERR] Authentication failure");
    EXPECT_EQ(pam_code_message(1), "[pam: 1: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module");
    EXPECT_EQ(pam_code_message(26), "[pam: 26: PAM_ABORT] Critical error (?module fail now request) ");
    EXPECT_EQ(pam_code_message(32), "[pam: 32: _PAM_RETURN_VALUES] this is the number of return values");
    // The numbers are Linux-PAM's own.
    EXPECT_NE(pam_code_message(PAM_USER_UNKNOWN).find("PAM_USER_UNKNOWN"), std::string::npos);
    EXPECT_NE(pam_code_message(PAM_MAXTRIES).find("PAM_MAXTRIES"), std::string::npos);
    EXPECT_NE(pam_code_message(PAM_INCOMPLETE).find("PAM_INCOMPLETE"), std::string::npos);
    EXPECT_EQ(pam_code_message(0), "");
    EXPECT_EQ(pam_code_message(33), "");
    EXPECT_EQ(pam_code_message(-1), "");
}

TEST(PamTalker, AnswersEveryMessageWithThePassword)
{
    AuthPamData data{"alice", "secret"};
    const pam_message prompt{PAM_PROMPT_ECHO_OFF, "Password: "};
    const pam_message info{PAM_TEXT_INFO, "hello"};
    const pam_message* messages[] = {&prompt, &info};
    pam_response* answers = nullptr;
    ASSERT_EQ(auth_pam_talker(2, messages, &answers, &data), PAM_SUCCESS);
    ASSERT_NE(answers, nullptr);
    for (int i = 0; i < 2; ++i) {
        EXPECT_STREQ(answers[i].resp, "secret");
        EXPECT_NE(answers[i].resp, data.password);   // a copy PAM may free
        EXPECT_EQ(answers[i].resp_retcode, 0);
        std::free(answers[i].resp);
    }
    std::free(answers);
}

// ---------------------------------------------------------------------------------------------
// The credential check against the rules, with a PAM stand-in

struct FakePam {
    static inline int calls = 0;
    static inline int failure = PAM_AUTH_ERR;   // the code for a wrong password
    static int check(const char* user, const char* password)
    {
        ++calls;
        return std::strcmp(user, "alice") == 0 && std::strcmp(password, "secret") == 0 ? PAM_SUCCESS : failure;
    }
};

std::time_t fake_now = 2000000;
std::time_t fake_clock() { return fake_now; }

class Auth : public AccessFixture {
protected:
    void SetUp() override
    {
        AccessFixture::SetUp();
        // The realm and the refusal page come from these, with their declared defaults.
        static GeneralSection general;
        static TemplateSection templates;
        general_section = &general;
        template_section = &templates;
        FakePam::calls = 0;
        FakePam::failure = PAM_AUTH_ERR;
        auth_set_pam_check(FakePam::check);
        password_cache_set_clock(fake_clock);
        global->password_cache = password_cache_create(password_cachesize);
        saved_authflag_ = authflag;
    }
    void TearDown() override
    {
        auth_set_pam_check(nullptr);
        password_cache_set_clock(nullptr);
        authflag = saved_authflag_;
        global->password_cache = password_cache_create(password_cachesize);
        AccessFixture::TearDown();
    }

    // A fresh connection's credential check; the connection afterwards.
    ConnectionPtr attempt(std::string_view user, std::string_view password, const std::string& ip = "10.0.0.7")
    {
        ConnectionPtr conn = client_connection(ip);
        section_->check_and_setup(conn.get(), user, password);
        return conn;
    }

    static bool admitted(const ConnectionPtr& conn) { return (conn->auth & AUTH_NEEDED) == 0 && conn->access != 0; }

    int saved_authflag_ = 0;
};

TEST_F(Auth, PlainRuleAdmitsTheRightCredentialsOnly)
{
    load("allow_deny", {{.username = "alice", .password = "secret", .access = "proxy,connect"}});
    ConnectionPtr good = attempt("alice", "secret");
    EXPECT_TRUE(admitted(good));
    EXPECT_EQ(good->access, ACCESS_PROXY | ACCESS_CONNECT);
    EXPECT_EQ(good->username, "alice@10.0.0.7");
    EXPECT_EQ(FakePam::calls, 0);

    ConnectionPtr wrong = attempt("alice", "wrong");
    EXPECT_NE(wrong->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(wrong->access, 0);
    EXPECT_EQ(wrong->username, "");
    EXPECT_NE(newest_log_line().find("security: authentication failed for alice@10.0.0.7"), std::string::npos)
        << newest_log_line();
}

TEST_F(Auth, PamVerdictsAreCachedByExactKey)
{
    load("allow_deny", {{.username = "^alice$", .pam = true}});

    ConnectionPtr first = attempt("alice", "secret");
    EXPECT_TRUE(admitted(first));
    EXPECT_EQ(first->username, "alice@10.0.0.7");
    EXPECT_EQ(FakePam::calls, 1);
    EXPECT_NE(newest_log_line().find("PAM authentication succeeded for alice"), std::string::npos);

    fake_now += 100;
    ConnectionPtr again = attempt("alice", "secret");
    EXPECT_TRUE(admitted(again));
    EXPECT_EQ(FakePam::calls, 1);   // answered by the cache
    // A use refreshes the entry.
    EXPECT_EQ(password_cache_search(global->password_cache.get(), "alice:secret")->time, fake_now);

    // A case variant of the good password is another password: PAM decides, and refuses.
    ConnectionPtr variant = attempt("alice", "SECRET");
    EXPECT_NE(variant->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(FakePam::calls, 2);
}

TEST_F(Auth, RejectedCredentialsAreRefusedByCacheAfterwards)
{
    load("allow_deny", {{.pam = true}});
    ConnectionPtr first = attempt("alice", "wrong");
    EXPECT_NE(first->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(FakePam::calls, 1);
    EXPECT_EQ(check_password_cache("alice:wrong"), PASSWORD_BAD);

    ConnectionPtr second = attempt("alice", "wrong", "10.0.0.8");
    EXPECT_NE(second->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(FakePam::calls, 1);
    EXPECT_NE(newest_log_line().find("security: authentication failed for alice@10.0.0.8 by cache"), std::string::npos)
        << newest_log_line();

    ConnectionPtr right = attempt("alice", "secret");
    EXPECT_TRUE(admitted(right));
    EXPECT_EQ(FakePam::calls, 2);
}

TEST_F(Auth, OnlyCredentialRejectionsAreRemembered)
{
    load("allow_deny", {{.pam = true}});
    struct Case { int code; bool remembered; };
    const Case cases[] = {
        {PAM_PERM_DENIED, true}, {PAM_AUTH_ERR, true}, {PAM_USER_UNKNOWN, true}, {PAM_MAXTRIES, true},
        {PAM_NEW_AUTHTOK_REQD, true}, {PAM_SYSTEM_ERR, false}, {PAM_AUTHINFO_UNAVAIL, false}, {PAM_ACCT_EXPIRED, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        global->password_cache = password_cache_create(password_cachesize);
        logbuffer_clear(global->logbuffer.get());
        FakePam::failure = c.code;
        FakePam::calls = 0;
        attempt("bob", "pw");
        attempt("bob", "pw");
        EXPECT_EQ(FakePam::calls, c.remembered ? 1 : 2);
        bool message = false;
        for (const std::string& line : log_lines())
            message = message || line.find("security: system: " + pam_code_message(c.code)) != std::string::npos;
        EXPECT_TRUE(message);
    }
}

TEST_F(Auth, CacheOffAsksPamEveryTime)
{
    authflag = 1;
    load("allow_deny", {{.pam = true}});
    attempt("alice", "secret");
    attempt("alice", "secret");
    attempt("alice", "wrong");
    attempt("alice", "wrong");
    EXPECT_EQ(FakePam::calls, 4);
}

TEST_F(Auth, OverlongPamCredentialsNeverReachPam)
{
    load("allow_deny", {{.pam = true}});
    const std::pair<std::string, std::string> overlong[] = {{std::string(129, 'a'), "pw"}, {"alice", std::string(129, 'p')}};
    for (const auto& [user, password] : overlong) {
        ConnectionPtr conn = attempt(user, password);
        EXPECT_NE(conn->auth & AUTH_NEEDED, 0);
        EXPECT_NE(newest_log_line().find(
                      "security: authentication failed either username or password is more than 128 characters"),
                  std::string::npos);
    }
    ConnectionPtr nul = attempt("alice", "secret\0x"sv);
    EXPECT_NE(nul->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(FakePam::calls, 0);
    ConnectionPtr fits = attempt(std::string(128, 'a'), "pw");
    EXPECT_EQ(FakePam::calls, 1);
}

TEST_F(Auth, NoLogLineCarriesAPassword)
{
    load("allow_deny", {{.username = "alice", .password = "plainpw1"}, {.pam = true}});
    attempt("alice", "plainpw1");
    attempt("carol", "pampw222");   // PAM refuses
    attempt("carol", "pampw222");   // by cache
    attempt("alice", "secret");
    for (const std::string& line : log_lines()) {
        EXPECT_EQ(line.find("plainpw1"), std::string::npos) << line;
        EXPECT_EQ(line.find("pampw222"), std::string::npos) << line;
        EXPECT_EQ(line.find("secret"), std::string::npos) << line;
    }
    bool failed_line = false;
    for (const std::string& line : log_lines())
        failed_line = failed_line || line.find("PAM authentication failed for carol@10.0.0.7") != std::string::npos;
    EXPECT_TRUE(failed_line);
}

TEST_F(Auth, UserNameWithAControlByteIsRefused)
{
    load("deny_allow", {});
    ConnectionPtr conn = attempt("ev\x1b[1mil", "pw");
    EXPECT_NE(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->access, 0);
    EXPECT_EQ(conn->username, "");
    EXPECT_NE(newest_log_line().find("security: authentication failed for ev\\x1B[1mil@10.0.0.7"), std::string::npos)
        << newest_log_line();
}

TEST_F(Auth, CredentialsNoRuleTakesFallBackToTheRuleWithoutThem)
{
    load("allow_deny", {{.clients = "10.0.0.0-10.0.0.255", .access = "proxy"}});
    ConnectionPtr conn = client_connection("10.0.0.7");
    conn->request->proxy_authorization = "Basic " + to64frombits("mallory:guess");
    EXPECT_EQ(section_->check_and_setup(conn.get(), "mallory", "guess"), 0);
    EXPECT_EQ(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->access, ACCESS_PROXY);
    EXPECT_EQ(conn->username, "mallory@10.0.0.7");

    // Without the header the credentials came from nowhere a rule could judge: the client must
    // authenticate.
    ConnectionPtr bare = client_connection("10.0.0.7");
    EXPECT_EQ(section_->check_and_setup(bare.get(), "mallory", "guess"), 0);
    EXPECT_NE(bare->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(bare->access, 0);
}

// ---------------------------------------------------------------------------------------------
// The stage callback

class AccessAuth : public Auth {
protected:
    // A request of the given kind from 10.0.0.7 with an optional credential header value.
    ConnectionPtr request(int kind, const std::string& credentials = "")
    {
        ConnectionPtr conn = client_connection("10.0.0.7", kind);
        conn->body = std::make_unique<Filebuf>();
        if (!credentials.empty()) {
            auto field = kind == HEADER_ORIGIN ? &HEADER::authorization : &HEADER::proxy_authorization;
            conn->request.get()->*field = credentials;
            conn->request->lines.push_back(
                {HTTP_HEADER_FIELD, kind == HEADER_ORIGIN ? "Authorization" : "Proxy-Authorization", credentials});
            conn->variables[kind == HEADER_ORIGIN ? "CLIENT[authorization]" : "CLIENT[proxy-authorization]"] =
                credentials;
        }
        conn->request->lines.push_back({HTTP_HEADER_PASS, "X-Other", "kept"});
        return conn;
    }
    static std::string basic(const std::string& user, const std::string& password)
    {
        return "Basic " + to64frombits(user + ":" + password);
    }
    static void release(CONNECTION_T* conn)
    {
        header_free(conn->response);
        conn->response = nullptr;
    }
};

TEST_F(AccessAuth, ChallengeByKindOfRequest)
{
    load("allow_deny", {{.username = "alice", .password = "secret"}});
    struct Case { int kind; int status; bool www; };
    const Case cases[] = {
        {HEADER_ORIGIN, 401, true},
        {HEADER_ABSOLUTE, 407, false},
        {HEADER_CONNECT, 407, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind);
        ConnectionPtr conn = request(c.kind);
        conn->body->Add("request body"sv);
        ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
        ASSERT_NE(conn->response, nullptr);
        EXPECT_EQ(conn->response->status, c.status);
        EXPECT_TRUE(conn->response->flags & HEADER_LENGTH);
        EXPECT_EQ(conn->response->content_length, 0);
        const HeaderText& line = c.www ? conn->response->www_authenticate : conn->response->proxy_authenticate;
        const HeaderText& other = c.www ? conn->response->proxy_authenticate : conn->response->www_authenticate;
        EXPECT_EQ(line, "Basic realm=\"localhost\"");   // the general section's proxy host name
        EXPECT_FALSE(other.has_value());
        EXPECT_EQ(conn->keepalive_client, 1);
        EXPECT_EQ(conn->body->size(), 0u);   // the answer never echoes the request body
        release(conn.get());
    }
}

TEST_F(AccessAuth, RightCredentialsAdmitAndAreNotPassedOn)
{
    load("allow_deny", {{.username = "alice", .password = "secret", .access = "proxy"}});
    ConnectionPtr conn = request(HEADER_ABSOLUTE);
    ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
    release(conn.get());

    // The client repeats the request on the same connection, now with credentials.
    ConnectionPtr repeated = request(HEADER_ABSOLUTE, basic("alice", "secret"));
    conn->request = std::move(repeated->request);
    conn->variables = repeated->variables;
    conn->request->lines.front().name = "proxy-AUTHORIZATION";   // names are caseless
    EXPECT_EQ(access_auth(conn.get(), conn->body.get()), 0);
    EXPECT_EQ(conn->response, nullptr);
    EXPECT_EQ(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->access, ACCESS_PROXY);
    EXPECT_EQ(conn->username, "alice@10.0.0.7");
    EXPECT_FALSE(conn->request->proxy_authorization.has_value());
    for (const HTTP_HEADER& line : conn->request->lines)
        EXPECT_NE(line.name.size(), std::string("proxy-authorization").size()) << line.name;
    EXPECT_EQ(conn->request->lines.size(), 1u);
    EXPECT_EQ(conn->variables.count("CLIENT[proxy-authorization]"), 0u);
}

TEST_F(AccessAuth, WrongCredentialsAreChallengedAgain)
{
    load("allow_deny", {{.username = "alice", .password = "secret"}});
    ConnectionPtr conn = request(HEADER_ORIGIN, basic("alice", "nope"));
    ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
    ASSERT_NE(conn->response, nullptr);
    EXPECT_EQ(conn->response->status, 401);
    EXPECT_NE(conn->auth & AUTH_NEEDED, 0);
    EXPECT_EQ(conn->username, "");
    EXPECT_TRUE(conn->request->authorization.has_value());
    release(conn.get());
}

TEST_F(AccessAuth, MalformedCredentialsGetNoCheck)
{
    load("allow_deny", {{.access = "proxy"}});
    for (const std::string& value : {"Basic"s, "Basic " + to64frombits("alice"), "Basic " + to64frombits("a:b:c")}) {
        SCOPED_TRACE(value);
        ConnectionPtr conn = request(HEADER_ABSOLUTE, value);
        EXPECT_EQ(access_auth(conn.get(), conn->body.get()), 0);
        EXPECT_EQ(conn->response, nullptr);
        EXPECT_EQ(conn->access, 0);   // the pipeline refuses it for lack of permissions
        EXPECT_TRUE(conn->request->proxy_authorization.has_value());
    }
}

TEST_F(AccessAuth, RefusedClientGetsTheNoaccessPage)
{
    load("allow_deny", {{.clients = "192.168.0.0-192.168.255.255"}});
    ConnectionPtr conn = request(HEADER_ABSOLUTE);
    conn->body->Add("left over from the request"sv);
    ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
    ASSERT_NE(conn->response, nullptr);
    EXPECT_EQ(conn->response->status, 200);
    EXPECT_NE(conn->body->view().find("Access denied"), std::string::npos) << conn->body->view();
    EXPECT_EQ(conn->body->view().find("left over from the request"), std::string::npos);
    EXPECT_EQ(conn->response->content_type, "text/html");
    release(conn.get());
}

TEST_F(AccessAuth, OriginCredentialsForTheSiteStayWithTheRequest)
{
    // A diverted request carrying the origin server's own Basic credentials, from a client that
    // needs none here: admitted, and the credentials go on to the site.
    load("allow_deny", {{.access = "transparent,hostheader"}});
    ConnectionPtr conn = request(HEADER_ORIGIN, basic("siteuser", "sitepw"));
    EXPECT_EQ(access_auth(conn.get(), conn->body.get()), 0);
    EXPECT_EQ(conn->access, ACCESS_TRANSPARENT | ACCESS_HOST_HEADER);
    EXPECT_TRUE(conn->request->authorization.has_value());
}

TEST_F(AccessAuth, PendingAuthenticationOutlivesTheRequest)
{
    // The first rule takes only clients forwarded for 10.9.9.9 and asks them to authenticate.
    load("allow_deny", {{.clients = "10.9.9.9", .username = "alice", .password = "secret"}, {.access = "proxy"}});
    ConnectionPtr conn = request(HEADER_ABSOLUTE);
    conn->request->x_forwarded_for = "10.9.9.9";
    ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
    EXPECT_EQ(conn->response->status, 407);
    release(conn.get());

    // The next request on the connection is admitted by the second rule, which needs nothing,
    // but the pending authentication stays until a check succeeds.
    conn->request->x_forwarded_for.reset();
    conn->access = 0;
    ASSERT_EQ(access_auth(conn.get(), conn->body.get()), 1);
    EXPECT_EQ(conn->response->status, 407);
    release(conn.get());

    ConnectionPtr fresh = request(HEADER_ABSOLUTE);
    EXPECT_EQ(access_auth(fresh.get(), fresh->body.get()), 0);
    EXPECT_EQ(fresh->access, ACCESS_PROXY);
}

} // namespace
