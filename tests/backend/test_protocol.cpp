// The service protocol without a service: encoding of request bodies, decoding of responses,
// the parser, and the error convention.
#include "backend/exception.h"
#include "backend/protocol.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include "support/failure.h"

using namespace vfs_quillmere;

namespace {

using qm_test::failure_of;

std::string bytes(std::initializer_list<unsigned> values)
{
    std::string out;
    for (unsigned v : values)
        out += static_cast<char>(v);
    return out;
}

} // namespace

TEST(url_encode, marks_escaped_other_ascii_copied_the_rest_utf8_per_utf16_unit)
{
    const struct {
        std::wstring text;
        std::string encoded;
    } cases[] = {
        {L"a b&c", "a b%26c"},
        {L"1+1=2;~", "1+1=2;~"},
        {L"\"#%&/<>?[]\\^`{}|", "%22%23%25%26%2F%3C%3E%3F%5B%5D%5C%5E%60%7B%7D%7C"},
        {L"\u00e9", bytes({0xC3, 0xA9})},
        {L"\u07ff", bytes({0xDF, 0xBF})},
        {L"\u0800", bytes({0xE0, 0xA0, 0x80})},
        {L"\uffff", bytes({0xEF, 0xBF, 0xBF})},
        // U+1F600 is the pair D83D DE00; each half is written as its own three bytes.
        {L"\xD83D\xDE00", bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(url_encode(c.text), c.encoded) << c.encoded;

    std::wstring plain;
    for (wchar_t c = 1; c < 0x80; ++c) {
        if (std::wstring(L"\"#%&/<>?[]\\^`{}|").find(c) == std::wstring::npos)
            plain += c;
    }
    EXPECT_EQ(url_encode(plain), std::string(plain.begin(), plain.end()));

    EXPECT_EQ(form_body({{L"new_name", L"a&b"}, {L"action", L"rename_dir"}, {L"x", L""}}),
              "new_name=a%26b&action=rename_dir&x=");
}

TEST(decode_utf8, sequences_pairs_stray_broken_and_cut_bytes)
{
    const struct {
        std::string bytes;
        std::wstring text;
    } cases[] = {
        {"abc", L"abc"},
        {bytes({0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xEF, 0xBF, 0xBF}), L"\u00e9\u20ac\uffff"},
        {bytes({0xF0, 0x9F, 0x98, 0x80}), L"\xD83D\xDE00"},
        {bytes({0xF4, 0x8F, 0xBF, 0xBF}), L"\xDBFF\xDFFF"},
        // Surrogate halves written as three bytes each, as the service echoes them.
        {bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}), L"\xD83D\xDE00"},
        {"a" + bytes({0x80}) + "b" + bytes({0xBF, 0xF8, 0xFF, 0xFE}) + "c", L"abc"},
        {"ab" + bytes({0xC3}), L"ab"},
        {"ab" + bytes({0xF0, 0x9F, 0x98}), L"ab"},
        {bytes({0xE2}) + "<a>", L"<a>"},
        {bytes({0xC3}) + "x" + bytes({0xC3, 0xA9}), L"x\u00e9"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_utf8(c.bytes), c.text) << url_encode(c.text);
}

TEST(decode_utf8, every_utf16_unit_round_trips_through_url_encode)
{
    std::wstring all;
    std::string encoded;
    for (unsigned c = 1; c <= 0xFFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        all += static_cast<wchar_t>(c);
        // url_encode escapes marks; those go as plain bytes for this check.
        encoded += c < 0x80 ? std::string(1, static_cast<char>(c)) : url_encode(all.substr(all.size() - 1));
    }
    EXPECT_EQ(decode_utf8(encoded), all);
}

TEST(response, variables_records_values_errors_and_the_end_of_the_root)
{
    const response root("junk<Response><Path>/api</Path><Directory><Name>A \\<b\\></Name><ID>5</ID>"
                        "</Directory><Empty></Empty><File>leaf</File><V>1 \\< 2</B><C>2</></X>tail");
    EXPECT_EQ(root.root().name(), L"Response");
    EXPECT_FALSE(root.root().leaf());
    EXPECT_EQ(root.end(), 140u) << "after the closing tag, whatever it names";
    const auto children = root.root().children();
    ASSERT_EQ(children.size(), 6u);
    EXPECT_EQ(children[1].value(), L"") << "an element with children has no value";
    EXPECT_TRUE(children[2].leaf());
    EXPECT_EQ(get_variable(root, L"Path"), L"/api");
    EXPECT_EQ(get_variable(root, L"V"), L"1 < 2");
    EXPECT_EQ(get_variable(root, L"C"), L"2");
    EXPECT_EQ(get_variable(root, L"Directory"), L"") << "the first match counts, even a record";
    const auto records = get_records(root, L"Directory");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(get_variable(records[0], L"Name"), L"A <b>");
    EXPECT_TRUE(get_records(root, L"File").empty()) << "a leaf is not a record";
    const auto [message, details] = failure_of([&] { get_variable(root, L"path"); });
    EXPECT_EQ(message, L"Variable 'path' not found");
    EXPECT_EQ(details, L"No such variable defined at the response");

    const response errors(
        "<Response><Error>text</Error><Error><Name>Name already in use</Name><Description>An "
        "item named 'a' already exists.</Description></Error><Error><Name>Second</Name>"
        "<Description>x</Description></Error></Response>");
    const auto [error, description] = failure_of([&] { check_error(errors); });
    EXPECT_EQ(error, L"Name already in use");
    EXPECT_EQ(description, L"An item named 'a' already exists.");
    const response escaped_name("<R><N\\>x>1</N\\>x></R>");
    EXPECT_EQ(get_variable(escaped_name, L"N>x"), L"1");
    // Multi-byte sequences in a name, and right against escapes in a value.
    const response wide("<R><\xC3\xA9>\xE2\x82\xAC\\<\xF0\x9F\x98\x80\\></\xC3\xA9></R>");
    EXPECT_EQ(get_variable(wide, L"\u00e9"), L"\u20ac<\xD83D\xDE00>");
}

TEST(response, every_cut_of_a_response_fails_with_parse_error)
{
    const std::string full = "<Response><Directory><HasSubfolders>True</HasSubfolders><Name>a\\<b</Name>"
                             "<ID>1</ID></Directory><Name>" +
                             bytes({0xF0, 0x9F, 0x98, 0x80, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}) +
                             "</Name></Response>";
    ASSERT_EQ(get_variable(response(full), L"Name"), std::wstring(L"\xD83D\xDE00\u00e9\u20ac"));
    for (std::size_t cut = 0; cut < full.size(); ++cut)
        EXPECT_EQ(failure_of([&] { response(full.substr(0, cut)); }).first, L"Parse error")
            << "cut at " << cut;
    EXPECT_EQ(failure_of([] { response("Fatal error"); }).second,
              L"Wrong response format: '<' not found. nStartPos=0 strMarker=< strData='Fatal error'");
    EXPECT_EQ(failure_of([] { response("<a>x\\</a>"); }).second,
              L"Wrong response format: '<' not found. nStartPos=3 strMarker=< strData='<a>x\\</a>'")
        << "a marker behind a backslash is no marker";
    EXPECT_EQ(failure_of([] { response("<\xC3\xA9>x\\</a>"); }).second,
              L"Wrong response format: '<' not found. nStartPos=3 strMarker=< strData='<\u00e9>x\\</a>'")
        << "positions count UTF-16 units";
}

TEST(response, deep_nesting_parses_without_exhausting_the_stack)
{
    std::string text;
    for (int i = 0; i < 100000; ++i)
        text += "<a>";
    text += "x";
    for (int i = 0; i < 100000; ++i)
        text += "</a>";
    EXPECT_EQ(response(text).end(), text.size());
    EXPECT_EQ(failure_of([&] { response(text.substr(0, 300000)); }).first, L"Parse error");
}

TEST(response, random_bytes_parse_or_fail_with_parse_error)
{
    std::mt19937 random(20261206);
    const char alphabet[] = {'<', '>', '/', '\\', 'a', 'E', ' ', '\xC3', '\xA9', '\xF0', '\x9F', '\x80'};
    for (int round = 0; round < 3000; ++round) {
        std::string input(random() % 200, '\0');
        for (char& c : input)
            c = (round % 3 == 0) ? static_cast<char>(random() & 0xFF) : alphabet[random() % sizeof(alphabet)];
        try {
            const response parsed(input);
            get_variable(parsed, L"a");
        }
        catch (const vfs::exception& e) {
            EXPECT_TRUE(e.get_message() == L"Parse error" || e.get_message() == L"Variable 'a' not found");
        }
    }
}

TEST(values, flags_integers_and_narrowing)
{
    EXPECT_TRUE(read_flag(L"True") && !read_flag(L"true") && !read_flag(L"True "));
    const struct {
        const wchar_t* text;
        std::int64_t as32, as64;
    } cases[] = {
        {L"  -42abc", -42, -42},
        {L"x1", 0, 0},
        {L"-2147483648", INT32_MIN, INT32_MIN},
        {L"99999999999", INT32_MAX, 99999999999LL},
        {L"\t9007199254740993", INT32_MAX, 9007199254740993LL},
        {L"-9223372036854775808", INT32_MIN, INT64_MIN},
        {L"99999999999999999999", INT32_MAX, INT64_MAX},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read_int32(c.text), c.as32) << url_encode(c.text);
        EXPECT_EQ(read_int64(c.text), c.as64) << url_encode(c.text);
    }
    EXPECT_EQ(narrow(L"\u00e9\u0141"), bytes({0xE9, 0x41}));
}
