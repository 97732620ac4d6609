// Fuzz target over the code that reads what a peer sends on a connection: header blocks, message
// bodies by their framing (buffered, relayed re-chunked, relayed de-chunked, buffered up to a
// limit and then relayed), SOCKS4 and SOCKS5 replies, Socket::GetLine and Read, an FTP session
// (control replies and data connections), a parent's Basic or NTLM challenge and its answer to
// CONNECT, and the whole HTTP response path. What a peer sends is written into a socket pair
// before the call and its sending side shut down, so every read gets bytes or the end of the
// stream at once. The first byte picks the exchange.
//
// Besides the sanitizers' findings it checks what the rest of the proxy relies on: the ways of
// reading a body agree with each other, a relayed chunked body is well formed and gets its last
// chunk exactly when it came whole, bytes after a header block, a SOCKS reply or a parent's
// answer to CONNECT stay unread, GetLine and Read deliver the stream as it came, the client's
// answer keeps to the framing its header announces, and nothing a peer or client sends puts a
// line break into a command or request the proxy writes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <tinyxml.h>

#include "http/connect.h"
#include "core/connection.h"
#include "config/general.h"
#include "util/filebuf.h"
#include "fuzz_support.h"
#include "http/header.h"
#include "net/network.h"
#include "ftp/proto_ftp.h"
#include "http/body.h"
#include "http/proto_http.h"
#include "http/proxyauth.h"
#include "http/request.h"
#include "net/socket.h"
#include "http/transfer.h"
#include "util/url.h"

using fuzz::has_any;
using fuzz::Input;
using fuzz::Peer;
using fuzz::require;

namespace {

using namespace std::literals;

// A port on 127.0.0.1 that refuses connections: a parent that has to be reached again is
// refused at once instead of waited for.
int refused_port = 0;

// A connection whose server socket carries what the server sends and whose client socket what
// the client sends. Declared after the peers it uses, so that it closes its sockets before the
// peers collect what came.
struct Wired {
    ConnectionPtr connection = connection_new("127.0.0.1");

    Wired(Peer& client, Peer& server)
    {
        connection->client = client.take();
        connection->server = server.take();
    }
    CONNECTION_T* operator->() const { return connection.get(); }
    CONNECTION_T* get() const { return connection.get(); }
    // Closes both sockets: what the code sent is then complete at the peers.
    void close() { connection.reset(); }
};

// Everything left on the socket, read to the end of the stream.
std::string drain(Socket& socket)
{
    std::string out;
    char block[4096];
    for (;;) {
        const int n = socket.Read(block, sizeof block, -1);
        if (n <= 0)
            return out;
        out.append(block, static_cast<std::size_t>(n));
    }
}

// A chunked body as the proxy writes it: lower-case hex sizes without extensions, CRLF after
// each line and each chunk's data, ended by "0\r\n\r\n". nullopt for bytes that are no such
// stream, not even a cut one.
struct Dechunked {
    std::string data;
    bool ended = false;
};

std::optional<Dechunked> dechunk(std::string_view s)
{
    Dechunked out;
    const auto prefix_of = [](std::string_view part, std::string_view whole) { return whole.starts_with(part); };
    for (;;) {
        if (s.empty())
            return out;
        const std::size_t crlf = s.find("\r\n");
        const std::string_view digits = s.substr(0, crlf);
        if (digits.empty() || digits.find_first_not_of("0123456789abcdef") != std::string_view::npos ||
            (digits.size() > 1 && digits.front() == '0') || digits.size() > 16)
            return std::nullopt;
        if (crlf == std::string_view::npos)
            return out;
        std::uint64_t size = 0;
        for (const char c : digits)
            size = size * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
        s.remove_prefix(crlf + 2);
        if (size == 0) {
            if (s == "\r\n") {
                out.ended = true;
                return out;
            }
            return prefix_of(s, "\r\n") ? std::optional(out) : std::nullopt;
        }
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(size, s.size()));
        out.data.append(s.substr(0, take));
        s.remove_prefix(take);
        if (take < size)
            return out;
        if (s.size() < 2)
            return prefix_of(s, "\r\n") ? std::optional(out) : std::nullopt;
        if (!s.starts_with("\r\n"))
            return std::nullopt;
        s.remove_prefix(2);
    }
}

// One exchange of a message: its header block read from the side and parsed, kept in the
// connection. The header is owned here; null when the block did not come or does not parse.
struct Message {
    Peer client, server;
    HeaderPtr header;
    Wired wired;

    Message(int side, std::string_view bytes)
        : client(side == SIDE_CLIENT ? bytes : ""sv, side == SIDE_CLIENT),
          server(side == SIDE_SERVER ? bytes : ""sv, side == SIDE_SERVER), wired(client, server)
    {
        const std::optional<std::string> text = header_get(wired.get(), side, 1);
        if (!text)
            return;
        if (side == SIDE_SERVER) {
            header = http_header_parse_response(*text);
            // An HTTP/0.9 answer is all body: the proxy puts its text back, as here.
            if (header != nullptr && header->version == HTTP_VERSION_09)
                wired->server->PushFront(text->data(), text->size());
            wired->response = header.get();
        } else {
            wired->request = http_header_parse_request(*text);
        }
    }
    bool parsed() const { return wired->response != nullptr || wired->request != nullptr; }
    bool failed() const { return (wired->flags & CONN_TRANSFER_FAILED) != 0; }
    // What the side's opposite received.
    const std::string& relayed(int side)
    {
        wired.close();
        return side == SIDE_SERVER ? client.received() : server.received();
    }
};

// The four ways of reading a body agree: buffered whole, relayed re-chunked, relayed as it is
// (de-chunked), and buffered up to a limit with the rest relayed.
void body(Input& in, int side)
{
    const std::size_t maximum = static_cast<std::size_t>(in.byte()) * 16;
    const std::string_view bytes = in.rest();

    Message whole(side, bytes);
    if (!whole.parsed())
        return;
    const std::unique_ptr<Filebuf> buffered = http_transfer_filebuf(whole.wired.get(), side);
    const bool failed = whole.failed();
    const bool chunked = (side == SIDE_SERVER ? whole.wired->response->chunked : whole.wired->request->chunked) != 0;
    if (!chunked && !failed && side == SIDE_SERVER && (whole.header->flags & HEADER_LENGTH) != 0)
        require(buffered->size() == static_cast<std::uint64_t>(whole.header->content_length), "a body of known length came short");

    {
        Message rechunked(side, bytes);
        const int result = http_transfer(rechunked.wired.get(), side, true);
        require(result == (failed ? 0 : 1) && rechunked.failed() == failed, "relay and buffer disagree on the framing");
        const std::string& out = rechunked.relayed(side);
        if (chunked) {
            const std::optional<Dechunked> stream = dechunk(out);
            require(stream.has_value(), "a re-chunked body is no chunked stream");
            require(stream->ended == !failed, "the last chunk sent for a body that did not come whole, or withheld");
            require(stream->data == buffered->view(), "re-chunked relay and buffer differ");
        } else {
            require(out == buffered->view(), "relay and buffer differ");
        }
    }
    {
        Message plain(side, bytes);
        const int result = http_transfer(plain.wired.get(), side, false);
        require(result == (failed ? 0 : 1), "de-chunked relay and buffer disagree on the framing");
        require(plain.relayed(side) == buffered->view(), "de-chunked relay and buffer differ");
    }
    {
        Message limited(side, bytes);
        int more = 0;
        const std::unique_ptr<Filebuf> first = http_transfer_filebuf(limited.wired.get(), side, maximum, &more);
        require(first->size() <= maximum, "a limited read went beyond its limit");
        std::string all(first->view());
        if (more != 0) {
            require(!limited.failed(), "a read stopped at its limit marked failed");
            http_transfer_rest(limited.wired.get(), side, static_cast<std::int64_t>(first->size()), false);
        }
        require(limited.failed() == failed, "a limited read disagrees on the framing");
        if (more != 0)
            all += limited.relayed(side);
        require(all == buffered->view(), "a limited read and its rest differ from the whole body");
    }
}

// header_get leaves whatever follows the block unread, skips only blank lines before it, and
// keeps within its area.
void header_block(Input& in)
{
    const int side = (in.byte() & 1) != 0 ? SIDE_SERVER : SIDE_CLIENT;
    const std::string_view bytes = in.rest();
    Peer client(side == SIDE_CLIENT ? bytes : ""sv, side == SIDE_CLIENT);
    Peer server(side == SIDE_SERVER ? bytes : ""sv, side == SIDE_SERVER);
    Wired wired(client, server);
    bool too_large = false;
    const std::optional<std::string> block = header_get(wired.get(), side, 1, &too_large);
    if (too_large) {
        require(!block, "a refused block was returned");
        return;
    }
    Socket& source = side == SIDE_SERVER ? *wired->server : *wired->client;
    const std::string rest = drain(source);
    require(bytes.ends_with(rest), "header_get lost bytes after the block");
    if (!block)
        return;
    require(block->size() < HEADER_AREA, "a block beyond the area");
    const std::string_view consumed = bytes.substr(0, bytes.size() - rest.size());
    std::string_view lines = *block;
    std::size_t at = consumed.rfind(lines);
    if (at == std::string_view::npos || at + lines.size() != consumed.size()) {
        // A complete block: its lines, then a blank line that header_get wrote as "\r\n".
        require(block->ends_with("\r\n") && consumed.ends_with("\n"), "block is not what was read");
        lines.remove_suffix(2);
        at = consumed.rfind(std::string(lines) + "\n");
        require(at != std::string_view::npos && at + lines.size() + 1 == consumed.size(), "block is not what was read");
    }
    const std::string_view skipped = consumed.substr(0, at);
    require(skipped.find_first_not_of("\r\n") == std::string_view::npos, "header_get skipped a line that was not blank");
}

// The SOCKS4 reply is eight bytes; nothing after them is consumed.
void socks4(Input& in)
{
    const int port = static_cast<int>(in.byte() << 8 | in.byte());
    const std::string_view reply = in.rest();
    Peer client, server(reply);
    Wired wired(client, server);
    const int result = socks4_handshake(*wired->server, "127.0.0.1", port, 1);
    if (port == 0) {
        require(result == NET_UNKNOWN, "SOCKS4 to port 0");
        return;
    }
    require(result == 1 || result == NET_UNKNOWN || result == NET_NOCONNECT || result == NET_BADAUTH,
            "SOCKS4 outcome");
    const std::string rest = drain(*wired->server);
    if (reply.size() >= 8)
        require(rest == reply.substr(8), "SOCKS4 consumed other than its reply");
    wired.close();
    const std::string& sent = server.received();
    require(sent.size() >= 9 && sent.compare(0, 8, "\x04\x01"s + static_cast<char>(port >> 8) +
                                                        static_cast<char>(port & 0xff) + "\x7f\x00\x00\x01"s) == 0 &&
                sent.back() == '\0' && sent.find('\0', 8) == sent.size() - 1,
            "SOCKS4 request");
}

// The SOCKS5 replies are consumed exactly as long as the protocol makes them.
void socks5(Input& in)
{
    const unsigned how = in.byte();
    const std::string user = (how & 1) != 0 ? "user" : "";
    const std::string password = (how & 2) != 0 ? "secret" : "";
    const std::string_view reply = in.rest();
    Peer client, server(reply);
    Wired wired(client, server);
    const int result = socks5_handshake(*wired->server, "www.test", 8080, user, password, 1);
    require(result == 1 || result == NET_NOCONNECT, "SOCKS5 outcome");
    const std::string rest = drain(*wired->server);
    if (result == 1) {
        const auto at = [&](std::size_t i) { return static_cast<unsigned char>(reply[i]); };
        std::size_t length = 2;
        if (at(1) == 0x02)
            length += 2;
        const unsigned type = at(length + 3);
        length += 4;
        length += type == 0x01 ? 6 : type == 0x04 ? 18 : type == 0x03 ? 1 + at(length) + 2u : 2;
        require(reply.size() >= length && rest == reply.substr(length), "SOCKS5 consumed other than its replies");
    }
    wired.close();
    const std::string credentials = "\x01"s + static_cast<char>(user.size()) + user +
                                    static_cast<char>(password.size()) + password;
    const std::string request = "\x05\x01\x00\x03\x08www.test\x1f\x90"s;
    const std::string& sent = server.received();
    require(sent.starts_with("\x05\x02\x00\x02"sv), "SOCKS5 greeting");
    const std::string_view after = std::string_view(sent).substr(4);
    require(after.empty() || after == request || after == credentials || after == credentials + request,
            "SOCKS5 messages");
}

// GetLine, Read and PushFront, in the order the input asks for them, deliver the stream as it
// came: a model of it is kept beside the socket.
void lines(Input& in)
{
    const std::string_view script = in.line();
    const std::string_view stream = in.rest();
    Peer client, server(stream);
    Wired wired(client, server);
    Socket& socket = *wired->server;
    std::string model(stream);
    static constexpr int SIZES[] = {-1, 0, 1, 2, 3, 8, 64, 4096};
    std::vector<char> buffer(4096 + 1);

    for (const char step : script) {
        const auto op = static_cast<unsigned char>(step);
        const int size = SIZES[op % 8];
        switch (op / 8 % 4) {
        case 0:
        case 1: {
            std::fill(buffer.begin(), buffer.end(), 'x');
            char* into = op / 8 % 4 == 0 ? buffer.data() : nullptr;
            const int n = socket.GetLine(into, size, -1);
            const std::size_t newline = model.find('\n');
            if (newline == std::string::npos) {
                require(n <= 0, "a line without its end");
                break;
            }
            const std::size_t length = newline + 1;
            const std::size_t expected = size < 0 ? length : std::min<std::size_t>(length, static_cast<std::size_t>(size));
            require(n >= 0 && static_cast<std::size_t>(n) == expected, "GetLine's length");
            if (into != nullptr && size > 0) {
                const std::size_t copied = std::min(length, static_cast<std::size_t>(size) - 1);
                require(std::string_view(into, copied) == std::string_view(model).substr(0, copied) && into[copied] == '\0',
                        "GetLine's copy");
                require(std::all_of(into + copied + 1, into + buffer.size(), [](char c) { return c == 'x'; }),
                        "GetLine wrote beyond the copy");
            }
            model.erase(0, length);
            break;
        }
        case 2: {
            if (size <= 0)
                break;
            const int n = socket.Read(buffer.data(), size, -1);
            if (model.empty()) {
                require(n <= 0, "Read beyond the end");
                break;
            }
            require(n >= 1 && n <= size, "Read's length");
            require(std::string_view(buffer.data(), static_cast<std::size_t>(n)) ==
                        std::string_view(model).substr(0, static_cast<std::size_t>(n)),
                    "Read's bytes");
            model.erase(0, static_cast<std::size_t>(n));
            break;
        }
        default: {
            const std::string back(static_cast<std::size_t>(op % 8), static_cast<char>("ab\n\r"[op % 4]));
            socket.PushFront(back.data(), back.size());
            model.insert(0, back);
            break;
        }
        }
    }
    require(drain(socket) == model, "the stream after the calls");
}

// The data connections of an FTP exchange: a listener on 127.0.0.1 whose n-th connection gets
// the n-th segment, then the end of the stream; what the proxy sends on it (a stored file) is
// kept until the proxy closes it.
class DataServer {
public:
    explicit DataServer(std::vector<std::string_view> segments) : segments_(std::move(segments))
    {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        require(listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    listen(listener_, 4) == 0 &&
                    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
                    pipe2(wake_, O_CLOEXEC) == 0,
                "the FTP data listener");
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    DataServer(const DataServer&) = delete;
    DataServer& operator=(const DataServer&) = delete;
    ~DataServer()
    {
        stop();
        close(listener_);
        close(wake_[0]);
        close(wake_[1]);
    }
    int port() const { return port_; }
    // Ends the service; what each data connection carried to the server, in order.
    const std::vector<std::string>& received()
    {
        stop();
        return received_;
    }

private:
    void stop()
    {
        if (!thread_.joinable())
            return;
        const char byte = 0;
        require(write(wake_[1], &byte, 1) == 1, "waking the FTP data listener");
        thread_.join();
    }
    // Waits for fd or the wake-up; false when woken with nothing on fd. The proxy has closed
    // every socket before the wake-up: what it left (a connection still in the backlog, bytes,
    // the end of a stream) is taken all the same.
    bool wait(int fd)
    {
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        while (poll(fds, 2, -1) < 0) {
        }
        return fds[0].revents != 0;
    }
    void serve()
    {
        for (std::size_t index = 0;; ++index) {
            if (!wait(listener_))
                return;
            const int fd = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string_view out = index < segments_.size() ? segments_[index] : std::string_view();
            while (!out.empty()) {
                const ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                out.remove_prefix(static_cast<std::size_t>(n));
            }
            shutdown(fd, SHUT_WR);
            std::string in;
            bool woken = false;
            for (;;) {
                if (!wait(fd)) {
                    woken = true;
                    break;
                }
                char block[4096];
                const ssize_t n = read(fd, block, sizeof block);
                if (n <= 0)
                    break;
                in.append(block, static_cast<std::size_t>(n));
            }
            close(fd);
            received_.push_back(std::move(in));
            if (woken)
                return;
        }
    }

    std::vector<std::string_view> segments_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int port_ = 0;
    std::thread thread_;
    std::vector<std::string> received_;
};

// The replies with every address the proxy would take from a PASV answer replaced by the data
// listener's, so that no data connection goes anywhere else. The lines are read as the proxy
// reads them: up to '\n', at most 1,024 bytes of each, up to a zero byte.
std::string passive_replies(std::string_view replies, int port)
{
    const auto named = [](std::string_view line) -> std::optional<std::pair<std::size_t, std::size_t>> {
        std::string_view seen = line.substr(0, 1024);
        seen = seen.substr(0, seen.find('\0'));
        const std::size_t open = seen.find('(');
        if (open == std::string_view::npos)
            return std::nullopt;
        std::string_view numbers = seen.substr(open + 1);
        numbers = numbers.substr(0, numbers.find(')'));
        const std::optional<sockaddr_in> address = ftpport_parse(numbers);
        if (!address || address->sin_port == 0)
            return std::nullopt;
        return std::pair(open + 1, numbers.size());
    };
    const std::string ours = "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xff);
    std::string out;
    while (!replies.empty()) {
        const std::size_t end = std::min(replies.find('\n'), replies.size() - 1) + 1;
        const std::string_view line = replies.substr(0, end);
        replies.remove_prefix(end);
        const auto at = named(line);
        if (!at) {
            out += line;
            continue;
        }
        std::string fixed(line);
        fixed.replace(at->first, at->second, ours);
        if (const auto again = named(fixed)) {
            const std::optional<sockaddr_in> address = ftpport_parse(std::string_view(fixed).substr(again->first, again->second));
            if (ntohs(address->sin_port) != port)
                fixed = "500 elsewhere\r\n";
        }
        out += fixed;
    }
    return out;
}

// An FTP request for the client's URL (its host must be 127.0.0.1, where the data listener is)
// against a server that answers with the input's replies and sends its data segments, separated
// by "<DATA>", on the data connections. Whatever they send: every command on the control
// connection is one line, the client gets no more body than announced, and a stored file is
// answered with success only when the server received it whole.
void ftp(Input& in)
{
    const unsigned how = in.byte();
    const std::string_view target = in.line();
    std::string_view rest = in.rest();
    std::vector<std::string_view> pieces;
    for (std::size_t at = rest.find("<DATA>"); at != std::string_view::npos; at = rest.find("<DATA>")) {
        pieces.push_back(rest.substr(0, at));
        rest.remove_prefix(at + 6);
    }
    pieces.push_back(rest);
    const std::string_view replies = pieces.front();
    pieces.erase(pieces.begin());

    const bool put = (how & 1) != 0;
    HeaderPtr request = http_header_parse_request((put ? "PUT ftp://" : "GET ftp://") + std::string(target) +
                                                  " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 5\r\n\r\n");
    if (request == nullptr || request->scheme != "ftp" || request->host != "127.0.0.1")
        return;
    // A body the client streams, or one already buffered.
    const bool streamed = (how & 4) != 0;
    DataServer data(pieces);
    Peer client(streamed ? "hello"sv : ""sv, streamed), server(passive_replies(replies, data.port()));
    {
        Wired wired(client, server);
        wired->request = std::move(request);
        // Through a SOCKS server the data connections go to the request's host.
        wired->proxy_type = UPSTREAM_SOCKS5;
        wired->body = std::make_unique<Filebuf>();
        if (streamed)
            wired->flags |= CONN_STREAM | CONN_BODY_PENDING;
        else
            wired->body->Add("hello");
        if ((how & 2) != 0)
            wired->flags |= CONN_POOLED;
        const int result = protocol_ftp(wired.get());
        require(result == 1 || result == -1, "protocol_ftp's outcome");
        require(wired->response == nullptr, "a response left in the slot");
    }
    const std::string& sent = server.received();
    std::size_t start = 0;
    for (std::size_t end = sent.find("\r\n"); end != std::string::npos; end = sent.find("\r\n", start)) {
        require(!has_any(std::string_view(sent).substr(start, end - start), "\r\n\0"sv),
                "a line break or zero byte inside an FTP command");
        start = end + 2;
    }
    require(start == sent.size(), "an FTP command without its line end");

    const std::string& answer = client.received();
    if (answer.empty())
        return;
    require(answer.starts_with("HTTP/1.1 "), "the client's answer");
    const std::size_t head = answer.find("\r\n\r\n");
    require(head != std::string::npos, "the client's answer has no header end");
    const HeaderPtr response = http_header_parse_response(std::string_view(answer).substr(0, head + 4));
    require(response != nullptr, "the client's answer does not parse");
    if ((response->flags & HEADER_LENGTH) != 0)
        require(answer.size() - head - 4 <= static_cast<std::uint64_t>(response->content_length),
                "more body than its Content-Length");
    if (put && response->status == 200) {
        const std::vector<std::string>& stored = data.received();
        require(!stored.empty() && stored.back() == "hello", "a file reported stored that the server did not get");
    }
}

// What the parent received: requests, each a header block that parses, with nothing between.
void parent_received(std::string_view sent)
{
    while (!sent.empty()) {
        const std::size_t end = sent.find("\r\n\r\n");
        require(end != std::string_view::npos, "a request to the parent without its end");
        const HeaderPtr request = http_header_parse_request(sent.substr(0, end + 4));
        require(request != nullptr, "a request to the parent does not parse");
        sent.remove_prefix(end + 4);
    }
}

void parent_setup(CONNECTION_T* connection, unsigned how)
{
    connection->proxy_type = UPSTREAM_HTTP;
    connection->parent_host = "127.0.0.1";
    connection->parent_port = refused_port;
    connection->proxy_username = (how & 2) != 0 ? "alice" : "";
    connection->proxy_password = "secret";
    connection->proxy_domain = (how & 4) != 0 ? "DOMAIN" : "";
}

// A tunnel asked of a parent that answers with the input: opened only on a 2xx answer, the
// client's request in place again afterwards, and when the first answer opens it, the bytes
// after that answer left for the tunnel.
void parent_connect(unsigned how, std::string_view bytes)
{
    // Whether the first answer opens the tunnel by itself, and what follows it.
    std::string after_first;
    bool first_opens = false;
    {
        Message first(SIDE_SERVER, bytes);
        after_first = drain(*first.wired->server);
        first_opens = first.header != nullptr && first.header->version != HTTP_VERSION_09 &&
                      first.header->status >= 200 && first.header->status < 300;
    }
    if ((how & 16) != 0) {
        // The client's own CONNECT passed on: the client sends a little and hangs up, which
        // ends the relay of an opened tunnel.
        const HeaderPtr first = Message(SIDE_SERVER, bytes).header;
        Peer client("ping"), server(bytes);
        {
            Wired wired(client, server);
            wired->request = http_header_parse_request("CONNECT www.test:443 HTTP/1.1\r\nHost: www.test:443\r\n\r\n");
            require(wired->request != nullptr, "the request parses");
            parent_setup(wired.get(), how);
            require(protocol_connect(wired.get()) == 0 && wired->response == nullptr, "protocol_connect's outcome");
        }
        const std::string& answer = client.received();
        const bool opened = answer.starts_with("HTTP/1.1 200 Connection Established\r\n\r\n");
        std::string_view sent = server.received();
        if (opened && sent.ends_with("ping"))
            sent.remove_suffix(4);   // what the client sent through the tunnel
        parent_received(sent);
        require(opened || answer.starts_with("HTTP/1.1 503 "), "the client's answer to its CONNECT");
        if (first == nullptr || first->version == HTTP_VERSION_09 || (first->status != 200 && first->status != 407))
            require(!opened, "a tunnel opened on an answer that was no success");
        return;
    }
    Peer client, server(bytes);
    {
        Wired wired(client, server);
        wired->request = http_header_parse_request("CONNECT www.test:443 HTTP/1.1\r\nHost: www.test:443\r\n\r\n");
        require(wired->request != nullptr, "the request parses");
        HEADER* const asked = wired->request.get();
        parent_setup(wired.get(), how);
        const int result = proxy_connect(wired.get());
        require(result == 1 || result == -1, "proxy_connect's outcome");
        require(wired->request.get() == asked && wired->response == nullptr, "the client's request is not back");
        require(wired->proxy_auth.empty(), "credentials left for the next request");
        if (first_opens)
            require(result == 1 && drain(*wired->server) == after_first, "the tunnel lost or gained bytes");
    }
    parent_received(server.received());
}

// A parent's 407 (the input's header block) with what the parent sends next behind it.
void parent(Input& in)
{
    const unsigned how = in.byte();
    const std::string_view bytes = in.rest();
    if ((how & 8) != 0) {
        parent_connect(how, bytes);
        return;
    }
    const std::size_t head = bytes.find("\r\n\r\n");
    if (head == std::string_view::npos)
        return;
    HeaderPtr answer = http_header_parse_response(bytes.substr(0, head + 4));
    if (answer == nullptr)
        return;
    Peer client, server(bytes.substr(head + 4));
    {
        Wired wired(client, server);
        wired->request = http_header_parse_request((how & 1) != 0 ? "HEAD http://srv/ HTTP/1.1\r\nHost: srv\r\n\r\n"
                                                                  : "POST http://srv/form HTTP/1.1\r\nHost: srv\r\n"
                                                                    "Content-Length: 5\r\n\r\n");
        require(wired->request != nullptr, "the request parses");
        wired->response = answer.get();
        parent_setup(wired.get(), how);
        const int result = proxy_authenticate(wired.get());
        require(result == 0 || result == 1, "proxy_authenticate's outcome");
        require(wired->proxy_auth.empty(), "credentials left for the next request");
        require(wired->request->method == ((how & 1) != 0 ? "HEAD" : "POST"), "the request's method changed");
    }
    parent_received(server.received());
}

// A request answered by a server (or a parent) that sends the input: the whole response path,
// with its interim answers, a parent's challenge, buffering, decoding and re-chunking. The
// client gets at most one answer; its header parses and its body keeps to the framing the
// header announces (a chunked body never to an HTTP/1.0 client).
void http(Input& in)
{
    static constexpr std::string_view REQUESTS[] = {
        "GET http://www.test/page HTTP/1.1\r\nHost: www.test\r\nAccept-Encoding: gzip\r\n\r\n",
        "GET http://www.test/page HTTP/1.0\r\nHost: www.test\r\n\r\n",
        "HEAD http://www.test/page HTTP/1.1\r\nHost: www.test\r\n\r\n",
        "POST http://www.test/form HTTP/1.1\r\nHost: www.test\r\nContent-Length: 5\r\n\r\n",
    };
    const unsigned how = in.byte();
    const std::string_view bytes = in.rest();
    Peer client, server(bytes);
    bool failed = false;
    HeaderPtr request = http_header_parse_request(REQUESTS[how & 3]);
    require(request != nullptr, "the request parses");
    const bool old_client = request->version != HTTP_VERSION_11;
    const bool head = (how & 3) == 2;
    {
        Wired wired(client, server);
        wired->request = std::move(request);
        if (head)
            wired->flags |= CONN_HEAD;
        if ((how & 3) == 3) {
            wired->body = std::make_unique<Filebuf>();
            wired->body->Add("hello");
        }
        if ((how & 4) != 0)
            wired->flags |= CONN_PROCESS;
        if ((how & 8) != 0)
            parent_setup(wired.get(), how >> 4);
        const int result = protocol_http(wired.get());
        require(result == 1 || result == -1, "protocol_http's outcome");
        require(wired->response == nullptr, "a response left in the slot");
        require(wired->proxy_auth.empty(), "credentials left for the next request");
        failed = (wired->flags & CONN_TRANSFER_FAILED) != 0;
    }
    const std::string& answer = client.received();
    if (answer.empty())
        return;
    const std::size_t end = answer.find("\r\n\r\n");
    require(end != std::string::npos, "the client's answer has no header end");
    const HeaderPtr response = http_header_parse_response(std::string_view(answer).substr(0, end + 4));
    require(response != nullptr && response->version != HTTP_VERSION_09, "the client's answer does not parse");
    const std::string_view body = std::string_view(answer).substr(end + 4);
    if (head || response->status == 204 || response->status == 304 || (response->status >= 100 && response->status < 200)) {
        require(body.empty(), "a body where none may be");
    } else if (response->chunked != 0) {
        require(!old_client, "a chunked body for an HTTP/1.0 client");
        const std::optional<Dechunked> stream = dechunk(body);
        require(stream.has_value(), "the client's chunked body is no chunked stream");
        require(stream->ended == !failed, "the last chunk sent for a body that did not come whole, or withheld");
    } else if ((response->flags & HEADER_LENGTH) != 0) {
        require(body.size() <= static_cast<std::uint64_t>(response->content_length), "more body than its Content-Length");
        if (!failed)
            require(body.size() == static_cast<std::uint64_t>(response->content_length), "less body than its Content-Length");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::process_init();
    // One general rule: a small download buffer, so that a buffered body may outgrow it, and
    // compression for clients.
    TiXmlDocument rules;
    rules.Parse("<?xml version=\"1.0\"?><tarvodine><general><rule><enabled>true</enabled><comment></comment>"
                "<profiles></profiles><ctimeout>60</ctimeout><timeout>60</timeout><keeptimeout>60</keeptimeout>"
                "<maxdbuffer>8K</maxdbuffer><maxubuffer>8K</maxubuffer><bufferwait>0</bufferwait>"
                "<cportrange>443</cportrange><encodemime>text/.*</encodemime><compressout>true</compressout>"
                "<compressin>false</compressin><xforwardedfor>false</xforwardedfor><via>true</via>"
                "</rule></general></tarvodine>");
    require(!rules.Error(), "the general rule parses");
    general_section->load(&rules, 1);
    require(general_section->maxdbuffer_get(nullptr) == 8192, "the general rule applies");
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    require(fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0,
            "a refusing port");
    refused_port = ntohs(address.sin_port);   // bound, never listening: kept open for the run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    Input in(data, size);
    switch (in.byte() % 9) {
    case 0: body(in, SIDE_SERVER); break;
    case 1: body(in, SIDE_CLIENT); break;
    case 2: header_block(in); break;
    case 3: socks4(in); break;
    case 4: socks5(in); break;
    case 5: lines(in); break;
    case 6: ftp(in); break;
    case 7: parent(in); break;
    default: http(in); break;
    }
    return 0;
}
