#include "cache/forward.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <strings.h>

#include "cache/cache.h"
#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/options.h"
#include "core/connection.h"
#include "http/header.h"
#include "http/request.h"
#include "util/descriptor.h"
#include "util/log.h"
#include "util/mem.h"
#include "util/url.h"

ForwardSection* forward_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_CARP = 1,
    GLOBAL_MODULUS = 2,
    GLOBAL_COUNT = 3,
};

constexpr int CARP_PEERCODE_NONE = 20;   // printed as "NONE"
constexpr std::uint32_t CARP_MULTIPLIER = 0x62531966u;

std::uint32_t rotl(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

// Characters count as signed bytes, as the array's other members compute them.
std::uint32_t carp_string(std::string_view text)
{
    std::uint32_t h = 0;
    for (const char c : text)
        h = h + rotl(h, 19) + static_cast<std::uint32_t>(static_cast<std::int32_t>(static_cast<signed char>(c)));
    return h;
}

std::string general_hostname()
{
    return general_section != nullptr ? general_section->proxyhost_get() : std::string();
}

// The name this proxy goes by among its peers: -H when given, else the general host name.
std::string own_name()
{
    return !proxyhost.empty() ? proxyhost : general_hostname();
}

bool protocol_allowed(const Forward& rule, const HEADER& request)
{
    if (request.kind == HEADER_CONNECT)
        return (rule.protocols & FORWARD_PROTO_CONNECT) != 0;
    const std::string scheme = request.scheme.value_or("");
    if (strcasecmp(scheme.c_str(), "http") == 0)
        return (rule.protocols & FORWARD_PROTO_HTTP) != 0;
    if (strcasecmp(scheme.c_str(), "ftp") == 0)
        return (rule.protocols & FORWARD_PROTO_FTP) != 0;
    return true;
}

// The URL a peer is asked about: without the port when it is the scheme's default.
std::string icp_url(const HEADER& request)
{
    const std::string scheme = request.scheme.value_or("");
    if (request.port == protocol_port(scheme))
        return scheme + "://" + request.host.value_or("") + request.path.value_or("");
    return request.url.value_or("");
}

class UdpSocket {
public:
    UdpSocket() = default;
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;
    ~UdpSocket()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    // Opens and binds to any address, port 0, once; -1 when that failed.
    int open()
    {
        if (tried_)
            return fd_;
        tried_ = true;
        fd_ = s_socket(AF_INET, SOCK_DGRAM, 0);
        if (fd_ < 0)
            return -1;
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_addr.s_addr = htonl(INADDR_ANY);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
        return fd_;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
    bool tried_ = false;
};

} // namespace

Forward::Forward(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= FORWARD_FIELD_COUNT);
    enabled = f[FORWARD_FIELD_ENABLED].int_value;
    comment = f[FORWARD_FIELD_COMMENT].text;
    profiles = f[FORWARD_FIELD_PROFILES].string_list;
    host = f[FORWARD_FIELD_HOST].text;
    user = f[FORWARD_FIELD_USER].text;
    password = f[FORWARD_FIELD_PASSWORD].text;
    domain = f[FORWARD_FIELD_DOMAIN].text;
    port = f[FORWARD_FIELD_PORT].int_value;
    icp_type = f[FORWARD_FIELD_ICPTYPE].int_value;
    icp_port = f[FORWARD_FIELD_ICPPORT].int_value;
    proxy_type = f[FORWARD_FIELD_TYPE].int_value;
    protocols = f[FORWARD_FIELD_PROTOCOLS].int_value;
}

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(!subsections_.empty());
    FATAL_ASSERT(subsections_[0].templ.size() >= FORWARD_FIELD_COUNT);
    update();
}

void ForwardSection::update()
{
    rules_.rebuild([this](ForwardRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.carp = fields_[GLOBAL_CARP].int_value;
        next.modulus = fields_[GLOBAL_MODULUS].uint_value;
        rules_from_items(next.rules, subsections_[0]);
    });
}

std::shared_ptr<const ForwardRules> ForwardSection::rules() const
{
    return rules_.snapshot();
}

std::time_t ForwardSection::now() const
{
    return clock_ != nullptr ? clock_() : std::time(nullptr);
}

std::time_t ForwardSection::get_status(const Forward& rule) const
{
    std::lock_guard lock(status_mutex_);
    return rule.dead_since;
}

void ForwardSection::set_status(const Forward& rule, int dead)
{
    const std::time_t when = dead != 0 ? now() : 0;
    std::lock_guard lock(status_mutex_);
    rule.dead_since = when;
}

std::uint32_t ForwardSection::carp_hash(std::string_view url, std::string_view member, std::uint32_t modulus)
{
    const std::uint32_t h = carp_string(url);
    std::uint32_t m = 0;
    if (!member.empty())
        m = rotl(carp_string(member) * CARP_MULTIPLIER, 21);
    const std::uint32_t s = rotl((h ^ m) * CARP_MULTIPLIER, 21);
    return modulus != 0 ? s % modulus : s;
}

int ForwardSection::forward_do(CONNECTION_T* connection)
{
    // One generation for the whole decision: the rules stay alive, and no lock is held while
    // the peers are asked.
    const std::shared_ptr<const ForwardRules> current = rules();
    const HEADER* request = connection->request.get();
    if (current->enabled == 0 || (connection->bypass & BYPASS_FORWARD) != 0 || request == nullptr)
        return 0;
    const std::string self = own_name();

    std::vector<proxy_candidate> candidates;
    for (const Forward& rule : current->rules) {
        if (rule.enabled == 0 || rule.host == self)
            continue;
        if (!protocol_allowed(rule, *request) || profile_find(connection->profiles, rule.profiles) != 1)
            continue;
        if (rule.host.empty())
            break;
        if (rule.proxy_type == UPSTREAM_HTTP &&
            (((connection->flags & CONN_VALIDATE) != 0 && rule.icp_type != FORWARD_ICP_NONE) ||
             (connection->flags & CONN_HTTPS) != 0))
            continue;
        proxy_candidate candidate;
        candidate.rule = &rule;
        candidates.push_back(std::move(candidate));
    }
    if (candidates.empty())
        return 0;

    const Forward* chosen = proxy_select(connection, *current, candidates);
    if (chosen == nullptr)
        return 0;
    connection->proxy_type = chosen->proxy_type;
    connection->parent_host = chosen->host;
    if (!chosen->user.empty())
        connection->proxy_username = chosen->user;
    if (!chosen->password.empty())
        connection->proxy_password = chosen->password;
    if (!chosen->domain.empty())
        connection->proxy_domain = chosen->domain;
    connection->parent_port = chosen->port != -1 ? chosen->port : (chosen->proxy_type == UPSTREAM_CONNECT ? 443 : 3128);
    putlog(LOG_FORWARD, "forwarding to %s:%d", connection->parent_host.c_str(), connection->parent_port);
    return 0;
}

const Forward* ForwardSection::proxy_select(CONNECTION_T* connection, const ForwardRules& rules,
                                            std::vector<proxy_candidate>& candidates)
{
    const HEADER* request = connection->request.get();
    const bool connect = request == nullptr || request->kind == HEADER_CONNECT;
    if (!connect) {
        if (rules.carp != 0)
            peer_select_carp(connection, rules, candidates);
        else
            peer_select_icp(connection, candidates);
    }
    std::uint32_t best = 0;
    for (proxy_candidate& candidate : candidates) {
        if (rules.carp == 0 && candidate.rule->icp_type == FORWARD_ICP_NONE)
            candidate.score = 1;
        if (candidate.score > best)
            best = candidate.score;
    }
    if (rules.carp != 0) {
        const std::string url = request != nullptr ? request->url.value_or("") : std::string();
        const std::string self = !proxyhost.empty() ? proxyhost : general_hostname();
        if (carp_hash(url, self, rules.modulus) >= best)
            return nullptr;
        // The member that owns the URL caches it; a copy here would only take room.
        connection->flags |= CONN_NOCACHE;
    } else if (best == 0) {
        return nullptr;
    }
    putlog(LOG_DEBUG, "forwarding: highest peer priority: %u", best);

    std::vector<const proxy_candidate*> top;
    for (const proxy_candidate& candidate : candidates)
        if (candidate.score == best)
            top.push_back(&candidate);
    const proxy_candidate& chosen = *top[static_cast<std::size_t>(std::rand()) % top.size()];

    int code = DEFAULT_PARENT;
    if (rules.carp != 0)
        code = CARP_PEERCODE_NONE;
    else if (chosen.rule->icp_type == FORWARD_ICP_PARENT)
        code = chosen.reply.opcode == ICP_OP_HIT ? PARENT_HIT : FIRST_PARENT_MISS;
    else if (chosen.rule->icp_type == FORWARD_ICP_SIBLING)
        code = SIBLING_HIT;
    connection->logentry.set_peercode(code);
    return chosen.rule;
}

void ForwardSection::peer_select_carp(CONNECTION_T* connection, const ForwardRules& rules,
                                      std::vector<proxy_candidate>& candidates)
{
    const std::string url = connection->request != nullptr ? connection->request->url.value_or("") : std::string();
    for (proxy_candidate& candidate : candidates)
        candidate.score = carp_hash(url, candidate.rule->host, rules.modulus);
}

void ForwardSection::peer_select_icp(CONNECTION_T* connection, std::vector<proxy_candidate>& candidates)
{
    const HEADER* request = connection->request.get();
    if (request == nullptr)
        return;
    const std::string url = icp_url(*request);
    UdpSocket socket;
    int pending = 0;
    std::vector<proxy_candidate*> asked;
    for (proxy_candidate& candidate : candidates) {
        const Forward& rule = *candidate.rule;
        if (rule.icp_type == FORWARD_ICP_NONE)
            continue;
        const std::time_t dead = get_status(rule);
        if (dead != 0) {
            if (now() - dead < FORWARD_DEAD_SECONDS)
                continue;
            set_status(rule, 0);
        }
        candidate.reply.opcode = ICP_NO_REPLY;
        asked.push_back(&candidate);
        sockaddr_in peer{};
        peer.sin_family = AF_INET;
        peer.sin_port = htons(static_cast<std::uint16_t>(rule.icp_port));
        if (inet_pton(AF_INET, rule.host.c_str(), &peer.sin_addr) != 1) {
            // Only dotted addresses are asked: a name would cost a DNS lookup per query.
            putlog(LOG_FORWARD, "error: ICP peer %s is not an IPv4 address", rule.host.c_str());
            continue;
        }
        if (socket.open() < 0)
            continue;
        const std::optional<std::uint32_t> number = icp_request_number();
        if (!number) {
            log_syscall("getrandom", __func__, "no ICP request number");
            continue;
        }
        candidate.request_number = *number;
        candidate.peer = peer;
        const icp_packet query = icp_query_build(*number, url, connection->ip, connection->localip);
        icp_packet_send(socket.fd(), peer, query);
        ++pending;
    }

    const int timeout = cache_section != nullptr ? cache_section->icptimeout_get() : 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout > 0 ? timeout : 0);
    while (pending > 0 && socket.fd() >= 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0)
            break;
        pollfd wait{socket.fd(), POLLIN, 0};
        const int ready = ::poll(&wait, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        sockaddr_in from{};
        icp_packet reply;
        if (icp_packet_receive(socket.fd(), from, reply) < 0) {
            putlog(LOG_ICP, "error: failed to receive ICP packet");
            continue;
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
        putlog(LOG_ICP, "response opcode from %s:%d: %s", text, ntohs(from.sin_port), icp_opcode_name(reply.opcode));
        // Anybody can send a datagram to this socket: a reply counts only as the answer of the
        // peer that was asked, about what it was asked.
        proxy_candidate* owner = nullptr;
        for (proxy_candidate* candidate : asked)
            if (candidate->reply.opcode == ICP_NO_REPLY &&
                icp_reply_matches(reply, from, candidate->peer, candidate->request_number, url))
                owner = candidate;
        if (owner == nullptr) {
            putlog(LOG_ICP, "error: received unknown ICP response number");
            continue;
        }
        owner->reply = std::move(reply);
        --pending;
    }

    for (proxy_candidate* candidate : asked) {
        const Forward& rule = *candidate->rule;
        const int opcode = candidate->reply.opcode;
        if (opcode == ICP_NO_REPLY) {
            putlog(LOG_FORWARD, "error: no ICP response received from %s", rule.host.c_str());
            set_status(rule, 1);
        } else if (rule.icp_type == FORWARD_ICP_PARENT && opcode == ICP_OP_HIT) {
            candidate->score = 100;
        } else if (rule.icp_type == FORWARD_ICP_PARENT && opcode == ICP_OP_MISS) {
            candidate->score = 10;
        } else if (rule.icp_type == FORWARD_ICP_SIBLING && opcode == ICP_OP_HIT) {
            candidate->score = 1000;
        }
    }
}
