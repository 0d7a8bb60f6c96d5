// The service's request and response protocol: form-encoded POST bodies to the service's
// endpoints, and the tagged text document that comes back.
#pragma once

#include "vfs/vfs.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace vfs_quillmere {

// Parameters in sending order.
typedef std::vector<std::pair<std::wstring, std::wstring>> request_params;

// One element of a parsed response.
struct response_node {
    std::wstring name;
    std::wstring value; // empty for an element with children
    bool leaf = true;
    std::vector<response_node> children;
};

// POSTs params to path on the service's host; answers the parsed root. Throws the service's
// Error record, "Parse error" and "Request failed" as vfs_quillmere::exception.
response_node text_request(const std::string& path, const request_params& params);

// The same POST; answers the body bytes unparsed (thumbnails).
vfs::blob raw_request(const std::string& path, const request_params& params);

std::wstring get_variable(const response_node& node, const std::wstring& name);
std::vector<const response_node*> get_records(const response_node& node, const std::wstring& name);

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

// The position of marker at or after start that no backslash escapes (a hit right at start
// counts even after a backslash). Throws "Parse error" quoting the whole text when none.
std::size_t find_marker(const std::wstring& text, wchar_t marker, std::size_t start);

struct tag_position {
    std::size_t open = 0;  // the "<"
    std::size_t close = 0; // the ">"
    bool closing = false;  // the tag text begins with "/"
};
tag_position next_tag(const std::wstring& text, std::size_t start);

// "\<" -> "<" and "\>" -> ">" in one pass over text[begin, end).
std::wstring unescape(const std::wstring& text, std::size_t begin, std::size_t end);

// Parses one element starting at the first tag at or after start into node; answers the
// position after its closing tag. Elements nested deeper than max_parse_depth fail with
// "Parse error", so a hostile document cannot exhaust the stack of the host process.
constexpr int max_parse_depth = 64;
std::size_t parse(response_node& node, const std::wstring& text, std::size_t start);

// The root element of a response text (parsed from position 0).
response_node parse_response(const std::wstring& text);

// Throws the first Error record of the root as (its Name, its Description).
void check_error(const response_node& root);

// The value formats of responses.
bool read_flag(const std::wstring& value);          // exactly "True"
std::int32_t read_int32(const std::wstring& value); // like _wtoi
std::int64_t read_int64(const std::wstring& value); // like _wtoi64
std::string narrow(const std::wstring& value);      // low 8 bits of every character

} // namespace vfs_quillmere
