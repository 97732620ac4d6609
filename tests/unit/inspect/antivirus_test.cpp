#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache/cache.h"
#include "config/general.h"
#include "config/xmlcursor.h"
#include "core/processors.h"
#include "http/request.h"
#include "http/response.h"
#include "inspect/antivirus.h"
#include "inspect/clamav.h"
#include "inspect/fprot.h"
#include "inspect/kaspersky.h"
#include "inspect/sophie.h"
#include "counting_cache.h"
#include "loopback.h"
#include "policy_fixture.h"
#include "road_fixture.h"
#include "util/filebuf.h"

namespace {

const XmlFields RULE = {{"enabled", "true"}, {"comment", ""}, {"profiles", ""}, {"template", ""}};

std::string rule(const std::map<std::string, std::string>& set = {}) { return item_xml("rule", RULE, set); }

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string line_read(int fd)
{
    std::string line;
    char c = 0;
    while (read(fd, &c, 1) == 1) {
        line += c;
        if (c == '\n')
            break;
    }
    return line;
}

bool read_exact(int fd, char* out, std::size_t n)
{
    while (n > 0) {
        const ssize_t got = read(fd, out, n);
        if (got <= 0)
            return false;
        out += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// A daemon on a Unix socket of a fresh directory, serving each connection with a script on its
// own thread; the script gets the accepted descriptor, which is closed after it.
class UnixPeer {
public:
    explicit UnixPeer(std::function<void(int)> script) : script_(std::move(script))
    {
        char dir[] = "/tmp/avpeerXXXXXX";
        dir_ = mkdtemp(dir);
        path = dir_ + "/daemon.sock";
        listener_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(listen(listener_, 8), 0);
        thread_ = std::thread([this] { serve(); });
    }
    UnixPeer(const UnixPeer&) = delete;
    UnixPeer& operator=(const UnixPeer&) = delete;
    ~UnixPeer()
    {
        stop_ = true;
        thread_.join();
        close(listener_);
        std::filesystem::remove_all(dir_);
    }

    std::string path;
    std::atomic<int> accepted{0};

private:
    void serve()
    {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                continue;
            ++accepted;
            script_(fd);
            close(fd);
        }
    }

    std::function<void(int)> script_;
    std::string dir_;
    int listener_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
};

// clamd's side of a stream scan: the command line, length-prefixed chunks up to a zero length,
// then the scripted answer. What arrived is kept for the test.
struct ClamdScript {
    std::string answer{};
    std::string command{};
    std::string body{};
    std::vector<std::uint32_t> chunks{};
    bool ended = false;

    void operator()(int fd)
    {
        command = line_read(fd);
        for (;;) {
            unsigned char size[4];
            if (!read_exact(fd, reinterpret_cast<char*>(size), 4))
                return;
            const std::uint32_t n = (std::uint32_t{size[0]} << 24) | (size[1] << 16) | (size[2] << 8) | size[3];
            if (n == 0)
                break;
            chunks.push_back(n);
            std::string chunk(n, '\0');
            if (!read_exact(fd, chunk.data(), n))
                return;
            body += chunk;
        }
        ended = true;
        (void)!write(fd, answer.data(), answer.size());
    }
};

class AntivirusTest : public testing::Test {
protected:
    void SetUp() override
    {
        road::sections_create();
        sections_create({"general", "template", "fprot", "kaspersky", "sophie", "clamav"});
        char dir[] = "/tmp/avtmpXXXXXX";
        tempdir_ = mkdtemp(dir);
        general_load(tempdir_);
        road::log_clear();
    }
    void TearDown() override
    {
        section_load(*clamav_section, "<clamav><enabled>false</enabled></clamav>");
        section_load(*kaspersky_section, "<kaspersky><enabled>false</enabled></kaspersky>");
        section_load(*sophie_section, "<sophie><enabled>false</enabled></sophie>");
        section_load(*fprot_section, "<fprot><enabled>false</enabled></fprot>");
        general_load("/tmp");
        std::filesystem::remove_all(tempdir_);
    }

    static void general_load(const std::string& tempdir, const std::string& timeout = "60")
    {
        section_load(*general_section, "<general><hostname>localhost</hostname><tempdir>" + tempdir +
                                           "</tempdir><linelength>100</linelength><poolsize>20</poolsize>"
                                           "<pooltimeout>30</pooltimeout>" +
                                           item_xml("rule", GENERAL_RULE_FIELDS, {{"timeout", timeout}}) +
                                           "</general>");
    }

    static void clamav_load(const std::string& address, const std::string& rules, const std::string& templ = "",
                            bool enabled = true)
    {
        section_load(*clamav_section, std::string("<clamav><enabled>") + (enabled ? "true" : "false") +
                                          "</enabled><host>" + address + "</host><port>0</port><template>" + templ +
                                          "</template>" + rules + "</clamav>");
    }

    static Filebuf body_of(std::string_view text)
    {
        Filebuf body;
        body.Add(text);
        return body;
    }

    std::vector<std::string> tempdir_entries() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(tempdir_))
            names.push_back(entry.path().filename());
        return names;
    }

    std::string tempdir_;
};

TEST_F(AntivirusTest, ARuleAppliesOnlyWhenEnabledUnbypassedAndItsProfilesMatch)
{
    struct Case {
        const char* what;
        bool enabled;
        std::string rules;
        std::uint32_t bypass;
        const char* profile;
        int buffer;
    };
    const Case cases[] = {
        {"a rule for every connection", true, rule(), 0, "", 1},
        {"the section disabled", false, rule(), 0, "", 0},
        {"bypass letter a", true, rule(), BYPASS_ANTIVIRUS, "", 0},
        {"other bypass letters do not count", true, rule(), BYPASS_KEYWORD, "", 1},
        {"no rules", true, "", 0, "", 0},
        {"a disabled rule", true, rule({{"enabled", "false"}}), 0, "", 0},
        {"a profile the connection lacks", true, rule({{"profiles", "kids"}}), 0, "adults", 0},
        {"a profile the connection carries", true, rule({{"profiles", "kids"}}), 0, "kids", 1},
        {"a negated profile it lacks", true, rule({{"profiles", "!kids"}}), 0, "adults", 1},
        {"the first disabled, the second applies", true, rule({{"enabled", "false"}}) + rule(), 0, "", 1},
    };
    for (const Case& c : cases) {
        clamav_load("/nonexistent", c.rules, "", c.enabled);
        road::Wired wired(false);
        wired->bypass = c.bypass;
        if (*c.profile != '\0')
            wired->profiles.push_back(c.profile);
        EXPECT_EQ(clamav_section->check_match(wired.get()), c.buffer) << c.what;
        EXPECT_EQ(clamav_buffcheck(wired.get(), nullptr), c.buffer) << c.what;
    }
}

TEST_F(AntivirusTest, ClamAVStreamsTheWholeBodyInChunksAndReadsTheAnswerByItsWords)
{
    struct Case {
        const char* answer;
        AntivirusVerdict::Kind kind;
        const char* name;
        bool error_logged;
    };
    // Only "<stream>: OK" is clean and only "<stream>: <name> FOUND" infected: every other
    // answer is no verdict, whatever its number of words.
    const Case cases[] = {
        {"stream: OK\n", AntivirusVerdict::CLEAN, "", false},
        {"stream: OK\r\n", AntivirusVerdict::CLEAN, "", false},
        {"stream: Eicar-Test-Signature FOUND\n", AntivirusVerdict::INFECTED, "Eicar-Test-Signature", false},
        {"OK\n", AntivirusVerdict::FAILED, "", true},
        {"any  two\n", AntivirusVerdict::FAILED, "", true},
        {"UNKNOWN COMMAND\n", AntivirusVerdict::FAILED, "", true},
        {"stream: ok\n", AntivirusVerdict::FAILED, "", true},
        {"stream: Lstat() failed ERROR\n", AntivirusVerdict::FAILED, "", true},
        {"stream: Some-Name ERROR\n", AntivirusVerdict::FAILED, "", true},
        {"stream: FOUND\n", AntivirusVerdict::FAILED, "", true},
        {"INSTREAM size limit exceeded. ERROR\n", AntivirusVerdict::FAILED, "", true},
        {"", AntivirusVerdict::FAILED, "", true},   // closed without an answer
    };
    // Larger than one chunk, with zero bytes, so that the framing and the reassembly both show.
    std::string body(600 * 1024 + 17, 'x');
    body[5] = '\0';
    body[body.size() - 1] = '\0';
    for (const Case& c : cases) {
        road::log_clear();
        ClamdScript script{c.answer};
        UnixPeer peer([&script](int fd) { script(fd); });
        const AntivirusVerdict verdict = clamav_scan(peer.path, 0, body, 60);
        EXPECT_EQ(verdict.kind, c.kind) << c.answer;
        EXPECT_EQ(verdict.name, c.name) << c.answer;
        EXPECT_EQ(script.command, "nINSTREAM\n");
        EXPECT_TRUE(script.ended) << "the stream ends with a zero length";
        EXPECT_EQ(script.body.size(), body.size());
        EXPECT_TRUE(script.body == body) << "the daemon gets every byte, in order";
        EXPECT_GT(script.chunks.size(), 1u);
        EXPECT_EQ(road::was_logged("antivirus: ", "error: ClamAV: failed to check file for viruses"), c.error_logged)
            << c.answer;
    }
}

TEST_F(AntivirusTest, ClamAVThatCannotBeReachedFailsOpenWithItsLogLines)
{
    const std::string nowhere = tempdir_ + "/no.sock";
    EXPECT_EQ(clamav_scan(nowhere, 0, "body", 60).kind, AntivirusVerdict::FAILED);
    EXPECT_TRUE(road::was_logged("advice: ", "ClamAV: Please Verify that ClamAV is listening on " + nowhere));
    const int port = free_port();
    EXPECT_EQ(clamav_scan("127.0.0.1", port, "body", 60).kind, AntivirusVerdict::FAILED);
    EXPECT_TRUE(road::was_logged("advice: ", "ClamAV: Please Verify that ClamAV is listening on 127.0.0.1:" + std::to_string(port)));
    EXPECT_TRUE(road::was_logged("antivirus: ", "error: ClamAV: failed to check file for viruses"));
}

// Set once the proxy's side is done with a daemon of the test.
std::atomic<bool> released{false};

// Waits until the proxy's side of fd has gone or the test released the daemon (or a long while
// has passed, so that a proxy that never gives up is caught by its elapsed time rather than
// hanging the test), reading what comes when `drain` is set, and never answering.
void silent_until_closed(int fd, bool drain)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    char buffer[65536];
    while (std::chrono::steady_clock::now() < give_up && !released) {
        pollfd p{fd, static_cast<short>(drain ? POLLIN : POLLRDHUP), 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        if (!drain)
            return;
        if (read(fd, buffer, sizeof buffer) <= 0)
            return;
    }
}

// A TCP daemon on the loopback serving one connection with a script on its own thread.
class TcpPeer {
public:
    explicit TcpPeer(std::function<void(int)> script)
    {
        listener_ = loopback_listener(&port);
        thread_ = std::thread([this, script = std::move(script)] {
            pollfd p{listener_, POLLIN, 0};
            if (poll(&p, 1, 20000) <= 0)
                return;
            const int fd = accept(listener_, nullptr, nullptr);
            if (fd < 0)
                return;
            script(fd);
            close(fd);
        });
    }
    TcpPeer(const TcpPeer&) = delete;
    TcpPeer& operator=(const TcpPeer&) = delete;
    ~TcpPeer()
    {
        thread_.join();
        close(listener_);
    }

    int port = 0;

private:
    int listener_ = -1;
    std::thread thread_;
};

// A daemon that accepts and then hangs, at any step of any dialogue, ends the scan at the
// general rule's time-out: the scan has failed and the response passes.
TEST_F(AntivirusTest, ADaemonThatHangsEndsTheScanAtTheTimeOut)
{
    general_load(tempdir_, "1");
    // More than the socket buffers of both ends hold, so that a daemon that does not read stalls
    // the writer.
    const std::string big(8 << 20, 'b');
    struct Case {
        const char* what;
        const char* section;   // clamav, kaspersky, sophie (Unix) or sophie-tcp
        std::function<void(int)> script;
        const std::string* body;
        const char* logged;
    };
    const Case cases[] = {
        {"clamd silent after the stream", "clamav", [](int fd) { silent_until_closed(fd, true); }, nullptr,
         "ClamAV: Please Verify the Socket Read Permissions"},
        {"clamd that stops reading the stream", "clamav", [](int fd) { silent_until_closed(fd, false); }, &big,
         "ClamAV: Please Verify the Socket Write Permissions"},
        {"Kaspersky silent after the command", "kaspersky", [](int fd) { silent_until_closed(fd, true); }, nullptr,
         "no viruses detected by Kaspersky"},
        {"Sophie silent after the path", "sophie", [](int fd) { silent_until_closed(fd, true); }, nullptr,
         "error checking file for viruses"},
        {"Sophie over TCP silent before its OK", "sophie-tcp", [](int fd) { silent_until_closed(fd, true); }, nullptr,
         "'OK' not returned from Sophie"},
        {"Sophie over TCP that stops reading the file", "sophie-tcp",
         [](int fd) {
             line_read(fd);
             (void)!write(fd, "OK\n", 3);
             silent_until_closed(fd, false);
         },
         &big, "error checking file for viruses"},
        {"Sophie over TCP silent after the file", "sophie-tcp",
         [](int fd) {
             line_read(fd);
             (void)!write(fd, "OK\n", 3);
             silent_until_closed(fd, true);
         },
         nullptr, "No virus Found"},
    };
    for (const Case& c : cases) {
        road::log_clear();
        const std::string section = c.section;
        std::optional<UnixPeer> unix_peer;
        std::optional<TcpPeer> tcp_peer;
        if (section == "sophie-tcp") {
            tcp_peer.emplace(c.script);
            section_load(*sophie_section, "<sophie><enabled>true</enabled><socket/><host>127.0.0.1</host><port>" +
                                              std::to_string(tcp_peer->port) + "</port><template/>" + rule() +
                                              "</sophie>");
        } else {
            unix_peer.emplace(c.script);
            if (section == "clamav")
                clamav_load(unix_peer->path, rule());
            else if (section == "kaspersky")
                section_load(*kaspersky_section, "<kaspersky><enabled>true</enabled><template/><socket>" +
                                                     unix_peer->path + "</socket>" + rule() + "</kaspersky>");
            else
                section_load(*sophie_section, "<sophie><enabled>true</enabled><socket>" + unix_peer->path +
                                                  "</socket><host/><port>0</port><template/>" + rule() + "</sophie>");
        }
        road::Wired wired(false);
        Filebuf body = body_of(c.body != nullptr ? std::string_view(*c.body) : std::string_view("a small body"));
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(processors.Execute(STAGE_RESPONSE_CHECK, wired.get(), &body), 0) << c.what;
        const auto took = std::chrono::steady_clock::now() - start;
        // A time-out of one second, twice for a write and the close; far below the daemon's 20.
        EXPECT_LT(took, std::chrono::seconds(10)) << c.what;
        EXPECT_NE(wired->flags & CONN_SCAN_INCOMPLETE, 0u) << c.what;
        const char* category = section == "clamav" ? "advice: " : "antivirus: ";
        EXPECT_TRUE(road::was_logged(category, c.logged)) << c.what;
        // A TCP daemon that stopped reading never sees the close queued behind what it left.
        released = true;
        unix_peer.reset();
        tcp_peer.reset();
        released = false;
        section_load(*clamav_section, "<clamav><enabled>false</enabled></clamav>");
        section_load(*kaspersky_section, "<kaspersky><enabled>false</enabled></kaspersky>");
        section_load(*sophie_section, "<sophie><enabled>false</enabled></sophie>");
    }
}

// A connect that finds the daemon's backlog full waits no longer than the time-out either.
TEST_F(AntivirusTest, AConnectToAFullBacklogEndsAtTheTimeOut)
{
    char dir[] = "/tmp/avpeerXXXXXX";
    const std::string directory = mkdtemp(dir);
    const std::string path = directory + "/daemon.sock";
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    // A daemon that accepts nobody: the first client fills the backlog.
    std::vector<int> waiting;
    for (int i = 0; i < 4; ++i) {
        const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        waiting.push_back(fd);
    }
    // A proxy that never gives up is released after a long while, by the daemon going away.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 200 && !done; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        close(listener);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(clamav_scan(path, 0, "body", 1).kind, AntivirusVerdict::FAILED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    done = true;
    watchdog.join();
    EXPECT_TRUE(road::was_logged("advice: ", "ClamAV: Please Verify that ClamAV is listening on " + path));
    for (const int fd : waiting)
        close(fd);
    std::filesystem::remove_all(directory);
}

TEST_F(AntivirusTest, AnInfectedBodyIsBlockedWithTheChosenTemplateAndRecorded)
{
    struct Case {
        std::string rule_templ, section_templ;
        const char* title;   // of the page that must reach the client
    };
    const Case cases[] = {
        {"", "", "Virus"},                        // neither: "virus"
        {"", "blacklisted", "Page blacklisted"},  // the section's
        {"blocked", "blacklisted", "Page Blocked"},   // the rule's wins
    };
    for (const Case& c : cases) {
        road::log_clear();
        ClamdScript script{"stream: Test.Virus FOUND\n"};
        UnixPeer peer([&script](int fd) { script(fd); });
        clamav_load(peer.path, rule({{"template", c.rule_templ}}), c.section_templ);
        road::Wired wired(false);
        Filebuf body = body_of("infected bytes");
        EXPECT_EQ(processors.Execute(STAGE_RESPONSE_CHECK, wired.get(), &body), 1) << c.title;
        const std::string sent = road::read_now(wired.client_peer);
        EXPECT_NE(sent.find(c.title), std::string::npos) << sent.substr(0, 300);
        EXPECT_EQ(wired->variables["VIRUSNAME"], "Test.Virus");
        EXPECT_EQ(wired->variables["AVSCANNER"], "ClamAV");
        EXPECT_EQ(wired->logentry.filter_name, "ClamAV");
        EXPECT_EQ(wired->logentry.filtering_reason, "Test.Virus");
        EXPECT_TRUE(road::was_logged("antivirus: ", "ClamAV: detected Test.Virus virus"));
    }
    road::Wired wired(false);
    Filebuf body = body_of("infected bytes");
    ClamdScript script{"stream: Test.Virus FOUND\n"};
    UnixPeer peer([&script](int fd) { script(fd); });
    clamav_load(peer.path, rule());
    ASSERT_EQ(clamav_section->check_and_block(wired.get(), &body), 1);
    EXPECT_NE(road::read_now(wired.client_peer).find("Test.Virus"), std::string::npos) << "the page names the virus";
}

// The clean mark on a cached copy: set only when every connector that applied completed a clean
// scan. The stand-in cache keeps no flags, so the decision itself is what is looked at.
TEST_F(AntivirusTest, OnlyACompletedCleanScanMarksTheCachedCopyClean)
{
    struct Case {
        const char* what;
        bool clamav_applies;
        const char* clamav_answer;   // null: nobody listens
        bool sophie_fails;           // a second connector that applies and cannot reach its daemon
        bool marked;
    };
    const Case cases[] = {
        {"a clean verdict", true, "stream: OK\n", false, true},
        {"a scan that failed open", true, nullptr, false, false},
        {"an unexpected answer", true, "what?\n", false, false},
        {"two words that are no verdict", true, "UNKNOWN COMMAND\n", false, false},
        {"no connector applied", false, nullptr, false, false},
        {"clean by one, failed open by another", true, "stream: OK\n", true, false},
    };
    for (const Case& c : cases) {
        ClamdScript script{c.clamav_answer != nullptr ? c.clamav_answer : ""};
        UnixPeer peer([&script](int fd) { script(fd); });
        clamav_load(c.clamav_answer != nullptr ? peer.path : tempdir_ + "/none.sock", c.clamav_applies ? rule() : "");
        section_load(*sophie_section, std::string("<sophie><enabled>") + (c.sophie_fails ? "true" : "false") +
                                          "</enabled><socket>" + tempdir_ + "/none.sock</socket><host/><port>0</port>"
                                          "<template/>" + rule() + "</sophie>");
        road::Wired wired(false);
        Filebuf body = body_of("some body");
        EXPECT_EQ(processors.Execute(STAGE_RESPONSE_CHECK, wired.get(), &body), 0) << c.what;
        EXPECT_EQ((wired->flags & (CONN_SCAN_CLEAN | CONN_SCAN_INCOMPLETE)) == CONN_SCAN_CLEAN, c.marked) << c.what;
    }
}

TEST_F(AntivirusTest, ACachedCopyScannedBeforeIsNeitherBufferedNorScannedUnlessStoredAnew)
{
    CountingCache cache;
    CacheSection* const saved = cache_section;
    cache_section = &cache;
    CACHEMAP object;
    object.key = "http://example.test/file";
    object.flags = CACHE_CLEAN;
    ClamdScript script{"stream: Test.Virus FOUND\n"};
    UnixPeer peer([&script](int fd) { script(fd); });
    clamav_load(peer.path, rule());
    {
        road::Wired wired(false);
        wired->cache = CacheRef(&cache, &object);
        Filebuf body = body_of("bytes");
        EXPECT_EQ(clamav_section->check_match(wired.get()), 0);
        EXPECT_EQ(clamav_section->check_and_block(wired.get(), &body), 0) << "buffered for another filter";
        EXPECT_EQ(peer.accepted, 0);

        wired->flags |= CONN_CACHE;   // the response is being stored anew
        EXPECT_EQ(clamav_section->check_match(wired.get()), 1);
        EXPECT_EQ(clamav_section->check_and_block(wired.get(), &body), 1);

        object.flags = 0;
        wired->flags &= ~CONN_CACHE;
        EXPECT_EQ(clamav_section->check_match(wired.get()), 1) << "a copy never scanned clean";
        wired->cache.release();
    }
    cache_section = saved;
}

TEST_F(AntivirusTest, KasperskyReadsNumberedLinesUntilAVerdict)
{
    struct Case {
        const char* what;
        std::string replies;   // sent after the command
        bool blocked;
        const char* name;
        AntivirusVerdict::Kind kind;
    };
    const Case cases[] = {
        {"a name, then infected", "201 started\r\n322 Trojan.Test extra words\r\n230 infected\r\n", true, "Trojan.Test",
         AntivirusVerdict::INFECTED},
        {"progress lines are skipped", "201 a\r\n321 b\r\n325 c\r\n322 X.Y\r\n230 x\r\n", true, "X.Y",
         AntivirusVerdict::INFECTED},
        {"clean", "201 started\r\n220 clean\r\n", false, "", AntivirusVerdict::CLEAN},
        {"infected without a name", "230 infected\r\n", true, "", AntivirusVerdict::INFECTED},
        {"closed without a verdict", "201 started\r\n", false, "", AntivirusVerdict::FAILED},
        {"an unknown code", "500 what\r\n", false, "", AntivirusVerdict::FAILED},
        {"a name of more than 127 characters is cut", "322 " + std::string(200, 'n') + "\r\n230 x\r\n", true, nullptr,
         AntivirusVerdict::INFECTED},
    };
    for (const Case& c : cases) {
        road::log_clear();
        std::string command, content, quit;
        std::optional<UnixPeer> peer(std::in_place, [&](int fd) {
            command = line_read(fd);
            const std::string path = command.substr(command.rfind(' ') + 1, command.size() - command.rfind(' ') - 3);
            content = read_file(path);
            (void)!write(fd, c.replies.data(), c.replies.size());
            // The daemon says nothing more, so that a dialogue without a verdict ends.
            shutdown(fd, SHUT_WR);
            quit = line_read(fd);
        });
        section_load(*kaspersky_section, "<kaspersky><enabled>true</enabled><template/><socket>" + peer->path +
                                             "</socket>" + rule() + "</kaspersky>");
        road::Wired wired(false);
        Filebuf body = body_of(std::string("scanned\0bytes", 13));
        EXPECT_EQ(kaspersky_respcheck(wired.get(), &body), c.blocked ? 1 : 0) << c.what;
        peer.reset();   // the daemon's side has ended: what it read is all there is
        EXPECT_EQ(command.rfind("SCAN xmQPRSTUWabcdefghi " + tempdir_ + "/tv", 0), 0u) << command;
        EXPECT_EQ(command.substr(command.size() - 2), "\r\n");
        EXPECT_EQ(content, std::string("scanned\0bytes", 13)) << c.what;
        EXPECT_EQ(quit, "QUIT\r\n") << c.what;
        EXPECT_TRUE(tempdir_entries().empty()) << c.what;
        if (c.blocked) {
            EXPECT_EQ(wired->variables["AVSCANNER"], "Kaspersky");
            EXPECT_EQ(wired->logentry.filter_name, "Kaspersky");
            if (c.name != nullptr)
                EXPECT_EQ(wired->variables["VIRUSNAME"], c.name) << c.what;
            else
                EXPECT_EQ(std::string_view(wired->variables["VIRUSNAME"]), std::string(127, 'n'));
        } else {
            EXPECT_TRUE(road::was_logged("antivirus: ", "no viruses detected by Kaspersky")) << c.what;
        }
        EXPECT_EQ((wired->flags & CONN_SCAN_CLEAN) != 0, c.kind == AntivirusVerdict::CLEAN) << c.what;
        if (c.replies.rfind("500", 0) == 0) {
            EXPECT_TRUE(road::was_logged("warning: ", "unknown response from Kaspersky daemon: 500 what"));
        }
    }
}

TEST_F(AntivirusTest, SophieOverItsUnixSocketReadsTheFileItIsNamed)
{
    struct Case {
        const char* reply;
        bool blocked;
        const char* name;
        const char* logged;
    };
    const Case cases[] = {
        {"1 EICAR\n", true, "EICAR", "detected EICAR virus with Sophie"},
        {"1\n", true, "", "detected  virus with Sophie"},   // shorter than three characters: no name
        {"0\n", false, "", "no viruses detected by Sophie"},
        {"-1 cannot scan\n", false, "", "error checking file for viruses"},
        {"", false, "", "error checking file for viruses"},
    };
    for (const Case& c : cases) {
        road::log_clear();
        std::string line, content;
        mode_t mode = 0;
        UnixPeer peer([&](int fd) {
            line = line_read(fd);
            const std::string path = line.substr(0, line.size() - 1);
            content = read_file(path);
            struct stat status {};
            stat(path.c_str(), &status);
            mode = status.st_mode & 0777;
            (void)!write(fd, c.reply, std::strlen(c.reply));
        });
        section_load(*sophie_section, "<sophie><enabled>true</enabled><socket>" + peer.path +
                                          "</socket><host/><port>0</port><template/>" + rule() + "</sophie>");
        road::Wired wired(false);
        Filebuf body = body_of("some bytes");
        EXPECT_EQ(sophie_respcheck(wired.get(), &body), c.blocked ? 1 : 0) << c.reply;
        EXPECT_EQ(line.rfind(tempdir_ + "/tv", 0), 0u) << line;
        EXPECT_EQ(content, "some bytes");
        EXPECT_EQ(mode, 0644u) << "a daemon running as another user reads it";
        EXPECT_TRUE(road::was_logged("antivirus: ", c.logged)) << c.reply;
        if (c.blocked) {
            EXPECT_EQ(wired->variables["VIRUSNAME"], c.name);
        }
        EXPECT_TRUE(tempdir_entries().empty());
    }
}

TEST_F(AntivirusTest, FProtOptionsAndAnswers)
{
    struct Options {
        int bits;
        const char* text;
    };
    const Options options[] = {
        {0x0, ""},
        {0x3, "-archive=5%20-packed%20"},
        {0x3c, "-ai%20-noheur%20-nomacro%20-onlymacro%20"},
    };
    for (const Options& o : options) {
        section_load(*fprot_section, "<fprot><enabled>true</enabled><template/><rule><enabled>true</enabled><comment/>"
                                     "<profiles/><template/><archive>5</archive><options>" +
                                         std::to_string(o.bits) + "</options></rule></fprot>");
        EXPECT_EQ(fprot_section->rules()->rules.at(0).options_text(), o.text) << o.bits;
    }

    struct Answer {
        const char* what;
        std::string xml;
        AntivirusVerdict::Kind kind;
        AntivirusVerdict::Naming naming;
        const char* name;
    };
    const std::string doctype = "<!DOCTYPE fprot-results [\n<!ELEMENT summary (#PCDATA)>\n]>\n";
    // Elements nested in the reply beyond any a daemon writes: a verdict beside them is not
    // taken, and nesting deep enough to exhaust a connection thread's stack is never parsed.
    const auto nested = [](std::size_t depth, std::string_view summary) {
        std::string text = "<fprot-results><summary>" + std::string(summary) + "</summary>";
        for (std::size_t i = 0; i < depth; ++i)
            text += "<d>";
        for (std::size_t i = 0; i < depth; ++i)
            text += "</d>";
        return text + "</fprot-results>";
    };
    const Answer answers[] = {
        {"infected, in any capitals, with a name",
         doctype + "<fprot-results><summary>InFeCtEd</summary><detected><name>W32/X</name></detected></fprot-results>",
         AntivirusVerdict::INFECTED, AntivirusVerdict::NAMED, "W32/X"},
        {"infected without detected", "<fprot-results><summary>infected</summary></fprot-results>",
         AntivirusVerdict::INFECTED, AntivirusVerdict::UNKNOWN, ""},
        {"detected without a name", "<fprot-results><summary>infected</summary><detected/></fprot-results>",
         AntivirusVerdict::INFECTED, AntivirusVerdict::UNNAMED, ""},
        {"clean", doctype + "<fprot-results><summary>clean</summary></fprot-results>", AntivirusVerdict::CLEAN,
         AntivirusVerdict::NAMED, ""},
        {"a summary without text", "<fprot-results><summary/></fprot-results>", AntivirusVerdict::FAILED,
         AntivirusVerdict::NAMED, ""},
        {"no summary", "<fprot-results></fprot-results>", AntivirusVerdict::FAILED, AntivirusVerdict::NAMED, ""},
        {"another root", "<results><summary>infected</summary></results>", AntivirusVerdict::FAILED,
         AntivirusVerdict::NAMED, ""},
        {"not XML", "<<<", AntivirusVerdict::FAILED, AntivirusVerdict::NAMED, ""},
        {"nested as deep as a reply may be", nested(XML_DEPTH_MAX - 1, "clean"), AntivirusVerdict::CLEAN,
         AntivirusVerdict::NAMED, ""},
        {"nested a level deeper", nested(XML_DEPTH_MAX, "clean"), AntivirusVerdict::FAILED, AntivirusVerdict::NAMED, ""},
        {"nested a million levels deep", nested(1000000, "infected"), AntivirusVerdict::FAILED,
         AntivirusVerdict::NAMED, ""},
    };
    for (const Answer& a : answers) {
        const AntivirusVerdict verdict = fprot_reply_read(a.xml);
        EXPECT_EQ(verdict.kind, a.kind) << a.what;
        EXPECT_EQ(verdict.name, a.name) << a.what;
        if (a.kind == AntivirusVerdict::INFECTED) {
            EXPECT_EQ(verdict.naming, a.naming) << a.what;
        }
    }

    // How each naming shows on the block.
    struct Block {
        AntivirusVerdict verdict;
        const char* logged;   // null: no detection line
        const char* reason;   // "-": none recorded
        const char* virusname;
    };
    const Block blocks[] = {
        {AntivirusVerdict::infected("W32/X"), "detected W32/X virus with F-Prot", "W32/X", "W32/X"},
        {AntivirusVerdict::infected({}, AntivirusVerdict::UNKNOWN), "detected unknown virus with F-Prot", "unknown", ""},
        {AntivirusVerdict::infected({}, AntivirusVerdict::UNNAMED), nullptr, "-", ""},
    };
    const AntivirusTraits traits = {"F-Prot", "f-prot", 202, LOG_ANTIVIRUS, "", "detected %s virus with F-Prot"};
    for (const Block& b : blocks) {
        road::log_clear();
        road::Wired wired(false);
        EXPECT_EQ(antivirus_block(wired.get(), traits, "virus", b.verdict), 1);
        EXPECT_EQ(road::read_now(wired.client_peer).rfind("HTTP/1.1 202", 0), 0u);
        EXPECT_EQ(wired->logentry.filtering_reason, b.reason);
        EXPECT_EQ(wired->logentry.filter_name, "f-prot");
        EXPECT_EQ(wired->variables["AVSCANNER"], "F-Prot");
        EXPECT_EQ(wired->variables["VIRUSNAME"], b.virusname);
        if (b.logged != nullptr)
            EXPECT_TRUE(road::was_logged("antivirus: ", b.logged));
        else
            EXPECT_TRUE(road::logged("antivirus: ").empty());
    }
}

TEST_F(AntivirusTest, TemporaryFilesAreCloseOnExecAndRemovedOnEveryPath)
{
    std::string path;
    {
        TempFile file(1024);
        ASSERT_TRUE(file.ok());
        path = file.path();
        EXPECT_EQ(path.rfind(tempdir_ + "/tv", 0), 0u);
        EXPECT_EQ(path.size(), tempdir_.size() + 9);
        // The descriptor is the one open file in the directory's name; it must not reach a child.
        bool cloexec = false;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            std::error_code error;
            if (std::filesystem::read_symlink(entry.path(), error) == path)
                cloexec = (fcntl(std::stoi(entry.path().filename()), F_GETFD) & FD_CLOEXEC) != 0;
        }
        EXPECT_TRUE(cloexec);
        EXPECT_TRUE(file.write(body_of("abc")));
        EXPECT_EQ(read_file(path), "abc");
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "removed with its owner";
    {
        TempFile unwritten(1024);
        ASSERT_TRUE(unwritten.ok());
        path = unwritten.path();
    }
    EXPECT_FALSE(std::filesystem::exists(path)) << "removed also when never written";

    // A directory too long for the daemons' 64-byte path fields: no file, and the scan fails open.
    TempFile too_long(tempdir_.size() + 9);
    EXPECT_FALSE(too_long.ok());
    general_load(tempdir_ + "/" + std::string(60, 'd'));
    std::string command;
    UnixPeer peer([&](int fd) { command = line_read(fd); });
    section_load(*kaspersky_section, "<kaspersky><enabled>true</enabled><template/><socket>" + peer.path + "</socket>" +
                                         rule() + "</kaspersky>");
    road::Wired wired(false);
    Filebuf body = body_of("bytes");
    EXPECT_EQ(kaspersky_respcheck(wired.get(), &body), 0);
    EXPECT_TRUE(road::was_logged("antivirus: ", "error checking file for viruses"));
    EXPECT_EQ(command, "") << "nothing is asked without a file";
    EXPECT_NE(wired->flags & CONN_SCAN_INCOMPLETE, 0u);
}

} // namespace
