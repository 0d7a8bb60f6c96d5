// The service protocol without a service: encoding of request bodies, decoding of responses,
// the tag scanner and the parser, and the error convention.
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

// -- url_encode ------------------------------------------------------------------------------

TEST(url_encode, ampersand_is_escaped_space_and_plus_are_not)
{
    EXPECT_EQ(url_encode(L"a b&c"), "a b%26c");
    EXPECT_EQ(url_encode(L"1+1=2;~"), "1+1=2;~");
}

TEST(url_encode, the_sixteen_marks_become_upper_case_escapes)
{
    EXPECT_EQ(url_encode(L"\"#%&/<>?[]\\^`{}|"), "%22%23%25%26%2F%3C%3E%3F%5B%5D%5C%5E%60%7B%7D%7C");
}

TEST(url_encode, every_other_ascii_character_is_copied)
{
    std::wstring text;
    std::string expected;
    const std::wstring escaped = L"\"#%&/<>?[]\\^`{}|";
    for (wchar_t c = 1; c < 0x80; ++c) {
        if (escaped.find(c) != std::wstring::npos)
            continue;
        text += c;
        expected += static_cast<char>(c);
    }
    EXPECT_EQ(url_encode(text), expected);
}

TEST(url_encode, non_ascii_becomes_utf8_per_utf16_unit)
{
    EXPECT_EQ(url_encode(L"\u00e9"), bytes({0xC3, 0xA9}));
    EXPECT_EQ(url_encode(L"\u07ff"), bytes({0xDF, 0xBF}));
    EXPECT_EQ(url_encode(L"\u0800"), bytes({0xE0, 0xA0, 0x80}));
    EXPECT_EQ(url_encode(L"\u20ac"), bytes({0xE2, 0x82, 0xAC}));
    EXPECT_EQ(url_encode(L"\uffff"), bytes({0xEF, 0xBF, 0xBF}));
    // U+1F600 is the pair D83D DE00; each half is written as its own three bytes.
    EXPECT_EQ(url_encode(L"\xD83D\xDE00"), bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80}));
}

TEST(form_body, pairs_in_list_order_joined_without_trailing_separator)
{
    EXPECT_EQ(form_body({}), "");
    EXPECT_EQ(form_body({{L"new_name", L"a&b"}, {L"action", L"rename_dir"}, {L"dir_id", L"7"}}),
              "new_name=a%26b&action=rename_dir&dir_id=7");
    EXPECT_EQ(form_body({{L"x", L""}}), "x=");
}

// -- UTF-8 -----------------------------------------------------------------------------------

TEST(decode_utf8, one_two_and_three_byte_sequences)
{
    EXPECT_EQ(decode_utf8(std::string("abc")), L"abc");
    EXPECT_EQ(decode_utf8(bytes({0xC3, 0xA9})), L"\u00e9");
    EXPECT_EQ(decode_utf8(bytes({0xE2, 0x82, 0xAC})), L"\u20ac");
    EXPECT_EQ(decode_utf8(bytes({0xEF, 0xBF, 0xBF})), L"\uffff");
}

TEST(decode_utf8, four_byte_sequence_becomes_a_surrogate_pair)
{
    EXPECT_EQ(decode_utf8(bytes({0xF0, 0x9F, 0x98, 0x80})), std::wstring(L"\xD83D\xDE00"));
    EXPECT_EQ(decode_utf8(bytes({0xF4, 0x8F, 0xBF, 0xBF})), std::wstring(L"\xDBFF\xDFFF"));
    EXPECT_EQ(decode_utf8(bytes({0xF0, 0x90, 0x80, 0x80})), std::wstring(L"\xD800\xDC00"));
}

TEST(decode_utf8, surrogate_halves_written_as_three_bytes_each_come_back)
{
    EXPECT_EQ(decode_utf8(bytes({0xED, 0xA0, 0xBD, 0xED, 0xB8, 0x80})), std::wstring(L"\xD83D\xDE00"));
}

TEST(decode_utf8, stray_bytes_are_skipped)
{
    EXPECT_EQ(decode_utf8("a" + bytes({0x80}) + "b" + bytes({0xBF}) + "c"), L"abc");
    EXPECT_EQ(decode_utf8("a" + bytes({0xF8, 0xFF, 0xFE}) + "b"), L"ab");
}

TEST(decode_utf8, a_sequence_cut_by_the_end_is_dropped)
{
    EXPECT_EQ(decode_utf8("ab" + bytes({0xC3})), L"ab");
    EXPECT_EQ(decode_utf8("ab" + bytes({0xE2, 0x82})), L"ab");
    EXPECT_EQ(decode_utf8("ab" + bytes({0xF0, 0x9F, 0x98})), L"ab");
}

TEST(decode_utf8, a_sequence_broken_by_a_plain_byte_keeps_that_byte)
{
    EXPECT_EQ(decode_utf8(bytes({0xE2}) + "<a>"), L"<a>");
    EXPECT_EQ(decode_utf8(bytes({0xC3}) + "x" + bytes({0xC3, 0xA9})), L"x\u00e9");
}

TEST(decode_utf8, every_utf16_unit_round_trips_through_url_encode)
{
    // The service echoes names as it got them; the BMP round-trips unit by unit.
    std::wstring all;
    for (unsigned c = 1; c <= 0xFFFF; ++c) {
        if (c >= 0xD800 && c <= 0xDFFF)
            continue;
        all += static_cast<wchar_t>(c);
    }
    std::string encoded;
    for (wchar_t c : all) {
        // url_encode escapes marks; encode those as plain bytes for this check.
        encoded += c < 0x80 ? std::string(1, static_cast<char>(c)) : url_encode(std::wstring(1, c));
    }
    EXPECT_EQ(decode_utf8(encoded), all);
}

// -- markers, tags, unescaping ---------------------------------------------------------------

TEST(find_marker, skips_markers_behind_a_backslash)
{
    const std::wstring text = L"ab\\<cd<ef";
    EXPECT_EQ(find_marker(text, L'<', 0), 6u);
    // A hit right at the start counts even after a backslash.
    EXPECT_EQ(find_marker(text, L'<', 3), 3u);
}

TEST(find_marker, missing_marker_quotes_the_whole_text)
{
    const auto [message, details] = failure_of([] { find_marker(L"no tags here", L'<', 2); });
    EXPECT_EQ(message, L"Parse error");
    EXPECT_EQ(details,
              L"Wrong response format: '<' not found. nStartPos=2 strMarker=< strData='no tags here'");
}

TEST(find_marker, start_beyond_the_end_fails_cleanly)
{
    EXPECT_EQ(failure_of([] { find_marker(L"<a>", L'<', 50); }).first, L"Parse error");
}

TEST(next_tag, closing_tags_begin_with_a_slash)
{
    const std::wstring text = L"x<Name>y</Name>";
    const tag_position open = next_tag(text, 0);
    EXPECT_EQ(open.open, 1u);
    EXPECT_EQ(open.close, 6u);
    EXPECT_FALSE(open.closing);
    const tag_position close = next_tag(text, 7);
    EXPECT_TRUE(close.closing);
    EXPECT_FALSE(next_tag(L"<>", 0).closing) << "an empty tag is not a closing tag";
}

TEST(unescape, both_escapes_and_nothing_else)
{
    const std::wstring text = L"a\\<b\\>c\\d\\\\<&amp;";
    EXPECT_EQ(unescape(text, 0, text.size()), L"a<b>c\\d\\<&amp;");
    EXPECT_EQ(unescape(text, 2, 1), L"");
}

// -- the parser ------------------------------------------------------------------------------

TEST(parse, variables_and_records)
{
    const response_node root = parse_response(
        L"<Response><Path>/api</Path><Directory><Name>A \\<b\\></Name><ID>5</ID></Directory><Empty></Empty>"
        L"</Response>");
    EXPECT_EQ(root.name, L"Response");
    EXPECT_FALSE(root.leaf);
    ASSERT_EQ(root.children.size(), 3u);
    EXPECT_EQ(get_variable(root, L"Path"), L"/api");
    const auto records = get_records(root, L"Directory");
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(get_variable(*records[0], L"Name"), L"A <b>");
    EXPECT_EQ(get_variable(*records[0], L"ID"), L"5");
    EXPECT_TRUE(root.children[2].leaf);
    EXPECT_EQ(root.children[2].value, L"");
    EXPECT_EQ(root.children[1].value, L"") << "an element with children has no value";
}

TEST(parse, text_before_the_root_and_names_of_closing_tags_do_not_matter)
{
    const response_node root = parse_response(L"junk<R><A>1</B><C>2</></X>trailing");
    EXPECT_EQ(root.name, L"R");
    EXPECT_EQ(get_variable(root, L"A"), L"1");
    EXPECT_EQ(get_variable(root, L"C"), L"2");
}

TEST(parse, escaped_lt_is_not_a_tag_start)
{
    const response_node root = parse_response(L"<R><V>1 \\< 2 \\<tag\\> x</V></R>");
    EXPECT_EQ(get_variable(root, L"V"), L"1 < 2 <tag> x");
}

TEST(parse, answers_the_position_after_the_element)
{
    response_node node;
    const std::wstring text = L"<A>x</A><B>y</B>";
    EXPECT_EQ(parse(node, text, 0), 8u);
    EXPECT_EQ(node.value, L"x");
}

TEST(parse, response_without_any_tag_fails_quoting_the_response)
{
    const auto [message, details] = failure_of([] { parse_response(L"Fatal error: out of memory"); });
    EXPECT_EQ(message, L"Parse error");
    EXPECT_NE(details.find(L"strData='Fatal error: out of memory'"), std::wstring::npos) << details;
}

TEST(parse, every_cut_of_a_response_fails_with_parse_error)
{
    const std::wstring full = L"<Response><Directory><HasSubfolders>True</HasSubfolders><Name>a\\<b</Name>"
                              L"<ID>1</ID></Directory><File><Name>\u00e9</Name></File></Response>";
    ASSERT_NO_THROW(parse_response(full));
    for (std::size_t cut = 0; cut < full.size(); ++cut) {
        const std::wstring part = full.substr(0, cut);
        const auto [message, details] = failure_of([&] { parse_response(part); });
        EXPECT_EQ(message, L"Parse error") << "cut at " << cut;
    }
}

TEST(parse, every_cut_of_the_bytes_decodes_and_fails_cleanly)
{
    const std::string full = "<Response><Name>" +
                             bytes({0xF0, 0x9F, 0x98, 0x80, 0xC3, 0xA9, 0xE2, 0x82, 0xAC}) +
                             "</Name></Response>";
    ASSERT_EQ(get_variable(parse_response(decode_utf8(full)), L"Name"),
              std::wstring(L"\xD83D\xDE00\u00e9\u20ac"));
    for (std::size_t cut = 0; cut < full.size(); ++cut)
        EXPECT_EQ(failure_of([&] { parse_response(decode_utf8(full.substr(0, cut))); }).first,
                  L"Parse error");
}

TEST(parse, nesting_is_bounded)
{
    std::wstring ok;
    for (int i = 0; i < max_parse_depth; ++i)
        ok += L"<a>";
    ok += L"x";
    for (int i = 0; i < max_parse_depth; ++i)
        ok += L"</a>";
    EXPECT_NO_THROW(parse_response(ok)) << "64 levels are allowed";

    const std::wstring deeper = L"<a>" + ok + L"</a>";
    const auto [message, details] = failure_of([&] { parse_response(deeper); });
    EXPECT_EQ(message, L"Parse error");
    EXPECT_NE(details.find(L"nested deeper than 64 levels"), std::wstring::npos) << details;
}

TEST(parse, a_response_nested_100000_deep_fails_without_exhausting_the_stack)
{
    std::wstring text;
    text.reserve(800000);
    for (int i = 0; i < 100000; ++i)
        text += L"<a>";
    for (int i = 0; i < 100000; ++i)
        text += L"</a>";
    EXPECT_EQ(failure_of([&] { parse_response(text); }).first, L"Parse error");
    // And cut in the middle, unclosed.
    EXPECT_EQ(failure_of([&] { parse_response(text.substr(0, 300000)); }).first, L"Parse error");
}

TEST(parse, random_bytes_parse_or_fail_with_parse_error)
{
    std::mt19937 random(20261206);
    const char alphabet[] = {'<', '>', '/', '\\', 'a', 'E', ' ', '\xC3', '\xA9', '\xF0', '\x9F', '\x80'};
    int parsed = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string input(random() % 200, '\0');
        for (char& c : input)
            c = (round % 3 == 0) ? static_cast<char>(random() & 0xFF) : alphabet[random() % sizeof(alphabet)];
        try {
            parse_response(decode_utf8(input));
            ++parsed;
        }
        catch (const vfs::exception& e) {
            EXPECT_EQ(e.get_message(), L"Parse error");
        }
    }
    RecordProperty("parsed", parsed);
}

// -- reading values --------------------------------------------------------------------------

TEST(get_variable, first_child_of_that_name_leaf_or_not)
{
    const response_node root = parse_response(L"<R><X><Y>1</Y></X><X>2</X></R>");
    EXPECT_EQ(get_variable(root, L"X"), L"") << "the first match counts, even a record";
    const auto [message, details] = failure_of([&] { get_variable(root, L"x"); });
    EXPECT_EQ(message, L"Variable 'x' not found");
    EXPECT_EQ(details, L"No such variable defined at the response");
}

TEST(get_records, only_elements_with_children)
{
    const response_node root =
        parse_response(L"<R><File><A>1</A></File><File>leaf</File><File><A>2</A></File></R>");
    const auto records = get_records(root, L"File");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(get_variable(*records[1], L"A"), L"2");
    EXPECT_TRUE(get_records(root, L"Directory").empty());
}

TEST(check_error, the_first_error_record_becomes_the_exception)
{
    const response_node root =
        parse_response(L"<Response><Error><Name>Name already in use</Name><Description>An item named 'a' "
                       L"already exists.</Description>"
                       L"</Error><Error><Name>Second</Name><Description>x</Description></Error></Response>");
    const auto [message, details] = failure_of([&] { check_error(root); });
    EXPECT_EQ(message, L"Name already in use");
    EXPECT_EQ(details, L"An item named 'a' already exists.");
}

TEST(check_error, a_leaf_named_error_is_not_a_record)
{
    EXPECT_NO_THROW(check_error(parse_response(L"<R><Error>text</Error></R>")));
}

TEST(values, flags_are_exactly_True)
{
    EXPECT_TRUE(read_flag(L"True"));
    EXPECT_FALSE(read_flag(L"true"));
    EXPECT_FALSE(read_flag(L"1"));
    EXPECT_FALSE(read_flag(L"True "));
}

TEST(values, integers_read_like_wtoi)
{
    EXPECT_EQ(read_int32(L"  -42abc"), -42);
    EXPECT_EQ(read_int32(L"+7"), 7);
    EXPECT_EQ(read_int32(L"x1"), 0);
    EXPECT_EQ(read_int32(L""), 0);
    EXPECT_EQ(read_int32(L"2147483647"), 2147483647);
    EXPECT_EQ(read_int32(L"-2147483648"), INT32_MIN);
    EXPECT_EQ(read_int32(L"99999999999"), INT32_MAX);
    EXPECT_EQ(read_int64(L"\t9007199254740993"), 9007199254740993LL);
    EXPECT_EQ(read_int64(L"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(read_int64(L"99999999999999999999"), INT64_MAX);
}

TEST(values, narrow_keeps_the_low_eight_bits)
{
    EXPECT_EQ(narrow(L"sftp://h:1"), "sftp://h:1");
    EXPECT_EQ(narrow(L"\u00e9\u0141"), bytes({0xE9, 0x41}));
}
