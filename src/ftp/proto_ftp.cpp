#include "ftp/proto_ftp.h"

#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "cache/cache.h"
#include "core/connection.h"
#include "util/descriptor.h"
#include "util/filebuf.h"
#include "ftp/ftplist.h"
#include "config/general.h"
#include "http/header.h"
#include "admin/interface.h"
#include "util/log.h"
#include "net/network.h"
#include "core/processors.h"
#include "http/body.h"
#include "http/protocol.h"
#include "http/request.h"
#include "http/response.h"
#include "net/socket.h"
#include "core/statgroups.h"
#include "util/stringutil.h"
#include "http/template.h"
#include "http/transfer.h"
#include "util/url.h"
#include "http/urlcommand.h"

namespace {

// The most of a reply line that is looked at, and of the line that answers PASV.
constexpr int REPLY_LINE_MAX = 128;
constexpr int PASV_LINE_MAX = 1024;
// The most of a listing that is read where no general rule gives a download buffer limit: the
// limit a new rule starts with.
constexpr std::size_t LISTING_LIMIT_DEFAULT = 4 << 20;

int ftp_timeout()
{
    return ftp_section != nullptr ? ftp_section->timeout_get() : 60;
}

// Owns a descriptor until the end of its scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// One command on the control connection; command comes without its line end.
bool ftp_send(CONNECTION_T* connection, std::string_view command)
{
    Socket* control = connection->server.get();
    if (control == nullptr)
        return false;
    std::string line(command);
    line += "\r\n";
    return control->Write(line.data(), static_cast<long>(line.size())) >= 0;
}

using Deadline = std::chrono::steady_clock::time_point;

// A whole reply, however many lines the server spreads it over, comes within the FTP time-out:
// a server that trickles lines or bytes would otherwise hold the thread for ever.
Deadline reply_deadline()
{
    return std::chrono::steady_clock::now() + std::chrono::seconds(ftp_timeout());
}

// The next line of the control connection (at most size bytes of it are kept), whole before the
// deadline; nullopt when none came.
std::optional<std::string> reply_line(CONNECTION_T* connection, int size, Deadline deadline)
{
    Socket* control = connection->server.get();
    if (control == nullptr)
        return std::nullopt;
    std::string line(static_cast<std::size_t>(size) + 1, '\0');
    bool readable = false;
    for (;;) {
        // Never a wait of GetLine's own, which would start afresh with every read: a line already
        // buffered, or what the descriptor holds now.
        const std::size_t before = control->input_length();
        const int n = control->GetLine(line.data(), size + 1, 0);
        if (n > 0)
            break;
        // The end of the connection, a line beyond any reply, or a read that failed although
        // the descriptor was readable.
        if (n == 0 || control->input_length() >= SOCKET_LINE_MAX || (readable && control->input_length() == before))
            return std::nullopt;
        const int events = poll_until(control->fd(), POLLIN, deadline);
        if (events <= 0 || (events & POLLIN) == 0)
            return std::nullopt;
        readable = true;
    }
    line.resize(std::strlen(line.c_str()));
    return line;
}

bool three_digits(std::string_view line)
{
    return line.size() >= 3 && std::isdigit(static_cast<unsigned char>(line[0])) &&
           std::isdigit(static_cast<unsigned char>(line[1])) && std::isdigit(static_cast<unsigned char>(line[2]));
}

// The code of the next whole reply: the lines of a multi-line reply are read up to its last
// one ("ddd text"). -1 when the lines run out first or the deadline passes.
int reply_final(CONNECTION_T* connection, Deadline deadline = reply_deadline())
{
    for (;;) {
        const std::optional<std::string> line = reply_line(connection, REPLY_LINE_MAX, deadline);
        if (!line)
            return -1;
        if (three_digits(*line) && (line->size() == 3 || (*line)[3] != '-'))
            return ftp_reply_code(*line);
    }
}

// What the server's first reply to a transfer command says of the transfer.
bool transfer_accepted(int code)
{
    return code == 125 || code == 150;
}

// A whole reply numbered 2xx where a transfer's first reply is awaited answers an earlier command
// that was not waited for (the end of a long login, a directory action).
bool reply_leftover(int code)
{
    return code >= 200 && code <= 299;
}

// The server's first reply to the transfer command just sent, read whole; -1 when none came.
int transfer_reply(CONNECTION_T* connection)
{
    const Deadline deadline = reply_deadline();
    for (;;) {
        const int code = reply_final(connection, deadline);
        if (!reply_leftover(code))
            return code;
    }
}

std::optional<sockaddr_in> socket_address(int fd, bool peer)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int rc = peer ? getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length)
                        : getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    if (rc != 0 || address.sin_family != AF_INET)
        return std::nullopt;
    return address;
}

std::string dotted(const in_addr& address)
{
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// The address the server's data connections belong to: the control connection's peer when the
// server is reached directly; through SOCKS that peer is the SOCKS server, so then the host the
// request names. Never an address the server itself announces.
std::optional<std::string> data_host(CONNECTION_T* connection)
{
    if (connection->proxy_type == UPSTREAM_DIRECT) {
        const std::optional<sockaddr_in> peer = socket_address(connection->server->fd(), true);
        if (!peer)
            return std::nullopt;
        return dotted(peer->sin_addr);
    }
    const HEADER* request = connection->request.get();
    if (!request->host)
        return std::nullopt;
    return *request->host;
}

// Both setups open the data connection and send the transfer command; its first reply is read
// afterwards.
SocketPtr passive_setup(CONNECTION_T* connection, std::string_view transfer)
{
    const HEADER* request = connection->request.get();
    putlog(LOG_DEBUG, "ftp: setting up a PASV connection mode %s %s", text_or_empty(request->method),
           text_or_empty(request->url));
    if (!ftp_send(connection, "PASV"))
        return nullptr;
    std::string answer;
    const Deadline deadline = reply_deadline();
    for (;;) {
        const std::optional<std::string> line = reply_line(connection, PASV_LINE_MAX, deadline);
        if (!line)
            return nullptr;
        if (ftp_reply_code(*line) == 227) {
            answer = *line;
            break;
        }
    }
    const std::size_t open = answer.find('(');
    if (open == std::string::npos)
        return nullptr;
    std::string_view numbers = std::string_view(answer).substr(open + 1);
    numbers = numbers.substr(0, numbers.find(')'));
    const std::optional<sockaddr_in> named = ftpport_parse(numbers);
    if (!named || named->sin_port == 0)
        return nullptr;
    const std::optional<std::string> host = data_host(connection);
    if (!host)
        return nullptr;
    if (!ftp_send(connection, transfer))
        return nullptr;
    // The port is the server's word: one of the proxy's own listeners would have the proxy
    // read its own idle client connection as the data, or an upload as a request of its own.
    const int fd = net_connect(host->c_str(), ntohs(named->sin_port), nullptr, ftp_timeout(), true);
    if (fd < 0)
        return nullptr;
    return std::make_unique<Socket>(fd);
}

// *reply is set when the first reply came before the server's connection; a refusal gives null.
SocketPtr active_setup(CONNECTION_T* connection, std::string_view transfer, int* reply)
{
    const int control = connection->server->fd();
    std::optional<sockaddr_in> local = socket_address(control, false);
    if (!local)
        return nullptr;
    local->sin_port = 0;
    const Descriptor listener(s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (listener.get() < 0) {
        log_syscall("socket", __func__, "failed to create the FTP data socket");
        return nullptr;
    }
    if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&*local), sizeof *local) != 0 ||
        listen(listener.get(), 1) != 0) {
        log_syscall("bind", __func__, "failed to listen for the FTP data connection");
        return nullptr;
    }
    const std::optional<sockaddr_in> bound = socket_address(listener.get(), false);
    if (!bound)
        return nullptr;
    if (!ftp_send(connection, "PORT " + ftpport_create(*bound)) || ftp_code_wait(connection, 200, 0) == -1)
        return nullptr;
    if (!ftp_send(connection, transfer))
        return nullptr;

    // Only the server may connect: anybody else could otherwise take or feed the transfer.
    std::optional<in_addr> expected;
    if (connection->proxy_type == UPSTREAM_DIRECT) {
        const std::optional<sockaddr_in> peer = socket_address(control, true);
        if (!peer)
            return nullptr;
        expected = peer->sin_addr;
    }
    // A server that refuses the transfer says so instead of connecting: the control connection
    // is watched too, until the transfer's first reply has come.
    Socket& control_socket = *connection->server;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(ftp_timeout());
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return nullptr;
        pollfd ready[2] = {{listener.get(), POLLIN, 0}, {control, POLLIN, 0}};
        const nfds_t watched = *reply == 0 ? 2 : 1;
        const int n = watched == 2 && control_socket.input_length() > 0
                          ? 1
                          : poll(ready, watched, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        if (watched == 2 && (control_socket.input_length() > 0 || ready[1].revents != 0)) {
            const int code = reply_final(connection, deadline);
            if (reply_leftover(code))
                continue;
            *reply = code;
            if (!transfer_accepted(code))
                return nullptr;
            continue;   // the server's connection follows
        }
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const int fd = s_accept(listener.get(), reinterpret_cast<sockaddr*>(&from), &length);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN)
                continue;
            return nullptr;
        }
        if (expected && from.sin_addr.s_addr != expected->s_addr) {
            putlog(LOG_SECURITY, "ftp: refused a data connection from %s", dotted(from.sin_addr).c_str());
            ::close(fd);
            continue;
        }
        fcntl(fd, F_SETFD, FD_CLOEXEC);
        return std::make_unique<Socket>(fd);
    }
}

// True when the data connection closes with nothing more to read, within the FTP time-out.
bool data_ended(Socket& data)
{
    char byte;
    return data.Read(&byte, 1, ftp_timeout()) == 0;
}

// A URL without a user logs in with the "ftp" section's default user and password. The request
// gets them back unnamed afterwards: the server connection is pooled under the name the next
// request of that URL looks it up with.
class DefaultUser {
public:
    explicit DefaultUser(HEADER* request) : request_(request)
    {
        if (request_->url_user)
            return;
        set_ = true;
        request_->url_user = ftp_section != nullptr ? ftp_section->user_get() : std::string("anonymous");
        request_->url_password = ftp_section != nullptr ? ftp_section->password_get() : std::string();
    }
    DefaultUser(const DefaultUser&) = delete;
    DefaultUser& operator=(const DefaultUser&) = delete;
    ~DefaultUser()
    {
        if (set_) {
            request_->url_user.reset();
            request_->url_password.reset();
        }
    }

private:
    HEADER* request_;
    bool set_ = false;
};

HeaderPtr response_new(int status)
{
    HeaderPtr header = header_new();
    header->kind = HEADER_RESPONSE;
    header->version = HTTP_VERSION_11;
    header->status = status;
    return header;
}

// One FTP request, from the login to the access-log records.
class FtpRequest {
public:
    explicit FtpRequest(CONNECTION_T* connection)
        : connection_(connection), request_(connection->request.get()), slot_(connection)
    {
    }

    int serve();

private:
    bool login();
    int directory();
    void directory_actions();
    int file();
    int upload();
    int revalidated(CACHEMAP* object);
    int fetch();
    int deliver(std::unique_ptr<Filebuf> body);
    // Changes to the file's directory: true when the reply is 250; otherwise the request has
    // failed (answered, or not when no reply came). The reply is the next line, or with
    // skipping the first line numbered 250 or 550.
    bool directory_entered(const std::string& directory, bool skipping, int* result);
    // The current directory's listing as the server sends it; null (logged) when no data
    // connection could be opened for it or it outgrew the download buffer limit.
    std::unique_ptr<Filebuf> list();
    // The most of a listing that is read. A listing is taken whole or not at all, so it is bounded
    // even where no general rule gives a download buffer limit.
    std::size_t listing_limit() const;
    // Relays the file to the client after its header, from the data connection; head: what a
    // buffered read took before the download buffer limit stopped it.
    int stream(SocketPtr& data, int callback, const Filebuf* head);
    // Reads the server's last reply to a transfer whose data has all come, so that the control
    // connection is left idle for the server pool; any end but 226 or 250 leaves it unfit.
    void transfer_done();

    void send_response() { header_send(slot_.get(), connection_, SIDE_CLIENT, HEADER_TO_CLIENT); }
    // Ends a failed request: the page with status 404 (null: no answer, and the client
    // connection closes), no access-log records, the server connection not kept.
    int fail(const char* page);
    // Ends a request that was answered: the access-log records.
    int finish();

    const char* method() const { return text_or_empty(request_->method); }
    const char* url() const { return text_or_empty(request_->url); }

    CONNECTION_T* connection_;
    HEADER* request_;
    ResponseSlot slot_;
    CGIMap arguments_;
    std::string rawpath_;   // the request's path as received, without its query
    std::string path_;      // the same decoded: what the server is told
    std::string user_;
    std::string password_;
    bool found_ = false;    // the file is in its directory's listing
    std::int64_t length_ = TRANSFER_UNTIL_CLOSE;
    std::time_t mtime_ = 0;
    bool answered_ = false; // a stage or template filled the log entry itself
};

int FtpRequest::fail(const char* page)
{
    // A client left without an answer must see its connection end, not wait on it.
    if (page == nullptr || template_section->send(page, connection_, 404) == 0)
        connection_->keepalive_client = 0;
    slot_.reset();
    connection_->keepalive_server = 0;
    return -1;
}

int FtpRequest::finish()
{
    LogEntry& entry = connection_->logentry;
    if (slot_.get() != nullptr && !answered_) {
        entry.status = slot_.get()->status;
        entry.size = connection_->bytes_in;
        entry.mime = "text/plain";
    }
    slot_.reset();
    entry.Write();
    entry.apache_Write();
    return 1;
}

int FtpRequest::serve()
{
    putlog((connection_->flags & CONN_PREFETCH) != 0 ? LOG_PREFETCH : LOG_REQUEST, "%s %s", method(), url());
    statincr_ftprequests(connection_);

    rawpath_ = request_->path.value_or("/");
    if (const std::size_t query = rawpath_.find('?'); query != std::string::npos) {
        arguments_.parse(std::string_view(rawpath_).substr(query + 1));
        rawpath_.resize(query);
        request_->path = rawpath_;
    }
    if (rawpath_.empty() || rawpath_.front() != '/')
        rawpath_.insert(0, "/");

    const DefaultUser defaults(request_);
    user_ = request_->url_user.value_or("");
    password_ = request_->url_password.value_or("");
    if (!ftp_value_safe(user_) || !ftp_value_safe(password_)) {
        putlog(LOG_SECURITY, "ftp: refused a line break in the credentials for %s %s", method(), url());
        return fail("badauth");
    }
    const std::optional<std::string> path = ftp_path_decode(rawpath_);
    if (!path || !ftp_value_safe(arguments_.get("argument")) || !ftp_value_safe(arguments_.get("filename"))) {
        putlog(LOG_SECURITY, "ftp: refused a line break in the command for %s %s", method(), url());
        return fail("nofile");
    }
    path_ = *path;

    if (!login())
        return -1;
    connection_->flags |= CONN_POOLED;
    connection_->keepalive_server = 1;

    if (request_->method && strcasecmp(request_->method->c_str(), "PUT") == 0)
        return upload();

    ftp_send(connection_, "CWD " + path_);
    const int code = ftp_code_wait(connection_, 250, 550);
    if (code == -1) {
        putlog(LOG_ERROR, "ftp: failed to change directory to %s", string_escape_control(path_).c_str());
        return fail("noconnect");
    }
    return code == 250 ? directory() : file();
}

bool FtpRequest::login()
{
    bool fresh = (connection_->flags & CONN_POOLED) == 0;
    for (;;) {
        if (fresh) {
            ftp_send(connection_, "USER " + user_);
            const int code = ftp_code_wait(connection_, 331, 530);
            if (code == 530) {
                putlog(LOG_ERROR, "ftp: authentication failed for user: %s", string_escape_control(user_).c_str());
                fail("badauth");
                return false;
            }
            if (code == -1) {
                if (connection_->keepalive_server == 1) {
                    // A pooled connection that died: the next one, pooled or new.
                    connection_->flags &= ~CONN_POOLED;
                    if (protocol_reconnect(connection_) < 0) {
                        putlog(LOG_ERROR, "ftp: connection failed again to %s %s", method(), url());
                        fail("noconnect");
                        return false;
                    }
                    fresh = (connection_->flags & CONN_POOLED) == 0;
                    continue;
                }
                putlog(LOG_ERROR, "ftp: connection failed to %s %s", method(), url());
                fail("noconnect");
                return false;
            }
            ftp_send(connection_, "PASS " + password_);
            const std::optional<std::string> line = reply_line(connection_, REPLY_LINE_MAX, reply_deadline());
            if (!line || ftp_reply_code(*line) == 530) {
                putlog(LOG_ERROR, "ftp: authentication failed for user: %s, reason: invalid password",
                       string_escape_control(user_).c_str());
                fail("badauth");
                return false;
            }
        }
        ftp_send(connection_, "TYPE I");
        if (ftp_code_wait(connection_, 200, 0) == -1) {
            if ((connection_->flags & CONN_POOLED) != 0) {
                connection_->flags &= ~CONN_POOLED;
                fresh = true;
                continue;
            }
            putlog(LOG_ERROR, "ftp: connection failed to %s %s", method(), url());
            fail("noconnect");
            return false;
        }
        return true;
    }
}

void FtpRequest::directory_actions()
{
    const std::string& action = arguments_.get("action");
    const std::string& argument = arguments_.get("argument");
    const std::string& filename = arguments_.get("filename");
    // Their replies are skipped by the next wait.
    if (action == "mkdir" && !argument.empty()) {
        ftp_send(connection_, "MKD " + argument);
    } else if (action == "raw" && !argument.empty()) {
        ftp_send(connection_, argument);
        // Whatever the command changed on the server (a restart offset, the transfer type) would
        // carry over to the next request, another user's perhaps, that takes this connection
        // from the pool.
        connection_->keepalive_server = 0;
    } else if (action == "delete") {
        ftp_send(connection_, "DELE " + filename);
    } else if (action == "rmdir") {
        ftp_send(connection_, "RMD " + filename);
    } else if (action == "rename" && !argument.empty()) {
        ftp_send(connection_, "RNFR " + filename);
        ftp_send(connection_, "RNTO " + argument);
    }
}

int FtpRequest::directory()
{
    connection_->cache.invalidate();
    if (rawpath_.back() != '/') {
        HeaderPtr redirect = response_new(302);
        // A path that begins with "//" would be read as a host name: "/." before it keeps the
        // scheme, the host and the path.
        redirect->location = (rawpath_.starts_with("//") ? "/." : "") + rawpath_ + "/";
        redirect->content_length = 0;
        redirect->flags |= HEADER_LENGTH;
        slot_.set(std::move(redirect));
        send_response();
        return finish();
    }

    if (!arguments_.get("action").empty())
        directory_actions();
    const std::unique_ptr<Filebuf> listing = list();
    if (listing == nullptr)
        return fail("noconnect");

    if (url_command_has(connection_, "raw")) {
        show_filebuf(connection_, listing.get());
        return finish();
    }
    DirList entries = dir_list_parse(*listing);
    if (arguments_.get("action") == "rematch" && !arguments_.get("argument").empty())
        dir_list_filter(entries, arguments_.get("argument"));

    const std::string& order = arguments_.get("order");
    const std::string& field = arguments_.get("field");
    const int descending = order == "ascending" ? 0 : order == "descending" ? 1 : -1;
    const int by = field == "name" ? DIR_SORT_NAME : field == "size" ? DIR_SORT_SIZE : field == "date" ? DIR_SORT_TIME : 0;
    if (descending >= 0 && by != 0) {
        dir_list_sort(entries, descending, by);
    } else if (ftp_section != nullptr && ftp_section->sortfield_get() != 0) {
        dir_list_sort(entries, ftp_section->sortorder_get(), ftp_section->sortfield_get());
    }
    show_dirlist(connection_, entries);
    return finish();
}

std::unique_ptr<Filebuf> FtpRequest::list()
{
    SocketPtr data = ftp_transfer_setup(connection_, "LIST");
    if (data == nullptr) {
        putlog(LOG_ERROR, "ftp: failed to LIST %s %s", method(), url());
        return nullptr;
    }
    int more = 0;
    std::unique_ptr<Filebuf> listing =
        ftp_transfer_filebuf(connection_, SIDE_SERVER, data, TRANSFER_UNTIL_CLOSE, listing_limit(), &more);
    // A listing of exactly the limit ends right there.
    if (more != 0 && !data_ended(*data)) {
        putlog(LOG_ERROR, "ftp: failed to LIST %s %s", method(), url());
        return nullptr;
    }
    data.reset();
    transfer_done();
    return listing;
}

std::size_t FtpRequest::listing_limit() const
{
    const unsigned limit = general_section->maxdbuffer_get(connection_);
    return limit != 0 ? limit : LISTING_LIMIT_DEFAULT;
}

void FtpRequest::transfer_done()
{
    const int code = reply_final(connection_);
    if (code != 226 && code != 250)
        connection_->keepalive_server = 0;
}

bool FtpRequest::directory_entered(const std::string& directory, bool skipping, int* result)
{
    ftp_send(connection_, "CWD " + directory);
    int code = -1;
    if (skipping) {
        code = ftp_code_wait(connection_, 250, 550);
    } else if (const std::optional<std::string> line = reply_line(connection_, REPLY_LINE_MAX, reply_deadline()); line) {
        code = ftp_reply_code(*line);
    }
    if (code == -1) {
        *result = fail(nullptr);
        return false;
    }
    if (code == 550) {
        putlog(LOG_WARNING, "ftp: file not found %s %s", method(), url());
        *result = fail("nofile");
        return false;
    }
    if (code != 250) {
        putlog(LOG_ERROR, "ftp: Bad response from FTP server for %s %s", method(), url());
        *result = fail("badresponse");
        return false;
    }
    return true;
}

int FtpRequest::file()
{
    const std::size_t slash = path_.rfind('/');
    const std::string name = path_.substr(slash + 1);
    int result = -1;
    if (!directory_entered(path_.substr(0, slash + 1), false, &result))
        return result;

    const std::unique_ptr<Filebuf> listing = list();
    if (listing == nullptr)
        return fail("noconnect");

    HeaderPtr response = response_new(200);
    for (const dir_t& entry : dir_list_parse(*listing)) {
        if (entry.name != name || entry.size > static_cast<std::uint64_t>(INT64_MAX))
            continue;
        char date[64];
        const std::size_t length = std::strftime(date, sizeof date, "%a, %d %b %Y %T GMT", &entry.tm);
        response->last_modified = std::string(date, length);
        response->content_length = static_cast<std::int64_t>(entry.size);
        response->flags |= HEADER_LENGTH;
        found_ = true;
        length_ = response->content_length;
        mtime_ = entry.mtime;
        break;
    }
    if (!found_) {
        // Without a length the end of the body is the end of the connection.
        connection_->keepalive_client = 0;
        connection_->cache.reset();
        putlog(LOG_WARNING, "ftp: failed to retrieve FTP file information %s %s", method(), url());
    }
    slot_.set(std::move(response));

    if ((connection_->flags & CONN_PROCESS) != 0 && buffer_check(connection_) == 1)
        connection_->flags |= CONN_BUFFER;
    putlog(LOG_DEBUG, "buffering: %d processing: %d", (connection_->flags & CONN_BUFFER) != 0 ? 1 : 0,
           (connection_->flags & CONN_PROCESS) != 0 ? 1 : 0);

    if (CACHEMAP* object = connection_->cache.get(); object != nullptr) {
        if (mtime_ == cache_section->last_modified(object)) {
            if (const int done = revalidated(object); done != 0)
                return done;
        }
        statdecr_cachehit(connection_);
        statincr_cachemiss(connection_);
        statincr_cacherefreshmiss(connection_);
        connection_->logentry.set_cachecode(TCP_REFRESH_MISS);
        putlog(LOG_CACHE, "ftp: validation failed: %s", object->key.c_str());
        connection_->cache.invalidate();
    }
    return fetch();
}

// 0 when the stored copy turns out to be unusable and the file is to be fetched after all.
int FtpRequest::revalidated(CACHEMAP* object)
{
    const std::string text = cache_section->header_text(object);
    std::string_view stored(text);
    stored = stored.substr(0, stored.find('\0'));
    HeaderPtr copy = http_header_parse_response(stored);
    if (copy == nullptr)
        return 0;

    putlog(LOG_CACHE, "ftp: validated: %s", object->key.c_str());
    statincr_cacherefreshhit(connection_);
    connection_->logentry.set_cachecode(TCP_REFRESH_HIT);
    connection_->flags = (connection_->flags & ~CONN_VALIDATE) | CONN_VALIDATED;
    cache_section->validated(object);
    copy->age = std::to_string(static_cast<unsigned>(std::time(nullptr) - object->retrieved));
    slot_.set(std::move(copy));
    if (transfer_limit_check(connection_) == 0) {
        answered_ = true;
        return finish();
    }
    xcache_header_update(connection_, 0);
    if ((connection_->flags & CONN_BUFFER) != 0)
        return deliver(cache_section->read_filebuf(object));
    send_response();
    if ((connection_->flags & CONN_HEAD) == 0)
        cache_section->send(object, connection_, SIDE_CLIENT);
    return finish();
}

int FtpRequest::fetch()
{
    // Only a file that is about to be read whole is stored: a refused or header-only answer
    // would leave an empty object behind.
    if (transfer_limit_check(connection_) == 0) {
        answered_ = true;
        return finish();
    }
    if ((connection_->flags & CONN_HEAD) != 0) {
        xcache_header_update(connection_, 1);
        send_response();
        return finish();
    }
    if (found_ && strcasecmp(user_.c_str(), "anonymous") == 0 && request_->url) {
        Filebuf text;
        header_send_filebuf(&text, slot_.get(), connection_, HEADER_TO_CLIENT);
        text.Add("", 1);
        const std::uint32_t flags = (connection_->flags & CONN_PREFETCH) != 0 ? (CACHE_WRITING | CACHE_PREFETCHED)
                                                                              : CACHE_WRITING;
        if (CacheRef object = cache_section->open(connection_, *request_->url, text.data(), flags); object) {
            putlog(LOG_CACHE, "ftp: create: %s", object->key.c_str());
            connection_->flags |= CONN_CACHE;
            connection_->cache = std::move(object);
        }
    }
    xcache_header_update(connection_, 1);

    SocketPtr data = ftp_transfer_setup(connection_, "RETR " + path_);
    if (data == nullptr) {
        connection_->cache.invalidate();
        putlog(LOG_ERROR, "ftp: failed to retrieve FTP file %s %s", method(), url());
        return fail("nofile");
    }
    const int callback = data->CallBackAdd(protocol_ftp_read_callback, connection_, SOCKET_EVENT_READ);
    if ((connection_->flags & CONN_BUFFER) == 0)
        return stream(data, callback, nullptr);

    buffertimeout_set(connection_);
    int more = 0;
    std::unique_ptr<Filebuf> body = ftp_transfer_filebuf(connection_, SIDE_SERVER, data, length_,
                                                         general_section->maxdbuffer_get(connection_), &more);
    if (more != 0) {
        // Above the download buffer limit the file streams as it is.
        return stream(data, callback, body.get());
    }
    data->CallBackRemove(callback);
    const bool whole = (connection_->flags & CONN_TRANSFER_FAILED) == 0 && (length_ < 0 || data_ended(*data));
    data.reset();
    if (!whole) {
        // Never passed on as the file: it is not what the listing announced.
        connection_->flags |= CONN_TRANSFER_FAILED;
        putlog(LOG_ERROR, "ftp: Bad response from FTP server for %s %s", method(), url());
        return fail((connection_->flags & CONN_NOCLIENT) == 0 ? "badresponse" : nullptr);
    }
    transfer_done();
    return deliver(std::move(body));
}

int FtpRequest::stream(SocketPtr& data, int callback, const Filebuf* head)
{
    send_response();
    std::int64_t left = length_;
    if (head != nullptr && head->size() > 0) {
        net_filebuf_send(head, connection_, SIDE_CLIENT);
        if (left >= 0)
            left -= static_cast<std::int64_t>(head->size());
    }
    ftp_transfer(connection_, SIDE_SERVER, data, left);
    data->CallBackRemove(callback);
    if (length_ >= 0 && (connection_->flags & CONN_TRANSFER_FAILED) == 0 && !data_ended(*data)) {
        // The client has its Content-Length worth; what follows can only go with the connection.
        putlog(LOG_WARNING, "ftp: file is longer than listed %s %s", method(), url());
        connection_->flags |= CONN_TRANSFER_FAILED;
    }
    data.reset();
    if ((connection_->flags & CONN_TRANSFER_FAILED) == 0)
        transfer_done();
    return finish();
}

int FtpRequest::deliver(std::unique_ptr<Filebuf> body)
{
    if ((connection_->flags & CONN_NOCLIENT) != 0)
        return finish();
    if (hooks.Execute(HOOK_PRE_RESPONSE, connection_, body.get()) == 1 ||
        process_response(connection_, body.get()) == 0 ||
        hooks.Execute(HOOK_POST_RESPONSE, connection_, body.get()) != 0) {
        answered_ = true;
        return finish();
    }
    HEADER* response = slot_.get();
    response->content_length = static_cast<std::int64_t>(body->size());
    response->flags |= HEADER_LENGTH;
    response->chunked = 0;
    send_response();
    http_send_body(connection_, body.get());
    return finish();
}

int FtpRequest::upload()
{
    const std::size_t slash = path_.rfind('/');
    if (slash + 1 == path_.size()) {
        putlog(LOG_WARNING, "ftp: file not found %s %s", method(), url());
        return fail("nofile");
    }
    int result = -1;
    // Replies left over from the login (a banner's last lines) come before this one.
    if (!directory_entered(path_.substr(0, slash + 1), true, &result))
        return result;

    int ready = 0;
    SocketPtr data = ftp_transfer_setup(connection_, "STOR " + path_, &ready);
    if (data == nullptr) {
        putlog(LOG_ERROR, "ftp: failed to store FTP file %s %s", method(), url());
        // Refused or unanswered by the server, or no data connection at all.
        return fail(ready != 0 ? "badresponse" : "noconnect");
    }

    bool sent = true;
    if (connection_->body != nullptr && connection_->body->size() > 0)
        sent = data->WriteFilebuf(*connection_->body) >= 0;
    if (sent && (connection_->flags & CONN_STREAM) != 0) {
        std::swap(connection_->server, data);
        sent = http_transfer(connection_, SIDE_CLIENT, false) == 1;
        std::swap(connection_->server, data);
        if (sent)
            connection_->flags &= ~CONN_BODY_PENDING;
    }
    sent = sent && (connection_->flags & CONN_TRANSFER_FAILED) == 0;
    data.reset();   // the end of the data connection is the end of the file
    const int stored = reply_final(connection_);
    if (!sent) {
        // A cut body must not stay behind as though it were the file.
        ftp_send(connection_, "DELE " + path_);
        putlog(LOG_ERROR, "ftp: failed to store FTP file %s %s", method(), url());
        connection_->keepalive_client = 0;
        return fail(nullptr);
    }
    if (stored != 226 && stored != 250) {
        putlog(LOG_ERROR, "ftp: failed to store FTP file %s %s", method(), url());
        return fail("badresponse");
    }
    HeaderPtr created = response_new(200);
    created->content_length = 0;
    created->flags |= HEADER_LENGTH;
    slot_.set(std::move(created));
    send_response();
    return finish();
}

} // namespace

int ftp_reply_code(std::string_view line)
{
    return atoi_lenient(line);
}

bool ftp_value_safe(std::string_view value)
{
    return value.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

std::optional<std::string> ftp_path_decode(std::string_view path)
{
    std::string out;
    out.reserve(path.size());
    for (std::size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '%' && i + 2 < path.size() && hex_value(path[i + 1]) >= 0 && hex_value(path[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(path[i + 1]) * 16 + hex_value(path[i + 2]));
            i += 2;
        } else {
            out += path[i];
        }
    }
    if (!ftp_value_safe(out))
        return std::nullopt;
    return out;
}

int ftp_code_wait(CONNECTION_T* connection, int code1, int code2)
{
    int last = -1;
    const Deadline deadline = reply_deadline();
    for (;;) {
        const std::optional<std::string> line = reply_line(connection, REPLY_LINE_MAX, deadline);
        if (!line)
            return last;
        last = ftp_reply_code(*line);
        if (last == code1 || last == code2)
            return last;
    }
}

SocketPtr ftp_transfer_setup(CONNECTION_T* connection, std::string_view command, int* reply)
{
    int first = 0;
    if (reply != nullptr)
        *reply = 0;
    if (connection->server == nullptr)
        return nullptr;
    const bool passive = ftp_section == nullptr || ftp_section->passive_get() == 1;
    SocketPtr data =
        passive ? passive_setup(connection, command) : active_setup(connection, command, &first);
    if (data != nullptr && first == 0)
        first = transfer_reply(connection);
    if (reply != nullptr)
        *reply = first;
    if (!transfer_accepted(first))
        data.reset();
    return data;
}

std::int64_t ftp_transfer(CONNECTION_T* connection, int side, SocketPtr& data, std::int64_t length)
{
    std::swap(connection->server, data);
    const std::int64_t moved = net_transfer(connection, side == SIDE_SERVER ? SIDE_SERVER : SIDE_CLIENT, length);
    std::swap(connection->server, data);
    return moved;
}

std::unique_ptr<Filebuf> ftp_transfer_filebuf(CONNECTION_T* connection, int side, SocketPtr& data,
                                              std::int64_t length, std::size_t maximum, int* more)
{
    auto body = std::make_unique<Filebuf>();
    if (more != nullptr)
        *more = 0;
    else
        maximum = SIZE_MAX;
    const int source = side == SIDE_SERVER ? SIDE_SERVER : SIDE_CLIENT;
    std::swap(connection->server, data);
    if (length >= 0 && static_cast<std::uint64_t>(length) > maximum)
        *more = 1;
    else if (length >= 0)
        net_filebuf_read(body.get(), connection, source, length);
    else if (net_filebuf_read_upto(body.get(), connection, source, maximum) == 0)
        *more = 1;
    std::swap(connection->server, data);
    return body;
}

int protocol_ftp_read_callback(void* data, long length, const char* bytes)
{
    auto* connection = static_cast<CONNECTION_T*>(data);
    if (length <= 0)
        return 0;
    return body_block_account(connection, bytes, static_cast<std::size_t>(length));
}

int protocol_ftp(CONNECTION_T* connection)
{
    FtpRequest request(connection);
    return request.serve();
}
