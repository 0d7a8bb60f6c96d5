#include "backend/protocol.h"

#include "backend/exception.h"
#include "backend/w3client.h"

#include <boost/format.hpp>
#include <boost/shared_array.hpp>

#include <algorithm>
#include <cstring>
#include <limits>

namespace vfs_quillmere {

namespace {

#ifndef QM_SERVICE_URL
#define QM_SERVICE_URL "http://127.0.0.1:8460"
#endif

std::string& url_storage()
{
    static std::string url = QM_SERVICE_URL;
    return url;
}

const char user_agent[] = "Mozilla/4.0 (compatible; )";

// Text responses are read in pieces of this size; raw ones into a fixed buffer.
constexpr std::uint32_t text_piece = 1023;
constexpr std::uint32_t raw_piece = 512;
constexpr std::size_t raw_buffer_size = 262144;
constexpr std::uint64_t max_announced_body = 256u << 20;

[[noreturn]] void throw_request_failed()
{
    throw exception(L"Request failed", L"No internet connection available");
}

// Connects a fresh client and sends the POST; the client is left with the response to read.
void send_post(W3Client& w3, const std::string& path, const request_params& params)
{
    if (!w3.ConnectUrl(service_url(), nullptr, nullptr, user_agent))
        throw_request_failed();
    w3.ClearParams();
    for (const auto& [name, value] : params)
        w3.AddParam(url_encode(name), url_encode(value));
    if (!w3.Request(path, W3Client::reqPostForm, nullptr))
        throw_request_failed();
}

bool is_space(wchar_t c)
{
    return c == L' ' || (c >= L'\t' && c <= L'\r');
}

// Decimal like the C runtime's _wtoi family: white space, an optional sign, digits up to the
// first non-digit; saturated at the type's limits.
template <typename T> T read_decimal(const std::wstring& value)
{
    std::size_t i = 0;
    while (i < value.size() && is_space(value[i]))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == L'+' || value[i] == L'-')) {
        negative = value[i] == L'-';
        ++i;
    }
    // Accumulate towards the negative side, which holds one more value than the positive.
    const T min = std::numeric_limits<T>::min();
    T result = 0;
    bool overflow = false;
    for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i) {
        const T digit = static_cast<T>(value[i] - L'0');
        if (result < (min + digit) / 10) {
            overflow = true;
            continue;
        }
        result = static_cast<T>(result * 10 - digit);
    }
    if (overflow)
        return negative ? min : std::numeric_limits<T>::max();
    if (negative)
        return result;
    return result == min ? std::numeric_limits<T>::max() : static_cast<T>(-result);
}

} // namespace

const std::string& service_url()
{
    return url_storage();
}

void set_service_url(const std::string& url)
{
    url_storage() = url;
}

// -- encoding --------------------------------------------------------------------------------

std::string url_encode(const std::wstring& text)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() + text.size() / 2);
    for (const wchar_t wc : text) {
        const unsigned c = static_cast<unsigned>(wc) & 0xFFFF;
        switch (c) {
        case 0x22:
        case 0x23:
        case 0x25:
        case 0x26:
        case 0x2F:
        case 0x3C:
        case 0x3E:
        case 0x3F:
        case 0x5B:
        case 0x5C:
        case 0x5D:
        case 0x5E:
        case 0x60:
        case 0x7B:
        case 0x7C:
        case 0x7D:
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
            continue;
        default:
            break;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        }
        else if (c < 0x800) {
            out += static_cast<char>(0xC0 + c / 64);
            out += static_cast<char>(0x80 + c % 64);
        }
        else {
            // Surrogate halves too: each becomes its own three bytes.
            out += static_cast<char>(0xE0 + c / 4096);
            out += static_cast<char>(0x80 + (c / 64) % 64);
            out += static_cast<char>(0x80 + c % 64);
        }
    }
    return out;
}

std::string form_body(const request_params& params)
{
    std::string body;
    bool first = true;
    for (const auto& [name, value] : params) {
        if (!first)
            body += '&';
        first = false;
        body += url_encode(name);
        body += '=';
        body += url_encode(value);
    }
    return body;
}

namespace {

// Appends the UTF-16 of data[0, size) to out (see decode_utf8).
void append_utf8(const char* data, std::size_t size, std::wstring& out)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::size_t i = 0;
    const auto continuation = [&](std::size_t at) { return (bytes[at] & 0xC0) == 0x80; };
    while (i < size) {
        const unsigned lead = bytes[i];
        if (lead < 0x80) {
            out += static_cast<wchar_t>(lead);
            ++i;
            continue;
        }
        std::size_t length;
        if (lead >= 0xC0 && lead <= 0xDF)
            length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF)
            length = 3;
        else if (lead >= 0xF0 && lead <= 0xF7)
            length = 4;
        else {
            ++i; // a lone continuation byte or 0xF8 to 0xFF
            continue;
        }
        // A sequence broken by a byte that does not continue it is skipped up to that byte;
        // one that the end of the text cuts short is dropped.
        std::size_t good = 1;
        while (good < length && i + good < size && continuation(i + good))
            ++good;
        if (good < length) {
            i += good;
            continue;
        }
        if (length == 2) {
            out += static_cast<wchar_t>((lead - 0xC0) * 64 + (bytes[i + 1] - 0x80));
        }
        else if (length == 3) {
            out += static_cast<wchar_t>((lead - 0xE0) * 4096 + (bytes[i + 1] - 0x80) * 64 +
                                        (bytes[i + 2] - 0x80));
        }
        else {
            const unsigned cp = (lead - 0xF0) * 262144 + (bytes[i + 1] - 0x80) * 4096 +
                                (bytes[i + 2] - 0x80) * 64 + (bytes[i + 3] - 0x80);
            if (cp < 0x10000) {
                out += static_cast<wchar_t>(cp);
            }
            else if (cp <= 0x10FFFF) {
                out += static_cast<wchar_t>(0xD800 + ((cp - 0x10000) >> 10));
                out += static_cast<wchar_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
            }
            else {
                out += static_cast<wchar_t>(0xFFFD); // beyond Unicode
            }
        }
        i += length;
    }
}

} // namespace

std::wstring decode_utf8(const char* data, std::size_t size)
{
    std::wstring out;
    out.reserve(size);
    append_utf8(data, size, out);
    return out;
}

// -- parsing ---------------------------------------------------------------------------------

namespace {

[[noreturn]] void throw_marker_not_found(const std::string& body, char marker, std::size_t start)
{
    // The message quotes the decoded text, so its position counts UTF-16 units of that text.
    // Parsing resumes only at or after a mark, so start never cuts a sequence of valid UTF-8.
    const std::size_t position = decode_utf8(body.data(), std::min(start, body.size())).size();
    const std::wstring m(1, static_cast<wchar_t>(marker));
    throw exception(L"Parse error",
                    (boost::wformat(L"Wrong response format: '%1%' not found. nStartPos=%2% strMarker=%3% "
                                    L"strData='%4%'") %
                     m % position % m % decode_utf8(body))
                        .str());
}

// The position of marker at or after start that no backslash escapes (a hit right at start
// counts even after a backslash).
std::size_t find_marker(const std::string& body, char marker, std::size_t start)
{
    std::size_t hit = start <= body.size() ? body.find(marker, start) : std::string::npos;
    while (hit != std::string::npos && hit > start && body[hit - 1] == '\\')
        hit = body.find(marker, hit + 1);
    if (hit == std::string::npos)
        throw_marker_not_found(body, marker, start);
    return hit;
}

struct tag_position {
    std::size_t open = 0;  // the "<"
    std::size_t close = 0; // the ">"
    bool closing = false;  // the tag text begins with "/"
};

tag_position next_tag(const std::string& body, std::size_t start)
{
    tag_position tag;
    tag.open = find_marker(body, '<', start);
    tag.close = find_marker(body, '>', tag.open);
    tag.closing = tag.close > tag.open + 1 && body[tag.open + 1] == '/';
    return tag;
}

} // namespace

// The parser keeps the open elements on a list of its own instead of recursing, so no nesting
// can exhaust the stack of the host process.
response::response(std::string body) : body_(std::move(body))
{
    if (body_.size() >= std::numeric_limits<std::uint32_t>::max())
        throw exception(L"Parse error", L"Wrong response format: the response is too large");
    // Every element has two tags: half the "<" bound the count, so the list never regrows.
    nodes_.reserve(static_cast<std::size_t>(std::count(body_.begin(), body_.end(), '<')) / 2 + 1);
    const auto at = [](std::size_t position) { return static_cast<std::uint32_t>(position); };
    std::vector<std::uint32_t> open;
    // The first tag opens the root whatever it looks like; closing tags need not name what they close.
    tag_position tag = next_tag(body_, 0);
    for (;;) {
        if (open.empty() || !tag.closing) {
            open.push_back(at(nodes_.size()));
            nodes_.push_back({at(tag.open + 1), at(tag.close + 1), at(tag.close + 1), 0});
        }
        else {
            node& closed = nodes_[open.back()];
            closed.content_end = at(tag.open);
            closed.subtree_end = at(nodes_.size());
            open.pop_back();
            if (open.empty()) {
                end_ = tag.close + 1;
                return;
            }
        }
        tag = next_tag(body_, tag.close + 1);
    }
}

std::wstring response::text(std::uint32_t begin, std::uint32_t end) const
{
    std::wstring out;
    if (begin >= end)
        return out;
    const char* data = body_.data() + begin;
    const std::size_t size = end - begin;
    out.reserve(size);
    // Most texts hold no backslash at all: decoded in place. Unescaping first gives the same
    // text as decoding first, as no byte of the two-byte escapes belongs to a multi-byte sequence.
    if (!std::memchr(data, '\\', size)) {
        append_utf8(data, size, out);
        return out;
    }
    // One pass gives the same result as replacing every "\<" and then every "\>": neither
    // replacement can make or break an occurrence of the other.
    std::string unescaped;
    unescaped.reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\\' && i + 1 < size && (data[i + 1] == '<' || data[i + 1] == '>'))
            ++i;
        unescaped += data[i];
    }
    append_utf8(unescaped.data(), unescaped.size(), out);
    return out;
}

std::wstring element::name() const
{
    const response::node& n = document_->nodes_[index_];
    return document_->text(n.name_begin, n.content_begin - 1);
}

bool element::is(std::wstring_view name) const
{
    const response::node& n = document_->nodes_[index_];
    const char* begin = document_->body_.data() + n.name_begin;
    const std::size_t length = n.content_begin - 1 - n.name_begin;
    // Plain ASCII names, the only kind the service sends, compare byte for character.
    for (std::size_t i = 0; i < length; ++i) {
        if (begin[i] == '\\' || static_cast<unsigned char>(begin[i]) >= 0x80)
            return this->name() == name;
    }
    return length == name.size() && std::equal(begin, begin + length, name.begin(), [](char byte, wchar_t c) {
               return static_cast<wchar_t>(byte) == c;
           });
}

std::wstring element::value() const
{
    if (!leaf())
        return std::wstring();
    const response::node& n = document_->nodes_[index_];
    return document_->text(n.content_begin, n.content_end);
}

bool element::leaf() const
{
    return document_->nodes_[index_].subtree_end == index_ + 1;
}

std::vector<element> element::children() const
{
    std::vector<element> out;
    document_->for_each_child(index_, [&](std::uint32_t i) {
        out.emplace_back(*document_, i);
        return false;
    });
    return out;
}

bool element::find_child(std::wstring_view name, element& found) const
{
    return document_->for_each_child(index_, [&](std::uint32_t i) {
        found = element(*document_, i);
        return found.is(name);
    });
}

void check_error(const element& root)
{
    for (const element& child : get_records(root, L"Error"))
        throw exception(get_variable(child, L"Name"), get_variable(child, L"Description"));
}

std::wstring get_variable(const element& node, std::wstring_view name)
{
    element child = node;
    if (node.find_child(name, child))
        return child.value();
    throw exception((boost::wformat(L"Variable '%1%' not found") % std::wstring(name)).str(),
                    L"No such variable defined at the response");
}

std::vector<element> get_records(const element& node, std::wstring_view name)
{
    // A listing of 100 000 children: one pass to size the result, one to fill it, and no list of
    // every child in between.
    std::size_t count = 0;
    node.each_child([&](const element& child) { count += !child.leaf() && child.is(name); });
    std::vector<element> records;
    records.reserve(count);
    node.each_child([&](const element& child) {
        if (!child.leaf() && child.is(name))
            records.push_back(child);
    });
    return records;
}

bool read_flag(const std::wstring& value)
{
    return value == L"True";
}

std::int32_t read_int32(const std::wstring& value)
{
    return read_decimal<std::int32_t>(value);
}

std::int64_t read_int64(const std::wstring& value)
{
    return read_decimal<std::int64_t>(value);
}

std::string narrow(const std::wstring& value)
{
    std::string out(value.size(), '\0');
    for (std::size_t i = 0; i < value.size(); ++i)
        out[i] = static_cast<char>(value[i] & 0xFF);
    return out;
}

// -- requests --------------------------------------------------------------------------------

std::string post_request(const std::string& path, const request_params& params)
{
    W3Client w3;
    send_post(w3, path, params);
    std::string body;
    // A listing's body runs to tens of megabytes: sized once from the announced length, it is
    // neither copied while it grows nor left with unused room. A length beyond any listing is
    // not believed: a hostile service must not make the host process reserve what it says.
    const std::uint64_t announced = w3.content_length();
    if (announced > 0 && announced <= max_announced_body)
        body.resize(static_cast<std::size_t>(announced) + text_piece);
    std::size_t used = 0;
    for (;;) {
        // Read straight into the tail of the body; without an announced length the string grows
        // geometrically.
        if (body.size() < used + text_piece)
            body.resize(std::max<std::size_t>(body.size() * 2, used + text_piece));
        const std::uint32_t got = w3.Read(&body[used], text_piece);
        if (got == 0)
            break;
        used += got;
    }
    body.resize(used);
    return body;
}

response text_request(const std::string& path, const request_params& params)
{
    response root(post_request(path, params));
    check_error(root);
    return root;
}

vfs::blob raw_request(const std::string& path, const request_params& params)
{
    W3Client w3;
    send_post(w3, path, params);
    boost::shared_array<unsigned char> buffer(new unsigned char[raw_buffer_size]);
    std::size_t used = 0;
    for (;;) {
        const std::uint32_t got = w3.Read(buffer.get() + used, raw_piece);
        if (got == 0)
            break;
        used += got;
        if (raw_buffer_size - used < raw_piece)
            throw exception(L"Request failed", L"Out of memory");
    }
    vfs::blob blob;
    blob.data = buffer;
    blob.size = static_cast<std::uint32_t>(used);
    return blob;
}

} // namespace vfs_quillmere
