#include "cache/htmlstream.h"

#include <algorithm>

#include "util/log.h"
#include "util/stringutil.h"

namespace {

// Markup routinely breaks a tag over lines and indents its attributes, so every ASCII white
// space separates tokens, not the space alone.
bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

std::string lower(std::string_view name)
{
    std::string key(name);
    string_tolower(key);
    return key;
}

// The heap bytes a node takes, its strings included.
std::size_t node_bytes(const htmlstream_node& node)
{
    std::size_t bytes = sizeof(htmlstream_node) + node.text.capacity();
    if (node.tag != nullptr) {
        bytes += sizeof(htmlstream_tag) + node.tag->name.capacity() +
                 node.tag->attributes.capacity() * sizeof(htmlstream_attribute);
        for (const htmlstream_attribute& attribute : node.tag->attributes)
            bytes += attribute.name.capacity() + attribute.value.capacity();
    }
    return bytes;
}

}  // namespace

std::unique_ptr<htmlstream_tag> htmlstream_tag_parse(std::string_view text)
{
    if (text.size() <= 1)
        return nullptr;
    auto tag = std::make_unique<htmlstream_tag>();
    bool named = false;
    bool quoted = false;
    // The pair being read: its first token (open, then ended) and its second one.
    std::string first, second;
    bool first_open = false, first_ended = false, second_open = false;

    auto end_tokens = [&] {
        if (first_open) {
            first_open = false;
            if (!named) {
                tag->name = std::move(first);
                first.clear();
                named = true;
            } else {
                first_ended = true;
            }
        }
        if (second_open) {
            tag->attributes.push_back({std::move(first), std::move(second)});
            first.clear();
            second.clear();
            first_ended = second_open = false;
        }
    };
    // A token character, or the opening quote of a token that may stay empty ("").
    auto token_char = [&](const char* c) {
        if (second_open) {
            if (c != nullptr)
                second.push_back(*c);
        } else if (first_ended) {
            second_open = true;
            if (c != nullptr)
                second.push_back(*c);
        } else {
            first_open = true;
            if (c != nullptr)
                first.push_back(*c);
        }
    };

    for (std::size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            if (quoted) {
                quoted = false;
                end_tokens();
            } else {
                quoted = true;
                token_char(nullptr);
            }
        } else if (!quoted && (is_blank(c) || c == '=' || c == '>')) {
            end_tokens();
        } else {
            token_char(&c);
        }
    }
    if (!named)
        return nullptr;
    return tag;
}

HTMLStream::~HTMLStream()
{
    // The nodes are owned flat, so a page of millions of siblings is freed without recursion.
    while (!nodes_.empty())
        nodes_.pop_back();
}

int HTMLStream::Callback(std::string_view name, htmlstream_callback function, void* argument)
{
    return callbacks_.try_emplace(lower(name), Registration{function, argument}).second ? 1 : 0;
}

void HTMLStream::attach(std::unique_ptr<htmlstream_node> owned)
{
    htmlstream_node* node = owned.get();
    nodes_bytes_ += node_bytes(*node);
    nodes_.push_back(std::move(owned));
    if (root_ == nullptr) {
        root_ = node;
    } else {
        current_->next = node;
        node->previous = current_;
    }
    current_ = node;
    if (node->tag != nullptr) {
        if (auto found = callbacks_.find(lower(node->tag->name)); found != callbacks_.end())
            found->second.function(this, node, found->second.argument);
    }
}

// The text after the mark (from the document's start while the mark is 0) up to to.
void HTMLStream::text(std::size_t from, std::size_t to)
{
    const std::size_t start = from == 0 ? 0 : from + 1;
    if (start >= to)
        return;
    const std::string_view run = between(start, to);
    if (isempty(run, run.size()) != 0)
        return;
    if (current_ != nullptr && current_->tag == nullptr && !current_->text.empty()) {
        const std::size_t before = current_->text.capacity();
        current_->text.append(run);
        nodes_bytes_ += current_->text.capacity() - before;
        return;
    }
    auto node = std::make_unique<htmlstream_node>();
    node->text.assign(run);
    attach(std::move(node));
}

void HTMLStream::closing(std::string_view name, bool& warned)
{
    const auto blank = std::find_if(name.begin(), name.end(), is_blank);
    name = name.substr(0, static_cast<std::size_t>(blank - name.begin()));
    if (name.empty() || current_ == nullptr)
        return;
    int depth = std::max(current_->depth, 0);
    htmlstream_node* opening = nullptr;
    std::size_t walked = 0;
    for (htmlstream_node* node = current_; node != nullptr && walked <= CLOSING_WALK_LIMIT;
         node = node->previous, ++walked) {
        depth = std::max(depth, node->depth);
        if (depth > NESTING_LIMIT) {
            if (!warned)
                putlog(LOG_WARNING, "HTML nesting limit %d reached", NESTING_LIMIT);
            warned = true;
            return;
        }
        if (node->tag != nullptr && node->tag->name.size() >= name.size() &&
            equal_nocase(std::string_view(node->tag->name).substr(0, name.size()), name)) {
            opening = node;
            break;
        }
    }
    if (opening == nullptr)
        return;
    htmlstream_node* parent = opening->previous;
    if (parent == nullptr || parent->child != nullptr)
        return;
    parent->child = opening;
    parent->next = nullptr;
    opening->previous = nullptr;
    for (htmlstream_node* node = opening; node != nullptr; node = node->next)
        node->parent = parent;
    parent->depth = depth + 1;
    current_ = parent;
}

bool HTMLStream::over_limit()
{
    if (memory() <= limit_)
        return false;
    stop();
    return true;
}

void HTMLStream::stop()
{
    putlog(LOG_WARNING, "HTML stream: parsing stopped: the page holds more than %zu bytes", limit_);
    stopped_ = true;
    buffer_ = Filebuf();
    base_ = mark_ = scan_ = 0;
}

void HTMLStream::Add(const char* bytes, std::size_t length)
{
    // Only a null block ends the document; an empty block from a read that got nothing does not.
    const bool final = bytes == nullptr;
    if (stopped_ || (!final && length == 0))
        return;
    // A block that would take the stream past its limit is taken only as far as it fits: what
    // it completes is still parsed, and the stream stops after it.
    bool cut = false;
    if (final) {
        if (ended_)
            return;
        ended_ = true;
    } else {
        const std::size_t used = memory();
        const std::size_t room = used < limit_ ? limit_ - used : 0;
        if (length > room) {
            length = room;
            cut = true;
        }
        if (length > 0 && buffer_.Add(bytes, length) < 0)
            return;
    }
    const std::size_t end = base_ + buffer_.size();
    bool warned = false;
    bool waiting = false;
    // The scan resumes where it stopped, never at the mark: every byte between them has been
    // seen and changed nothing.
    std::size_t i = scan_;
    for (; i < end; ++i) {
        ++scanned_;
        const char c = at(i);
        if (in_comment_) {
            if (c == '>' && i > base_ && at(i - 1) == '-')
                in_comment_ = false;
        } else if (c == '>' && at(mark_) == '<') {
            if (mark_ + 1 != i && at(mark_ + 1) == '/') {
                closing(between(mark_ + 2, i), warned);
            } else {
                auto node = std::make_unique<htmlstream_node>();
                node->tag = htmlstream_tag_parse(between(mark_, i + 1));
                attach(std::move(node));
                if (over_limit())
                    return;
            }
            mark_ = i;
        } else if (c == '<') {
            // A "<" this close to the end may begin a comment not yet received.
            if (!final && i + 4 > end) {
                waiting = true;
                break;
            }
            if (i + 4 <= end && between(i, i + 4) == "<!--") {
                in_comment_ = true;
            } else {
                text(mark_, i);
                if (over_limit())
                    return;
                mark_ = i;
            }
        }
    }
    scan_ = waiting ? i : end;
    if (final && end > 0)
        text(mark_, end);
    if (cut) {
        stop();
        return;
    }

    // Bytes before the mark are never read again. They are dropped once they are at least half of
    // what is held, so the moves cost no more than the bytes received.
    const std::size_t done = mark_ - base_;
    if (done >= 4096 && done >= buffer_.size() / 2) {
        buffer_.Trim(done);
        base_ = mark_;
    }
}
