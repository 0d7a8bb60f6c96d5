#include "backend/protocol.h"

#include "backend/exception.h"
#include "backend/w3client.h"

#include <boost/format.hpp>
#include <boost/shared_array.hpp>

#include <cstring>
#include <cwchar>
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

std::wstring decode_utf8(const char* data, std::size_t size)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    std::wstring out;
    out.reserve(size);
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
    return out;
}

// -- parsing ---------------------------------------------------------------------------------

std::size_t find_marker(const std::wstring& text, wchar_t marker, std::size_t start)
{
    std::size_t hit = start <= text.size() ? text.find(marker, start) : std::wstring::npos;
    while (hit != std::wstring::npos && hit > start && text[hit - 1] == L'\\')
        hit = text.find(marker, hit + 1);
    if (hit == std::wstring::npos) {
        const std::wstring m(1, marker);
        throw exception(
            L"Parse error",
            (boost::wformat(L"Wrong response format: '%1%' not found. nStartPos=%2% strMarker=%3% "
                            L"strData='%4%'") %
             m % start % m % text)
                .str());
    }
    return hit;
}

tag_position next_tag(const std::wstring& text, std::size_t start)
{
    tag_position tag;
    tag.open = find_marker(text, L'<', start);
    tag.close = find_marker(text, L'>', tag.open);
    tag.closing = tag.close > tag.open + 1 && text[tag.open + 1] == L'/';
    return tag;
}

std::wstring unescape(const std::wstring& text, std::size_t begin, std::size_t end)
{
    if (end > text.size())
        end = text.size();
    std::wstring out;
    if (begin >= end)
        return out;
    // Most texts hold no backslash at all: one copy.
    if (!std::wmemchr(text.data() + begin, L'\\', end - begin))
        return out.assign(text, begin, end - begin);
    out.reserve(end - begin);
    // One pass gives the same result as replacing every "\<" and then every "\>": neither
    // replacement can make or break an occurrence of the other.
    for (std::size_t i = begin; i < end; ++i) {
        const wchar_t c = text[i];
        if (c == L'\\' && i + 1 < end && (text[i + 1] == L'<' || text[i + 1] == L'>')) {
            out += text[i + 1];
            ++i;
        }
        else {
            out += c;
        }
    }
    return out;
}

namespace {

[[noreturn]] void throw_too_deep(std::size_t position)
{
    throw exception(
        L"Parse error",
        (boost::wformat(L"Wrong response format: elements nested deeper than %1% levels. nStartPos=%2%") %
         max_parse_depth % position)
            .str());
}

// Children are gathered on a per-depth scratch list that keeps its capacity between elements,
// then moved into the element with an exact reservation: one allocation per element with
// children instead of a series of regrowths, and no slack (a listing has a million nodes).
class parser {
public:
    explicit parser(const std::wstring& text) : text_(text), scratch_(max_parse_depth + 2) {}

    // Parses the element whose opening tag has already been found, so that no tag is scanned
    // twice.
    std::size_t element(response_node& node, const tag_position& opening, int depth)
    {
        if (depth > max_parse_depth)
            throw_too_deep(opening.open);
        node.leaf = true;
        node.name = unescape(text_, opening.open + 1, opening.close);
        const std::size_t content = opening.close + 1;
        std::size_t pos = content;
        std::vector<response_node>& children = scratch_[static_cast<std::size_t>(depth)];
        const std::size_t first = children.size();
        for (;;) {
            const tag_position tag = next_tag(text_, pos);
            if (!tag.closing) {
                node.leaf = false;
                // The deeper levels use other lists, so this slot stays where it is.
                children.emplace_back();
                pos = element(children.back(), tag, depth + 1);
                continue;
            }
            if (node.leaf) {
                node.value = unescape(text_, content, tag.open);
            }
            else {
                node.children.reserve(node.children.size() + (children.size() - first));
                for (std::size_t i = first; i < children.size(); ++i)
                    node.children.push_back(std::move(children[i]));
                children.resize(first);
            }
            return tag.close + 1;
        }
    }

private:
    const std::wstring& text_;
    std::vector<std::vector<response_node>> scratch_;
};

} // namespace

std::size_t parse(response_node& node, const std::wstring& text, std::size_t start)
{
    parser p(text);
    return p.element(node, next_tag(text, start), 1);
}

response_node parse_response(const std::wstring& text)
{
    response_node root;
    parse(root, text, 0);
    return root;
}

void check_error(const response_node& root)
{
    for (const response_node& child : root.children) {
        if (!child.leaf && child.name == L"Error")
            throw exception(get_variable(child, L"Name"), get_variable(child, L"Description"));
    }
}

std::wstring get_variable(const response_node& node, const std::wstring& name)
{
    for (const response_node& child : node.children) {
        if (child.name == name)
            return child.value;
    }
    throw exception((boost::wformat(L"Variable '%1%' not found") % name).str(),
                    L"No such variable defined at the response");
}

std::vector<const response_node*> get_records(const response_node& node, const std::wstring& name)
{
    std::vector<const response_node*> records;
    for (const response_node& child : node.children) {
        if (!child.leaf && child.name == name)
            records.push_back(&child);
    }
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
    std::size_t used = 0;
    for (;;) {
        // Read straight into the tail of the body; the string grows geometrically.
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

response_node text_request(const std::string& path, const request_params& params)
{
    const std::string body = post_request(path, params);
    response_node root = parse_response(decode_utf8(body));
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
