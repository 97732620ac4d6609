// Every section that matches patterns, run by many threads at once against the same compiled
// rules, as connection threads do. The texts are long and the patterns take them apart group by
// group, so that every match needs working memory well beyond its first block: threads that
// shared a compiled pattern's working memory would corrupt each other's matches.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "config/general.h"
#include "config/profile.h"
#include "core/threads.h"
#include "http/header.h"
#include "http/request.h"
#include "policy/cookie.h"
#include "policy/filter.h"
#include "policy/headerfilter.h"
#include "policy/keyword.h"
#include "policy/mime.h"
#include "policy/redirect.h"
#include "policy/rewrite.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

std::string repeated(std::string_view unit, int times)
{
    std::string out;
    out.reserve(unit.size() * times);
    for (int i = 0; i < times; ++i)
        out += unit;
    return out;
}

const std::string HOST = "h" + repeated("ab", 120) + ".example";
const std::string PATH = "/" + repeated("abc", 500);
const std::string LONG_VALUE = repeated("abc", 1200);
const std::string TYPE = "text/html; x=" + repeated("abc", 800);
const std::string BODY = repeated("abc", 20000) + "d";

// Host, path and type patterns that walk their whole text one group at a time.
const char* const HOST_PATTERN = "^h(ab)+\\.example$";
const char* const PATH_PATTERN = "^/(abc)+$";
const char* const TYPE_PATTERN = "^text/html; x=(abc|d)+$";

void load_rules()
{
    road::sections_create();
    sections_create({"keyword", "rewrite", "cookie"});

    const XmlFields filter_rule = {{"enabled", "true"}, {"comment", "deep"}, {"profiles", ""}, {"host", HOST_PATTERN},
                                   {"file", PATH_PATTERN}, {"ip", ""},       {"template", ""}};
    section_load(*filter_section, "<url-filtering><enabled>true</enabled><order>deny_allow</order><template/>" +
                                      item_xml("deny", filter_rule, {}) + "</url-filtering>");

    const XmlFields mime_rule = {{"enabled", "true"}, {"comment", "deep"}, {"profiles", ""}, {"host", HOST_PATTERN},
                                 {"file", PATH_PATTERN}, {"mime", TYPE_PATTERN}, {"template", ""}};
    section_load(*mime_section, "<mime-filtering><enabled>true</enabled><order>deny_allow</order><template/>" +
                                    item_xml("deny", mime_rule, {}) + "</mime-filtering>");

    const XmlFields header_rule = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},
                                   {"name", "^x-long$"}, {"value", "^(abc)+$"}, {"direction", "3"}};
    section_load(*header_section, "<header-filtering><enabled>true</enabled><order>deny_allow</order>" +
                                      item_xml("deny", header_rule, {}) + "</header-filtering>");

    const XmlFields keyword_rule = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},
                                    {"mime", TYPE_PATTERN}, {"keyword", "(abc)+d"}, {"score", "7"}};
    section_load(*keyword_section, "<keywords-filtering><enabled>true</enabled><threshold>100</threshold><template/>" +
                                       item_xml("keyword", keyword_rule, {}) + "</keywords-filtering>");

    const XmlFields rewrite_rule = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"mime", TYPE_PATTERN},
                                    {"pattern", "(abc)+"}, {"replace", "X"}, {"which", "4"}};
    section_load(*rewrite_section,
                 "<rewrite><enabled>true</enabled>" + item_xml("rewrite", rewrite_rule, {}) + "</rewrite>");

    const XmlFields redirect_rule = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""},
                                     {"url", "^http://h(ab)+\\.example/(abc)+"}, {"redirect", "http://other.example/"},
                                     {"port", "-1"},      {"send302", "0"},  {"options", "0"}, {"applyto", "1"}};
    section_load(*redirect_section,
                 "<redirect><enabled>true</enabled>" + item_xml("redirect", redirect_rule, {}) + "</redirect>");

    const XmlFields cookie_rule = {
        {"enabled", "true"}, {"comment", ""},   {"profiles", ""}, {"year", "-"},   {"month", "-"},
        {"day", "-"},        {"weekday", "-"},  {"hour", "-"},    {"minute", "-"}, {"domain", "^(ab)+\\.example$"},
        {"path", PATH_PATTERN}, {"direction", "0"}, {"timematch", "absolute"},
    };
    section_load(*cookie_section, "<cookies-filtering><enabled>true</enabled><order>deny_allow</order>" +
                                      item_xml("deny", cookie_rule, {}) + "</cookies-filtering>");

    const XmlFields profile_rule = {
        {"enabled", "true"},  {"comment", ""},       {"log", "false"},      {"profiles", ""},
        {"scheme", "^http$"}, {"host", HOST_PATTERN}, {"file", PATH_PATTERN}, {"mime", TYPE_PATTERN},
        {"port", ""},         {"urlcommand", ""},    {"proxyhost", ""},     {"requestheader", "x-long: (abc)+\\r"},
        {"responseheader", "x-resp: (abc)+\\r"}, {"month", "-"}, {"day", "-"}, {"weekday", "-"},
        {"hour", "-"},        {"minute", "-"},       {"timematch", "absolute"}, {"add", "deep"},
        {"remove", ""},
    };
    section_load(*profile_section, "<profiles>" + item_xml("profile", profile_rule, {}) + "</profiles>");

    section_load(*general_section,
                 "<general>" + item_xml("rule", GENERAL_RULE_FIELDS, {{"encodemime", TYPE_PATTERN}}) + "</general>");
}

void unload_rules()
{
    section_load(*filter_section, "<url-filtering><enabled>false</enabled></url-filtering>");
    section_load(*mime_section, "<mime-filtering><enabled>false</enabled></mime-filtering>");
    section_load(*header_section, "<header-filtering><enabled>false</enabled></header-filtering>");
    section_load(*keyword_section, "<keywords-filtering><enabled>false</enabled></keywords-filtering>");
    section_load(*rewrite_section, "<rewrite><enabled>false</enabled></rewrite>");
    section_load(*redirect_section, "<redirect><enabled>false</enabled></redirect>");
    section_load(*cookie_section, "<cookies-filtering><enabled>false</enabled></cookies-filtering>");
    section_load(*profile_section, "<profiles></profiles>");
    section_load(*general_section, "<general></general>");
}

// What one connection's request meets in every section; each entry is true when the section
// decided as its rules say for these texts.
std::vector<bool> one_request()
{
    ConnectionPtr connection = connection_new("127.0.0.1");
    connection->request = http_header_parse_request("GET http://" + HOST + PATH + " HTTP/1.1\r\nHost: x\r\nX-Long: " +
                                                    LONG_VALUE + "\r\nX-Short: kept\r\n\r\n");
    HeaderPtr response =
        http_header_parse_response("HTTP/1.1 200 OK\r\nContent-Type: " + TYPE + "\r\nX-Resp: " + LONG_VALUE + "\r\n\r\n");
    if (connection->request == nullptr || response == nullptr)
        return {false};
    connection->response = response.get();
    std::vector<bool> right;

    profile_section->profiles_update(connection.get());
    right.push_back(connection->profiles.size() == 1 && connection->profiles.front() == "deep");

    header_section->filter(connection.get(), HEADERFILTER_REQUEST);
    std::vector<std::string> kept;
    for (const HTTP_HEADER& line : connection->request->filtered) {
        if (line.type == HTTP_HEADER_PASS)
            kept.push_back(line.name);
    }
    right.push_back(kept == std::vector<std::string>{"X-Short"});

    right.push_back(filter_section->check(connection.get()) != nullptr);
    right.push_back(mime_section->check(connection.get()) != nullptr);

    Filebuf body;
    body.Add(BODY);
    right.push_back(keyword_section->check(connection.get(), &body) == 7);
    right.push_back(rewrite_section->rewrite_do(connection.get(), &body, REWRITE_BODY) == 1 && body.view() == "Xd");

    CookieHeader cookie("id=" + LONG_VALUE + "; domain=" + repeated("ab", 300) + ".example; path=" + PATH);
    right.push_back(!cookie_section->check(COOKIE_INCOMING, connection.get(), cookie));

    right.push_back(general_section->encodemime_check(connection.get(), TYPE) == 1);

    right.push_back(redirect_section->redirect_do(connection.get(), REDIRECT_REQUEST) == 0 &&
                    text_view(connection->request->host) == "other.example");
    connection->response = nullptr;
    return right;
}

constexpr int THREADS = 8;
constexpr int ROUNDS = 6;

// The rounds of the connection threads, and how many of each thread's rounds came out as the
// same request alone does.
struct Workers {
    std::vector<bool> alone;
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<int> right;
    int finished = 0;
};

void* serve_rounds(void* data)
{
    std::unique_ptr<std::shared_ptr<Workers>> holder(static_cast<std::shared_ptr<Workers>*>(data));
    const std::shared_ptr<Workers> workers = *holder;
    int right = 0;
    for (int i = 0; i < ROUNDS; ++i) {
        if (one_request() == workers->alone)
            ++right;
    }
    {
        std::lock_guard lock(threadlistlock);
        threads[thread_find()].state = THREAD_FREE;
    }
    std::lock_guard lock(workers->mutex);
    workers->right.push_back(right);
    ++workers->finished;
    workers->cv.notify_all();
    return nullptr;
}

TEST(RegexSections, EverySectionMatchesFromManyThreadsAtOnce)
{
    load_rules();
    auto workers = std::make_shared<Workers>();
    workers->alone = one_request();
    EXPECT_EQ(workers->alone, std::vector<bool>(9, true)) << "every section decides by its rules";

    // Connection threads, with the stack size the proxy gives them.
    for (int t = 0; t < THREADS; ++t)
        ASSERT_GE(thread_create(serve_rounds, std::make_unique<std::shared_ptr<Workers>>(workers).release()), 0);
    {
        std::unique_lock lock(workers->mutex);
        workers->cv.wait(lock, [&] { return workers->finished == THREADS; });
    }
    EXPECT_EQ(workers->right, std::vector<int>(THREADS, ROUNDS));
    unload_rules();
}

} // namespace
