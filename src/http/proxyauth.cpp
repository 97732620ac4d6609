#include "http/proxyauth.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <ntlm.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/base64.h"
#include "core/connection.h"
#include "config/general.h"
#include "http/header.h"
#include "util/log.h"
#include "util/stringutil.h"
#include "net/netsection.h"
#include "net/network.h"
#include "http/body.h"
#include "http/proto_http.h"
#include "net/socket.h"
#include "http/transfer.h"

namespace {

// libntlm promises nothing about calls from several threads at once: one call at a time in the
// whole process.
std::mutex ntlm_lock;

// The longest "user:password" text that is encoded.
constexpr std::size_t CREDENTIALS_MAX = 4095;

// The parent answers the negotiate message at once or not at all.
constexpr int NTLM_ANSWER_TIMEOUT = 1;

// libntlm writes every message into a fixed area of NTLM_MSG_BUFSIZE bytes: the user name and
// domain of the negotiate message, and the two 24-byte responses, the domain and the user name
// twice (as user and as workstation) in UTF-16 in the authenticate message. These bounds keep
// both well inside it.
constexpr std::size_t NTLM_NAME_MAX = 128;
constexpr std::size_t NTLM_PASSWORD_MAX = 128;
constexpr std::size_t NTLM_CHALLENGE_DOMAIN_MAX = 2 * NTLM_NAME_MAX;   // bytes of UTF-16
static_assert(48 + NTLM_CHALLENGE_DOMAIN_MAX + 4 * NTLM_NAME_MAX <= NTLM_MSG_BUFSIZE);

// The challenge as it travels: signature, type, domain (length, room, offset), flags and the
// eight challenge bytes come first; its variable part ends at the latest with libntlm's area.
constexpr std::size_t NTLM_CHALLENGE_MIN = 32;
constexpr std::size_t NTLM_CHALLENGE_MAX = offsetof(tSmbNtlmAuthChallenge, buffer) + NTLM_MSG_BUFSIZE;
constexpr std::string_view NTLM_SIGNATURE{"NTLMSSP\0", 8};

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

// Every Proxy-Authenticate value of the answer, in the order the parent sent them; the field
// alone for an answer built without its lines.
std::vector<std::string_view> challenges_of(const HEADER& answer)
{
    std::vector<std::string_view> values;
    for (const HTTP_HEADER& line : answer.lines) {
        if (equal_nocase(line.name, "Proxy-Authenticate"))
            values.push_back(trimmed(line.value));
    }
    if (values.empty() && answer.proxy_authenticate)
        values.push_back(trimmed(*answer.proxy_authenticate));
    return values;
}

enum class Scheme { none, basic, ntlm };

Scheme scheme_offered(const HEADER& answer)
{
    for (const std::string_view value : challenges_of(answer)) {
        if (equal_nocase(value, "NTLM"))
            return Scheme::ntlm;
        if (starts_with_nocase(value, "Basic"))
            return Scheme::basic;
    }
    return Scheme::none;
}

// The encoded challenge of an answer to the negotiate message; nullopt when it carries none.
std::optional<std::string_view> ntlm_challenge_text(const HEADER& answer)
{
    for (const std::string_view value : challenges_of(answer)) {
        if (starts_with_nocase(value, "NTLM "))
            return trimmed(value.substr(5));
    }
    return std::nullopt;
}

bool is_head(const HEADER& request)
{
    return request.method && equal_nocase(*request.method, "HEAD");
}

// Reads and drops the body of the answer in the response slot; an answer to HEAD has none,
// whatever its header announces. true when the whole body was read.
bool answer_discard(CONNECTION_T* connection)
{
    if (is_head(*connection->request))
        return true;
    return http_transfer_discard(connection, SIDE_SERVER) == 1;
}

// A body already read away must not be relayed again: the answer now has none.
void answer_emptied(HEADER* answer)
{
    answer->chunked = 0;
    answer->content_length = 0;
    answer->flags |= HEADER_LENGTH;
}

// Whether the parent keeps the connection open after this answer.
bool parent_keeps(const HEADER& answer)
{
    if ((answer.flags & HEADER_LENGTH) == 0 && answer.chunked == 0)
        return false;
    if (answer.keepalive == 0 || answer.proxy_keepalive == 0)
        return false;
    return answer.keepalive == 1 || answer.proxy_keepalive == 1 || answer.version == HTTP_VERSION_11;
}

// A new connection to the parent in place of the server socket, for a parent that closed the
// old one. false when none could be made; the old socket then stays.
bool parent_reopen(CONNECTION_T* connection)
{
    const HEADER* request = connection->request.get();
    const bool named = !connection->parent_host.empty();
    const std::string host = named ? connection->parent_host : (request->host ? *request->host : std::string());
    const int port = named ? connection->parent_port : request->port;
    // Bound as the first connection was, by the network section's outgoing rules.
    std::string local;
    if (network_section != nullptr) {
        char dotted[INET_ADDRSTRLEN] = {};
        const in_addr address{network_section->interface_select(connection)};
        if (address.s_addr != htonl(INADDR_ANY) && inet_ntop(AF_INET, &address, dotted, sizeof dotted) != nullptr)
            local = dotted;
    }
    const int fd = net_connect(host.c_str(), port, local.c_str(), general_section->ctimeout_get(connection));
    if (fd < 0) {
        putlog(LOG_ERROR, "network: connection to proxy server failed");
        return false;
    }
    auto socket = std::make_unique<Socket>(fd);
    // A tunnel to the origin is encrypted only once it stands.
    if (connection->proxy_type != UPSTREAM_CONNECT && (connection->flags & CONN_TLS) != 0 && socket->Encrypt(1, host) != 1)
        return false;
    connection->server = std::move(socket);
    connection->keepalive_server = 0;
    return true;
}

// Drops the body of the 407 in the slot and makes sure the connection it came on still leads to
// the parent. false when no connection to the parent is left.
bool after_challenge(CONNECTION_T* connection)
{
    if (answer_discard(connection) && parent_keeps(*connection->response))
        return true;
    return parent_reopen(connection);
}

void send_to_parent(CONNECTION_T* connection)
{
    header_send(connection->request.get(), connection, SIDE_SERVER, HEADER_TO_PARENT);
}

std::string bytes_of(const void* message, std::size_t length)
{
    return std::string(static_cast<const char*>(message), length);
}

// The negotiate message (type 1), encoded; nullopt for names libntlm cannot hold.
std::optional<std::string> ntlm_negotiate(const std::string& user, const std::string& domain)
{
    if (user.size() > NTLM_NAME_MAX || domain.size() > NTLM_NAME_MAX)
        return std::nullopt;
    auto message = std::make_unique<tSmbNtlmAuthRequest>();
    {
        std::lock_guard lock(ntlm_lock);
        buildSmbNtlmAuthRequest(message.get(), user.c_str(), domain.c_str());
    }
    return to64frombits(bytes_of(message.get(), static_cast<std::size_t>(SmbLength(message.get()))));
}

std::uint32_t little_endian(const unsigned char* bytes, std::size_t count)
{
    std::uint32_t value = 0;
    for (std::size_t i = count; i > 0; --i)
        value = (value << 8) | bytes[i - 1];
    return value;
}

// The challenge (type 2) decoded from its Base64 text into a message libntlm may read: the
// right signature and type, no longer than libntlm's area. Its domain is kept only when it lies
// inside the message and fits the authenticate message (some servers send a length with a
// nonsense offset); otherwise the challenge goes on without one. Null for anything else.
std::unique_ptr<tSmbNtlmAuthChallenge> ntlm_challenge_decode(std::string_view text)
{
    // Four characters never give more than three bytes; one more for the decoder's terminator.
    std::vector<char> decoded(text.size() / 4 * 3 + 4);
    const int length = from64tobits(decoded.data(), decoded.size(), text);
    if (length < 0)
        return nullptr;
    const auto size = static_cast<std::size_t>(length);
    if (size < NTLM_CHALLENGE_MIN || size > NTLM_CHALLENGE_MAX)
        return nullptr;
    const auto* bytes = reinterpret_cast<const unsigned char*>(decoded.data());
    if (std::string_view(decoded.data(), NTLM_SIGNATURE.size()) != NTLM_SIGNATURE || little_endian(bytes + 8, 4) != 2)
        return nullptr;
    const std::uint32_t domain_length = little_endian(bytes + 12, 2);
    const std::uint32_t domain_offset = little_endian(bytes + 16, 4);
    const bool domain_usable = domain_length > 0 && domain_length <= NTLM_CHALLENGE_DOMAIN_MAX &&
                               domain_offset >= NTLM_CHALLENGE_MIN && domain_offset <= size &&
                               domain_length <= size - domain_offset;

    auto challenge = std::make_unique<tSmbNtlmAuthChallenge>();
    std::memset(challenge.get(), 0, sizeof *challenge);
    std::memcpy(challenge.get(), decoded.data(), size);
    if (!domain_usable)
        challenge->uDomain = tSmbStrHeader{};
    const std::size_t fixed = offsetof(tSmbNtlmAuthChallenge, buffer);
    challenge->bufIndex = static_cast<uint32>(size > fixed ? size - fixed : 0);
    return challenge;
}

// The authenticate message (type 3) for the challenge text, encoded; nullopt when the challenge
// is unusable or the credentials do not fit.
std::optional<std::string> ntlm_authenticate(std::string_view challenge_text, const std::string& user,
                                             const std::string& password)
{
    if (user.size() > NTLM_NAME_MAX || password.size() > NTLM_PASSWORD_MAX)
        return std::nullopt;
    std::unique_ptr<tSmbNtlmAuthChallenge> challenge = ntlm_challenge_decode(challenge_text);
    if (challenge == nullptr)
        return std::nullopt;
    auto message = std::make_unique<tSmbNtlmAuthResponse>();
    {
        std::lock_guard lock(ntlm_lock);
        buildSmbNtlmAuthResponse(challenge.get(), message.get(), user.c_str(), password.c_str());
    }
    return to64frombits(bytes_of(message.get(), static_cast<std::size_t>(SmbLength(message.get()))));
}

// What the request is while the NTLM messages travel: a GET without a body.
struct RequestState {
    HeaderText method;
    std::int64_t content_length = 0;
    int length_flag = 0;
    int chunked = 0;
    int keepalive_server = 0;

    explicit RequestState(CONNECTION_T* connection)
        : method(connection->request->method), content_length(connection->request->content_length),
          length_flag(connection->request->flags & HEADER_LENGTH), chunked(connection->request->chunked),
          keepalive_server(connection->keepalive_server)
    {
    }

    static void bodiless(CONNECTION_T* connection)
    {
        HEADER* request = connection->request.get();
        request->method = "GET";
        request->content_length = 0;
        request->flags &= ~HEADER_LENGTH;
        request->chunked = 0;
        connection->keepalive_server = 1;
    }

    void restore(CONNECTION_T* connection) const
    {
        HEADER* request = connection->request.get();
        request->method = method;
        request->content_length = content_length;
        request->flags = (request->flags & ~HEADER_LENGTH) | length_flag;
        request->chunked = chunked;
        connection->keepalive_server = keepalive_server;
    }
};

std::string credentials_text(const std::string& user, const std::string& password)
{
    std::string text = user + ":" + password;
    if (text.size() > CREDENTIALS_MAX)
        text.resize(CREDENTIALS_MAX);
    return text;
}

} // namespace

int proxy_authenticate(CONNECTION_T* connection)
{
    if (connection->response == nullptr || connection->request == nullptr || connection->server == nullptr)
        return 0;
    switch (scheme_offered(*connection->response)) {
    case Scheme::ntlm:
        return send_ntlm_response(connection);
    case Scheme::basic:
        return send_basic_response(connection);
    case Scheme::none:
        break;
    }
    return 0;
}

int send_basic_response(CONNECTION_T* connection)
{
    after_challenge(connection);
    const std::string credentials = credentials_text(connection->proxy_username, connection->proxy_password);
    connection->proxy_auth = "Basic " + to64frombits(credentials);
    send_to_parent(connection);
    connection->proxy_auth.clear();
    return 1;
}

int send_ntlm_response(CONNECTION_T* connection)
{
    HEADER* answer = connection->response;
    const RequestState saved(connection);
    // Built before anything is read, so that names libntlm cannot hold leave the 407 untouched.
    const std::optional<std::string> negotiate = ntlm_negotiate(connection->proxy_username, connection->proxy_domain);
    if (!negotiate) {
        putlog(LOG_ERROR, "request: NTLM credentials too long for the proxy server");
        return 0;
    }
    // The 407's body follows the request as it was sent (none after a HEAD).
    if (!after_challenge(connection)) {
        answer_emptied(answer);
        connection->keepalive_server = 0;
        return 0;
    }
    RequestState::bodiless(connection);
    connection->proxy_auth = "NTLM " + *negotiate;
    send_to_parent(connection);
    HeaderText text = header_get(connection, SIDE_SERVER, NTLM_ANSWER_TIMEOUT);
    if (!text && parent_reopen(connection)) {
        // The parent dropped the connection instead of answering: once more on a new one.
        send_to_parent(connection);
        text = header_get(connection, SIDE_SERVER, NTLM_ANSWER_TIMEOUT);
    }
    connection->proxy_auth.clear();

    HeaderPtr parsed = text ? http_header_parse_response(*text) : nullptr;
    if (parsed == nullptr) {
        // The negotiate message is still unanswered on this connection: it is never reused.
        saved.restore(connection);
        answer_emptied(answer);
        connection->keepalive_server = 0;
        return 0;
    }
    // The answer takes the 407's place in the response slot, whose owner keeps it.
    parsed->host = answer->host;
    parsed->path = answer->path;
    *answer = std::move(*parsed);

    const std::optional<std::string_view> challenge = ntlm_challenge_text(*answer);
    std::optional<std::string> authenticate;
    if (challenge && parent_keeps(*answer))
        authenticate = ntlm_authenticate(*challenge, connection->proxy_username, connection->proxy_password);
    if (!authenticate) {
        // The answer goes on to the caller with its body unread.
        saved.restore(connection);
        keepalive_check_server(connection);
        return 0;
    }
    if (!answer_discard(connection)) {
        saved.restore(connection);
        answer_emptied(answer);
        connection->keepalive_server = 0;
        return 0;
    }

    saved.restore(connection);
    connection->proxy_auth = "NTLM " + *authenticate;
    send_to_parent(connection);
    connection->proxy_auth.clear();
    return 1;
}

int authenicate_basic_response(CONNECTION_T* connection)
{
    HEADER* request = connection->request.get();
    const std::string user = request->url_user ? *request->url_user : std::string();
    const std::string password = request->url_password ? *request->url_password : std::string();
    request->authorization = "Basic " + to64frombits(credentials_text(user, password));
    header_send(request, connection, SIDE_SERVER, HEADER_TO_SERVER);
    request->authorization.reset();
    return 1;
}
