// A remote file's contents as a stream: the bytes the service stored, what Stat and CopyTo
// report, how the folder hands the stream out, and what a failing storage call asks or keeps.
#include "module/resource.h"
#include "prompt_script.h"
#include "transfer/drive_folder.h"
#include "transfer/stream.h"

#include <boost/make_shared.hpp>

#include <algorithm>
#include <map>

using namespace qm_test;

namespace {

// A file whose operations fail a scripted number of times before they work; every call is logged.
class scripted_file : public vfs::file {
public:
    std::map<std::wstring, int> failures;
    std::vector<std::wstring> calls;
    std::int32_t mode = 0;
    std::int64_t pos = 0, size = 100;

    std::wstring get_name() override { return L"f.txt"; }
    std::wstring get_id() override { return L"1"; }
    std::wstring get_description() override { return {}; }
    void set_description(std::wstring) override {}
    std::int32_t get_type() override { return vfs::typeFile; }
    vfs::blob get_thumbnail() override { return {}; }
    void open(std::int32_t m) override { step(L"open " + std::to_wstring(m)), mode = m, pos = 0; }
    void close() override { step(L"close"), mode = 0; }
    bool is_bof() override { return pos == 0; }
    bool is_eof() override { return mode == vfs::modeRead && pos == size; }
    std::int32_t get_mode() override { return mode; }
    std::int64_t get_pos() override { return pos; }
    void seek(std::int64_t to, std::int32_t origin) override
    {
        step(L"seek " + std::to_wstring(to) + L" " + std::to_wstring(origin)), pos = to;
    }
    std::int32_t read(void*, std::int32_t len) override
    {
        step(L"read");
        const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(len, size - pos));
        pos += n;
        return n;
    }
    std::int32_t write(const void*, std::int32_t len) override { return step(L"write"), pos += len, len; }
    std::wstring get_link() override { return {}; }
    std::int64_t get_size() override { return size; }
    double get_date_accessed() override { return -1; }
    double get_date_created() override { return -1; }
    double get_date_modified() override { return -1; }
    std::uint32_t get_attributes() override { return 0; }
    void set_attributes(std::uint32_t) override {}

private:
    void step(const std::wstring& call)
    {
        calls.push_back(call);
        const std::wstring op = call.substr(0, call.find(L' '));
        if (failures[op] > 0 && failures[op]--)
            throw vfs::basic_exception(L"Storage failed", op + L" refused");
    }
};

com::ComPtr<IStream> stream_over(const boost::shared_ptr<vfs::file>& file)
{
    com::ComPtr<IStream> stream;
    EXPECT_EQ(create_stream(file, IID_PPV_ARGS(&stream)), S_OK);
    return stream;
}

bytes read_to_end(IStream* stream)
{
    bytes out;
    unsigned char buffer[7000];
    ULONG got = 0;
    HRESULT hr;
    while ((hr = stream->Read(buffer, sizeof buffer, &got)) == S_OK)
        out.insert(out.end(), buffer, buffer + got);
    EXPECT_EQ(hr, S_FALSE);
    return out;
}

TEST(stream, a_failing_call_asks_retry_or_cancel_unless_silent_and_then_keeps_the_error)
{
    const std::wstring caption = L"Error", refused = L": read refused";
    struct {
        const wchar_t* op;
        int failures;
        bool silent;
        std::vector<int> answers;
        HRESULT result;
        std::wstring asked; // texts of the prompts
        std::vector<std::wstring> calls;
    } const cases[] = {
        {L"read",
         2,
         false,
         {IDRETRY, IDRETRY},
         S_OK,
         L"Can't read from 'f.txt'" + refused + L" | Can't read from 'f.txt'" + refused,
         {L"open 1", L"read", L"read", L"read", L"close"}},
        {L"read",
         2,
         false,
         {IDRETRY, IDCANCEL},
         E_FAIL,
         L"Can't read from 'f.txt'" + refused + L" | Can't read from 'f.txt'" + refused,
         {L"open 1", L"read", L"read", L"close"}},
        {L"read", 1, true, {}, E_FAIL, L"", {L"open 1", L"read", L"close"}},
        {L"seek",
         1,
         false,
         {IDCANCEL},
         E_FAIL,
         L"Can't seek 'f.txt': seek refused",
         {L"open 1", L"seek 5 1", L"close"}},
        {L"write",
         0,
         false,
         {},
         S_OK,
         L"",
         {L"open 1", L"close", L"open 6", L"seek 0 0", L"write", L"close"}},
        {L"close",
         1,
         false,
         {IDRETRY},
         S_OK,
         L"Can't close 'f.txt': close refused",
         {L"open 1", L"read", L"close", L"close"}},
        {L"close", 1, true, {}, S_OK, L"", {L"open 1", L"read", L"close"}},
    };
    for (const auto& c : cases) {
        auto file = boost::make_shared<scripted_file>();
        file->failures[c.op] = c.failures;
        prompt_script script(c.answers);
        auto stream = stream_over(file);
        com::ComPtr<IStreamImpl> own;
        ASSERT_EQ(stream.As(&own), S_OK);
        if (c.silent)
            own->SetSilent();
        char buffer[10];
        ULONG n = 99;
        LARGE_INTEGER move = {};
        move.QuadPart = 5;
        const std::wstring op = c.op;
        const HRESULT hr = op == L"seek"    ? stream->Seek(move, STREAM_SEEK_CUR, nullptr)
                           : op == L"write" ? stream->Write(buffer, 10, &n)
                                            : stream->Read(buffer, 10, &n);
        EXPECT_EQ(hr, c.result) << testing::PrintToString(c.calls);
        wchar_t message[8] = L"x", details[64] = L"x";
        // kept for the caller once a call failed, in either mode
        EXPECT_EQ(own->GetError(message, details, 8, 64), c.failures && op != L"close" ? S_OK : E_FAIL);
        if (c.silent && op == L"read") { // the message cut to 8 characters with its zero
            EXPECT_EQ(std::wstring(message) + L"|" + details, L"Storage|read refused");
        }
        stream.Reset();
        own.Reset();
        EXPECT_EQ(script.texts(), c.asked);
        for (const auto& p : script.seen)
            EXPECT_EQ(
                std::tuple(p.owner, p.caption, p.flags),
                std::tuple(HWND(nullptr), caption, UINT(MB_RETRYCANCEL | MB_ICONERROR | MB_SYSTEMMODAL)));
        EXPECT_EQ(file->calls, c.calls);
    }
}

TEST(stream, a_file_that_cannot_be_opened_gives_no_stream_and_is_not_closed)
{
    auto file = boost::make_shared<scripted_file>();
    file->failures[L"open"] = 1;
    prompt_script script({IDCANCEL});
    com::ComPtr<IStream> stream;
    EXPECT_EQ(create_stream(file, IID_PPV_ARGS(&stream)), E_FAIL);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(script.texts(), L"Can't open 'f.txt': open refused");
    EXPECT_EQ(file->calls, std::vector<std::wstring>{L"open 1"});
    EXPECT_EQ(create_stream(nullptr, IID_PPV_ARGS(&stream)), E_INVALIDARG);
}

class service_stream : public drive_folder {};

TEST_F(service_stream, reads_the_stored_bytes_and_reports_size_and_copy_counts)
{
    for (const std::size_t size : {0u, 1u, 16383u, 16385u}) {
        const bytes data = pattern(size, static_cast<std::uint32_t>(size));
        const std::wstring name = L"f" + std::to_wstring(size) + L".bin";
        upload(*drive, name, data);
        unique_pidl item = parse(root.Get(), name);
        com::ComPtr<IStream> stream;
        ASSERT_EQ(root->BindToObject(item.get(), nullptr, IID_PPV_ARGS(&stream)), S_OK);
        STATSTG stat = {};
        stat.pwcsName = const_cast<LPWSTR>(L"untouched");
        ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
        EXPECT_EQ(std::tuple(stat.cbSize.QuadPart, std::wstring(stat.pwcsName)),
                  std::tuple(ULONGLONG(size), std::wstring(L"untouched")));
        EXPECT_EQ(sha256(read_to_end(stream.Get())), sha256(data)) << size;

        // a second stream, from the file's own folder object, copied in part
        com::ComPtr<IShellFolder> file_folder;
        ASSERT_EQ(root->BindToObject(item.get(), nullptr, IID_PPV_ARGS(&file_folder)), S_OK);
        ASSERT_EQ(file_folder->CreateViewObject(nullptr, IID_PPV_ARGS(&stream)), S_OK);
        com::ComPtr<IStream> target;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &target), S_OK);
        ULARGE_INTEGER ten = {}, read = {}, written = {};
        ten.QuadPart = 10;
        EXPECT_EQ(stream->CopyTo(target.Get(), ten, &read, &written), S_OK);
        EXPECT_EQ(std::tuple(read.QuadPart, written.QuadPart),
                  std::tuple(std::min<ULONGLONG>(10, size), std::min<ULONGLONG>(10, size)));
    }
}

TEST_F(service_stream, only_a_file_gives_a_stream)
{
    struct {
        const wchar_t* path;
        HRESULT bound;
    } const cases[] = {{L"a.txt", S_OK},
                       {L"Docs\\notes.txt", S_OK},
                       {L"Docs", E_NOINTERFACE},
                       {L"Docs\\Reports", E_NOINTERFACE}};
    for (const auto& c : cases) {
        com::ComPtr<IStream> stream;
        EXPECT_EQ(root->BindToObject(parse(root.Get(), c.path).get(), nullptr, IID_PPV_ARGS(&stream)),
                  c.bound)
            << testing::PrintToString(c.path);
    }
    com::ComPtr<IStream> stream;
    EXPECT_EQ(root->BindToObject(record_list(make_record(L"gone.txt", false)).get(), nullptr,
                                 IID_PPV_ARGS(&stream)),
              E_NOINTERFACE);
    EXPECT_EQ(root->CreateViewObject(nullptr, IID_PPV_ARGS(&stream)), E_NOINTERFACE); // the root is a folder
}

} // namespace
