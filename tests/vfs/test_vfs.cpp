// The numbers and the error shape that cross the storage interfaces: other trees, stored item
// records and the shell code all depend on them staying exactly these.
#include "vfs/vfs.h"

#include <gtest/gtest.h>

#include <ios>

namespace {

TEST(vfs_values, numbers_crossing_the_interfaces)
{
    EXPECT_EQ(vfs::typeDirectory, 1);
    EXPECT_EQ(vfs::typeFile, 2);

    EXPECT_EQ(vfs::modeRead, 1);
    EXPECT_EQ(vfs::modeWrite, 2);
    EXPECT_EQ(vfs::modeCreate, 4);
    EXPECT_EQ(vfs::modeWrite | vfs::modeCreate, 6); // what writers open with

    // The standard library's numbering, so a stream seek maps one to one.
    EXPECT_EQ(vfs::originBeginning, 0);
    EXPECT_EQ(vfs::originCurrent, 1);
    EXPECT_EQ(vfs::originEnding, 2);
    EXPECT_EQ(vfs::originBeginning, static_cast<int>(std::ios_base::beg));
    EXPECT_EQ(vfs::originCurrent, static_cast<int>(std::ios_base::cur));
    EXPECT_EQ(vfs::originEnding, static_cast<int>(std::ios_base::end));

    EXPECT_EQ(vfs::date_unknown, -1.0);
    EXPECT_EQ(sizeof(vfs::storage_info), 3 * sizeof(std::int64_t));
}

// A minimal exception and a minimal tree, written the way every implementation must be, to
// prove the interfaces can be implemented, caught by reference and shared through shared_ptr.
class test_exception : public vfs::exception {
public:
    test_exception(std::wstring message, std::wstring details)
        : message_(std::move(message)), details_(std::move(details))
    {
    }
    std::wstring get_message() const override { return message_; }
    std::wstring get_details() const override { return details_; }

private:
    std::wstring message_, details_;
};

int g_destroyed = 0;

class leaf : public vfs::file {
public:
    ~leaf() { ++g_destroyed; }
    std::wstring get_name() override { return L"a.txt"; }
    std::wstring get_id() override { return L"7"; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override { fail(L"set_description"); }
    std::int32_t get_type() override { return vfs::typeFile; }
    vfs::blob get_thumbnail() override { return {}; }
    void open(std::int32_t) override {}
    void close() override {}
    bool is_bof() override { return true; }
    bool is_eof() override { return true; }
    std::int32_t get_mode() override { return 0; }
    std::int64_t get_pos() override { return 0; }
    void seek(std::int64_t, std::int32_t) override { fail(L"seek"); }
    std::int32_t read(void*, std::int32_t) override { return 0; }
    std::int32_t write(const void*, std::int32_t) override { fail(L"write"); }
    std::wstring get_link() override { return {}; }
    std::int64_t get_size() override { return 0; }
    double get_date_accessed() override { return vfs::date_unknown; }
    double get_date_created() override { return 0.0; }
    double get_date_modified() override { return vfs::date_unknown; }
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override {}

private:
    [[noreturn]] static void fail(const std::wstring& op)
    {
        throw test_exception(L"Internal error", L"leaf::" + op + L"(): Operation not implemented");
    }
};

TEST(vfs_exception, message_and_details_reach_a_catch_by_reference)
{
    auto f = boost::shared_ptr<leaf>(new leaf);
    try {
        f->seek(0, vfs::originEnding);
        FAIL() << "seek did not throw";
    }
    catch (const vfs::exception& e) {
        EXPECT_EQ(e.get_message(), L"Internal error");
        EXPECT_EQ(e.get_details(), L"leaf::seek(): Operation not implemented");
    }
}

TEST(vfs_ownership, a_node_held_as_item_is_destroyed_through_its_own_type)
{
    g_destroyed = 0;
    {
        boost::shared_ptr<vfs::item> item = boost::shared_ptr<leaf>(new leaf);
        vfs::item_list children{item};
        item.reset();
        ASSERT_EQ(children.front()->get_type(), vfs::typeFile);
        auto as_file = boost::static_pointer_cast<vfs::file>(children.front());
        EXPECT_EQ(as_file->get_name(), L"a.txt");
    }
    EXPECT_EQ(g_destroyed, 1);
}

} // namespace
