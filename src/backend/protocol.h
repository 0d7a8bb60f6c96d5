// The service's request and response protocol: form-encoded POST bodies to the service's
// endpoints, and the tagged text document that comes back.
#pragma once

#include "vfs/vfs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vfs_quillmere {

// Parameters in sending order.
typedef std::vector<std::pair<std::wstring, std::wstring>> request_params;

class response;

// One element of a parsed response: a view into its document, valid while the document lives.
class element {
public:
    element(const response& document, std::uint32_t index) : document_(&document), index_(index) {}

    std::wstring name() const;
    // Whether the name is exactly name; plain names are compared in place.
    bool is(std::wstring_view name) const;
    // The unescaped text of an element without children; empty for one with children.
    std::wstring value() const;
    bool leaf() const;
    std::vector<element> children() const;
    // Calls f with each child in order, without gathering them first.
    template <typename F> void each_child(F f) const;
    // The first child named name, into found; false when there is none.
    bool find_child(std::wstring_view name, element& found) const;

private:
    friend class response;
    const response* document_;
    std::uint32_t index_;
};

// A parsed response: the body as it came, UTF-8, and its elements, flat in document order, each
// a few offsets into the body. Names and values are unescaped and decoded only when read: a
// listing of 100 000 children has close to a million elements, and a tree of strings, or even a
// UTF-16 copy of the whole body, cost several times the body itself. Every mark of the format is
// ASCII and no byte of a multi-byte sequence is, so the marks are found in the bytes as they are.
class response {
public:
    response() = default;
    // Parses body from its first tag. Throws "Parse error" quoting the text.
    explicit response(std::string body);
    response(response&&) = default;
    response& operator=(response&&) = default;

    element root() const { return element(*this, 0); }
    // A response stands for its root wherever an element is asked for.
    operator element() const { return root(); }
    // The byte after the root's closing tag.
    std::size_t end() const { return end_; }

private:
    friend class element;
    struct node {
        std::uint32_t name_begin;    // after the "<"
        std::uint32_t content_begin; // after the ">"; the name ends one before
        std::uint32_t content_end;   // the "<" of the closing tag
        std::uint32_t subtree_end;   // index after the last descendant; leaf when index + 1
    };
    // Calls f with the index of each child of index in order until f answers true; answers
    // whether it did.
    template <typename F> bool for_each_child(std::uint32_t index, F f) const
    {
        for (std::uint32_t i = index + 1; i < nodes_[index].subtree_end; i = nodes_[i].subtree_end) {
            if (f(i))
                return true;
        }
        return false;
    }
    // body_[begin, end) unescaped and decoded.
    std::wstring text(std::uint32_t begin, std::uint32_t end) const;

    std::string body_;
    std::vector<node> nodes_;
    std::size_t end_ = 0;
};

template <typename F> void element::each_child(F f) const
{
    document_->for_each_child(index_, [&](std::uint32_t i) {
        f(element(*document_, i));
        return false;
    });
}

// POSTs params to path on the service's host; answers the parsed response. Throws the service's
// Error record, "Parse error" and "Request failed" as vfs_quillmere::exception.
response text_request(const std::string& path, const request_params& params);

// The same POST; answers the body bytes unparsed (thumbnails).
vfs::blob raw_request(const std::string& path, const request_params& params);

// The value of the first child named name, leaf or not; throws "Variable '%1%' not found".
std::wstring get_variable(const element& node, std::wstring_view name);
// The children named name that have children of their own.
std::vector<element> get_records(const element& node, std::wstring_view name);

// The service's base URL. Built in; tests point it at a dev service on a free port. Not
// exported from the DLL.
const std::string& service_url();
void set_service_url(const std::string& url);

// -- The pieces of a request, in the order text_request uses them. Exposed for the tests and
// -- the benchmark, which time and check each step on its own.

// Wide text to the bytes of a form body: 16 marks become %XX, the rest of ASCII stays as it
// is, everything else becomes UTF-8 (each UTF-16 unit on its own, as the service expects).
std::string url_encode(const std::wstring& text);

// The body of a form POST of params (names and values url_encoded, joined with "=" and "&").
std::string form_body(const request_params& params);

// One POST on a fresh connection; answers the whole body. Throws "Request failed" when the
// connection cannot be opened or the request cannot be sent.
std::string post_request(const std::string& path, const request_params& params);

// UTF-8 to UTF-16: 1- to 3-byte sequences as the service writes them, 4-byte sequences as a
// surrogate pair; stray bytes are skipped and a sequence cut by the end is dropped.
std::wstring decode_utf8(const char* data, std::size_t size);
inline std::wstring decode_utf8(const std::string& bytes)
{
    return decode_utf8(bytes.data(), bytes.size());
}

// Throws the first Error record of the root as (its Name, its Description).
void check_error(const element& root);

// The value formats of responses.
bool read_flag(const std::wstring& value);          // exactly "True"
std::int32_t read_int32(const std::wstring& value); // like _wtoi
std::int64_t read_int64(const std::wstring& value); // like _wtoi64
std::string narrow(const std::wstring& value);      // low 8 bits of every character

} // namespace vfs_quillmere
