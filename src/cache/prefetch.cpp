#include "cache/prefetch.h"

#include <algorithm>
#include <limits>
#include <mutex>
#include <strings.h>
#include <utility>

#include "cache/cache.h"
#include "cache/forward.h"
#include "cache/htmlstream.h"
#include "config/general.h"
#include "config/item.h"
#include "config/profile.h"
#include "core/global.h"
#include "core/threads.h"
#include "ftp/proto_ftp.h"
#include "core/connection.h"
#include "http/httpclient.h"
#include "http/proto_http.h"
#include "http/protocol.h"
#include "net/serverpool.h"
#include "util/log.h"
#include "util/mem.h"

PrefetchSection* prefetch_section = nullptr;

namespace {

enum : std::size_t {
    GLOBAL_ENABLED = 0,
    GLOBAL_THREADS = 1,
    GLOBAL_QUEUESIZE = 2,
    GLOBAL_HOSTLIMIT = 3,
    GLOBAL_COUNT = 4,
};

constexpr std::size_t SUBSECTION_RULES = 0;

// The worker's slot shows the fetch on the connections page while it runs, and goes back to
// "started" however the fetch ends.
class SlotShowing {
public:
    explicit SlotShowing(const URL& url) : slot_(thread_find())
    {
        std::lock_guard lock(threadlistlock);
        thread_t& slot = threads[slot_];
        slot.state = THREAD_PREFETCHING;
        slot.ip = "0.0.0.0";
        slot.url = url_create(url);
        slot.method = "PREFETCH";
        ++slot.requests;
    }
    ~SlotShowing()
    {
        std::lock_guard lock(threadlistlock);
        thread_t& slot = threads[slot_];
        slot.state = THREAD_STARTED;
        slot.url.clear();
        slot.method.clear();
        slot.arg = nullptr;
    }
    SlotShowing(const SlotShowing&) = delete;
    SlotShowing& operator=(const SlotShowing&) = delete;

private:
    int slot_;
};

HeaderPtr prefetch_request(const PREFETCH_QUEUE& entry)
{
    HeaderPtr request = http_get_request(entry.url, entry.lines ? &*entry.lines : nullptr);
    header_complete(request.get());
    request->referer = request->url;
    request->accept_encoding = std::string("gzip, deflate");
    // The copy keeps the client's User-Agent line as one the writer regenerates from its field,
    // so the field carries it.
    for (const HTTP_HEADER& line : request->lines) {
        if (line.type == HTTP_HEADER_FIELD && equal_nocase(line.name, "User-Agent"))
            request->user_agent = line.value;
    }
    return request;
}

} // namespace

Prefetch::Prefetch(const Item& item)
{
    const FieldVector& f = item.fields;
    FATAL_ASSERT(f.size() >= PREFETCH_FIELD_COUNT);
    enabled = f[PREFETCH_FIELD_ENABLED].int_value;
    comment = f[PREFETCH_FIELD_COMMENT].text;
    profiles = f[PREFETCH_FIELD_PROFILES].string_list;
    tag = f[PREFETCH_FIELD_TAG].text;
    attribute = f[PREFETCH_FIELD_ATTRIBUTE].text;
    pattern = f[PREFETCH_FIELD_PATTERN].text;
    maxsize = f[PREFETCH_FIELD_MAXSIZE].uint_value;
    maxdepth = f[PREFETCH_FIELD_MAXDEPTH].int_value;
    compile();
}

Prefetch::Prefetch(const Prefetch& other)
    : enabled(other.enabled),
      comment(other.comment),
      profiles(other.profiles),
      tag(other.tag),
      attribute(other.attribute),
      pattern(other.pattern),
      maxsize(other.maxsize),
      maxdepth(other.maxdepth)
{
    compile();
}

void Prefetch::compile()
{
    regex = rule_pattern_compile(pattern);
}

bool Prefetch::usable(const StringList& connection_profiles) const
{
    return enabled != 0 && !tag.empty() && !attribute.empty() && profile_find(connection_profiles, profiles) == 1;
}

PrefetchSection::PrefetchSection() : Section("prefetch", SECTION_MUTEX)
{
    FATAL_ASSERT(fields_.size() >= GLOBAL_COUNT);
    FATAL_ASSERT(subsections_.size() > SUBSECTION_RULES);
    FATAL_ASSERT(subsections_[SUBSECTION_RULES].templ.size() >= PREFETCH_FIELD_COUNT);
    update();
}

void PrefetchSection::update()
{
    rules_.rebuild([this](PrefetchRules& next) {
        next.enabled = fields_[GLOBAL_ENABLED].int_value;
        next.threads = fields_[GLOBAL_THREADS].int_value;
        next.queuesize = fields_[GLOBAL_QUEUESIZE].int_value;
        next.hostlimit = fields_[GLOBAL_HOSTLIMIT].int_value;
        rules_from_items(next.rules, subsections_[SUBSECTION_RULES]);
    });
}

std::shared_ptr<const PrefetchRules> PrefetchSection::rules() const
{
    return rules_.snapshot();
}

void PrefetchSection::init_threads()
{
    const int count = rules()->threads;
    for (int i = 0; i < count; ++i)
        thread_create(prefetch_thread, this);
}

void PrefetchSection::setup_callbacks(CONNECTION_T* connection)
{
    const HEADER* response = connection->response;
    if (response == nullptr || !starts_with_nocase(text_view(response->content_type), "text/html") ||
        (connection->flags & CONN_TLS) != 0)
        return;
    const std::shared_ptr<const PrefetchRules> current = rules();
    if (current->enabled == 0)
        return;
    for (const Prefetch& rule : current->rules) {
        if (!rule.usable(connection->profiles))
            continue;
        if (connection->htmlstream == nullptr)
            connection->htmlstream = htmlstream_new(connection);
        connection->htmlstream->Callback(rule.tag, prefetch_callback, connection);
    }
}

bool PrefetchSection::queue_add(URL url, const std::list<HTTP_HEADER>& lines, std::uint32_t allowance, int depth)
{
    const std::shared_ptr<const PrefetchRules> current = rules();
    const std::string key = url_create(url);
    {
        // The queue's lock, then the cache's: the one order in which the two are ever held.
        std::unique_lock lock(mutex_);
        if (queue_.size() >= static_cast<std::size_t>(std::max(current->queuesize, 0))) {
            lock.unlock();
            putlog(LOG_ALWAYS,
                   "prefetch: max quesize: %d cannot add this request into prefetch queue, consider increasing the "
                   "queuesize",
                   current->queuesize);
            return false;
        }
        if (cache_section != nullptr && cache_section->exists(key) != 0) {
            lock.unlock();
            putlog(LOG_DEBUG, "prefetch: url already cached");
            return false;
        }
        int same_host = 0;
        for (const std::unique_ptr<PREFETCH_QUEUE>& queued : queue_) {
            if (urlcmp(queued->url, url) == 1)
                return false;
            if (current->hostlimit > 0 && equal_nocase(queued->url.host, url.host) &&
                ++same_host >= current->hostlimit) {
                lock.unlock();
                putlog(LOG_ALWAYS,
                       "prefetch: max hostlimit: %d cannot add this request into prefetch queue, consider increasing "
                       "the hostlimit",
                       current->hostlimit);
                return false;
            }
        }
        auto entry = std::make_unique<PREFETCH_QUEUE>();
        entry->clientid = thread_get_clientid();
        entry->depth = depth;
        entry->allowance = allowance;
        entry->url = std::move(url);
        if (!lines.empty())
            entry->lines = lines;
        queue_.push_back(std::move(entry));
        queued_.notify_one();
    }
    putlog(LOG_PREFETCH, "url added to queue");
    return true;
}

std::vector<std::string> PrefetchSection::queue_urls() const
{
    std::vector<std::string> urls;
    std::lock_guard lock(mutex_);
    urls.reserve(queue_.size());
    for (const std::unique_ptr<PREFETCH_QUEUE>& queued : queue_)
        urls.push_back(url_create(queued->url));
    return urls;
}

std::size_t PrefetchSection::queue_count() const
{
    std::lock_guard lock(mutex_);
    return queue_.size();
}

std::unique_ptr<PREFETCH_QUEUE> PrefetchSection::queue_take()
{
    std::unique_lock lock(mutex_);
    queued_.wait(lock, [this] { return !queue_.empty(); });
    std::unique_ptr<PREFETCH_QUEUE> entry = std::move(queue_.front());
    queue_.pop_front();
    return entry;
}

std::optional<URL> prefetch_link(const HEADER& request, std::string_view value)
{
    const std::string scheme(text_view(request.scheme));
    // A network-path reference names its own host on the page's scheme.
    if (value.starts_with("//"))
        return url_parse(scheme + ":" + std::string(value));
    if (value.find(':') != std::string_view::npos)
        return url_parse(value);
    URL link;
    link.scheme = scheme;
    link.host = std::string(text_view(request.host));
    link.port = request.port;
    if (value.starts_with('/')) {
        link.path = url_path_fix(value);
    } else {
        // The page's directory: its path before the query, up to and including the last '/'.
        std::string_view base = text_view(request.path);
        base = base.substr(0, base.find('?'));
        const std::size_t slash = base.rfind('/');
        base = slash == std::string_view::npos ? std::string_view("/") : base.substr(0, slash + 1);
        link.path = url_path_fix(std::string(base) + std::string(value));
    }
    if (link.path.empty() || link.path.front() != '/')
        link.path.insert(0, 1, '/');
    return link;
}

void prefetch_callback(HTMLStream*, htmlstream_node* node, void* argument)
{
    auto* connection = static_cast<CONNECTION_T*>(argument);
    const HEADER* request = connection->request.get();
    if (node == nullptr || node->tag == nullptr || request == nullptr || prefetch_section == nullptr)
        return;
    const std::shared_ptr<const PrefetchRules> current = prefetch_section->rules();
    for (const Prefetch& rule : current->rules) {
        if (!rule.usable(connection->profiles) || !equal_nocase(rule.tag, node->tag->name) ||
            (rule.maxdepth != 0 && rule.maxdepth <= connection->depth))
            continue;
        std::optional<URL> link;
        for (const htmlstream_attribute& attribute : node->tag->attributes) {
            if (!equal_nocase(attribute.name, rule.attribute))
                continue;
            link = prefetch_link(*request, attribute.value);
            if (!link)
                break;
            if (rule.regex == nullptr || rule_pattern_matches(rule.regex, url_create(*link)))
                break;
            link.reset();
        }
        if (link) {
            prefetch_section->queue_add(std::move(*link), {}, rule.maxsize != 0 ? rule.maxsize : ALLOWANCE_UNLIMITED,
                                        connection->depth + 1);
            return;
        }
    }
}

void* prefetch_thread(void* argument)
{
    auto* section = static_cast<PrefetchSection*>(argument);
    {
        // The table keeps the argument as a handed-over connection; a worker has none.
        std::lock_guard lock(threadlistlock);
        threads[thread_find()].arg = nullptr;
    }
    for (;;) {
        const std::unique_ptr<PREFETCH_QUEUE> entry = section->queue_take();
        thread_set_clientid(entry->clientid);
        protocol_prefetch(*entry);
    }
    return nullptr;
}

void protocol_prefetch(const PREFETCH_QUEUE& entry)
{
    const SlotShowing showing(entry.url);
    const std::string key = url_create(entry.url);
    if (cache_section != nullptr && cache_section->exists(key) != 0)
        return;

    ConnectionPtr connection = connection_new("127.0.0.1");
    connection->id = entry.clientid;
    connection->flags = CONN_NOCLIENT | CONN_PREFETCH;
    connection->depth = entry.depth;
    connection->localip = "127.0.0.1";
    connection->download_allowance = entry.allowance;
    connection->request = prefetch_request(entry);
    HEADER* request = connection->request.get();

    if (forward_section != nullptr)
        forward_section->forward_do(connection.get());

    LogEntry& log = connection->logentry;
    log.client = "prefetch";
    log.client_id = connection->id;
    log.method = text_or_empty(request->method);
    log.url = request->url ? *request->url : std::string("-");
    log.set_cachecode(2);

    const std::string scheme = text_or_empty(request->scheme);
    const bool http = strcasecmp(scheme.c_str(), "http") == 0;
    const bool ftp = strcasecmp(scheme.c_str(), "ftp") == 0;
    // A parent proxy carries any scheme over HTTP; on its own the proxy speaks these two.
    if ((connection->proxy_type == UPSTREAM_HTTP || http || ftp) && protocol_start(connection.get()) >= 0) {
        if (connection->proxy_type == UPSTREAM_HTTP || http)
            protocol_http(connection.get());
        else
            protocol_ftp(connection.get());
    }

    connection_cache_settle(*connection);
    connection->htmlstream.reset();
    if (connection->keepalive_server == 1 && connection->server != nullptr && global != nullptr &&
        global->serverpool != nullptr && (connection->flags & CONN_TRANSFER_FAILED) == 0)
        global->serverpool->Add(std::move(connection->server), serverpool_key(connection.get()));
    connection->server.reset();
}

void HTMLStreamFree::operator()(HTMLStream* stream) const noexcept
{
    std::unique_ptr<HTMLStream> owner(stream);
}

HTMLStreamPtr htmlstream_new(const CONNECTION_T* connection)
{
    // A page is parsed as far as a body would be buffered whole, and no further: markup dense
    // in tags costs many times its own size in nodes.
    const std::size_t limit = general_section != nullptr ? general_section->maxdbuffer_get(connection)
                                                         : std::numeric_limits<std::size_t>::max();
    return HTMLStreamPtr(std::make_unique<HTMLStream>(limit).release());
}

HTMLStream* connection_htmlstream(CONNECTION_T* connection)
{
    return connection != nullptr ? connection->htmlstream.get() : nullptr;
}

void htmlstream_feed(HTMLStream* stream, const char* bytes, std::size_t length)
{
    if (stream == nullptr || bytes == nullptr)
        return;
    // A whole body (a cache hit, a decoded buffer) goes in blocks as a transfer brings it, so
    // that the stream lets each parsed block go and parses as far as it would have then; past
    // its limit it takes nothing more.
    constexpr std::size_t BLOCK = 65536;
    for (std::size_t at = 0; at < length && !stream->stopped(); at += BLOCK)
        stream->Add(bytes + at, std::min(BLOCK, length - at));
}

void htmlstream_flush(HTMLStream* stream)
{
    if (stream != nullptr)
        stream->Add(nullptr, 0);
}
