// Tokenises an HTML response while it streams through the proxy and calls a registered function
// for every tag of a chosen name as soon as the tag's ">" has arrived. The parser never fails on
// malformed markup: it knows tags, their attributes, text and comments, and nothing else.
#pragma once

#include <cstddef>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "util/filebuf.h"

struct htmlstream_attribute {
    std::string name;   // as written
    std::string value;  // as written, quotes taken off
};

struct htmlstream_tag {
    std::string name;  // as written
    std::vector<htmlstream_attribute> attributes;
};

// A node is either a text node (tag null) or a tag node. The links are views into the nodes the
// stream owns; they stay valid for the life of the stream.
struct htmlstream_node {
    htmlstream_node* parent = nullptr;
    htmlstream_node* previous = nullptr;
    htmlstream_node* next = nullptr;
    htmlstream_node* child = nullptr;
    int depth = 0;
    std::string text;
    std::unique_ptr<htmlstream_tag> tag;
};

class HTMLStream;
// Called with the stream, the tag node just made and the registered argument.
using htmlstream_callback = void (*)(HTMLStream* stream, htmlstream_node* node, void* argument);

// Parses one tag: text starts at "<" and reaches its ">". Null for a length of 1 or less, and for
// a tag without a name. A first token without a value takes the next token as its value.
std::unique_ptr<htmlstream_tag> htmlstream_tag_parse(std::string_view text);

class HTMLStream {
public:
    // Deeper groups than this are not searched for the opening tag of a closing tag.
    static constexpr int NESTING_LIMIT = 64;
    // A closing tag looks back over at most this many nodes for its opening tag, so a page of
    // unmatched closing tags costs linear time.
    static constexpr std::size_t CLOSING_WALK_LIMIT = 64;

    // limit: the most bytes the stream may hold, nodes and unparsed text together; past it the
    // stream stops parsing (with a log line) and lets its unparsed text go.
    explicit HTMLStream(std::size_t limit = std::numeric_limits<std::size_t>::max()) : limit_(limit) {}
    HTMLStream(const HTMLStream&) = delete;
    HTMLStream& operator=(const HTMLStream&) = delete;
    ~HTMLStream();

    // 1, or 0 (nothing changes) when the name, in any case, is already registered.
    int Callback(std::string_view name, htmlstream_callback function, void* argument);
    // Appends the bytes and tokenises what is complete. A call with null bytes ends the document:
    // a trailing text becomes a node.
    void Add(const char* bytes, std::size_t length);

    htmlstream_node* root() const { return root_; }
    htmlstream_node* current() const { return current_; }
    // Bytes examined by the scanner over the life of the stream; each byte received is examined
    // a bounded number of times, whatever the blocks.
    std::size_t scanned() const { return scanned_; }
    // Bytes held: those from the last "<" or ">" handled onwards.
    std::size_t held() const { return buffer_.size(); }
    // What the stream holds, counted against its limit: the nodes and the bytes held.
    std::size_t memory() const { return nodes_bytes_ + nodes_.capacity() * sizeof(nodes_[0]) + buffer_.size(); }
    // Whether the limit stopped the parsing: later blocks are ignored.
    bool stopped() const { return stopped_; }

private:
    struct Registration {
        htmlstream_callback function;
        void* argument;
    };

    char at(std::size_t offset) const { return buffer_.data()[offset - base_]; }
    std::string_view between(std::size_t from, std::size_t to) const
    {
        return {buffer_.data() + (from - base_), to - from};
    }
    void text(std::size_t from, std::size_t to);
    void attach(std::unique_ptr<htmlstream_node> node);
    void closing(std::string_view name, bool& warned);
    // Past the limit (true): no more parsing, and the unparsed text goes.
    bool over_limit();
    void stop();

    std::map<std::string, Registration> callbacks_;  // lower-case names
    std::vector<std::unique_ptr<htmlstream_node>> nodes_;
    htmlstream_node* root_ = nullptr;
    htmlstream_node* current_ = nullptr;
    // Offsets count from the first byte of the document; buffer_ holds the bytes from base_ on.
    std::size_t mark_ = 0;
    std::size_t scan_ = 0;
    std::size_t base_ = 0;
    bool in_comment_ = false;
    bool ended_ = false;
    std::size_t scanned_ = 0;
    std::size_t limit_;
    std::size_t nodes_bytes_ = 0;   // the nodes' own bytes and those of their strings
    bool stopped_ = false;
    Filebuf buffer_;
};
