// A remote file's contents as a stream: the bytes the service stored, what Stat and CopyTo
// report, how the folder hands the stream out, and what a failing storage call asks or keeps.
#include "prompt_script.h"
#include "shell/memory_tree.h"
#include "transfer/drive_folder.h"
#include "transfer/stream.h"

#include <map>

using namespace qm_test;

namespace {

// A file of 100 bytes whose operations fail a scripted number of times; every call is logged.
class scripted_file : public memory_file {
public:
    scripted_file() : memory_file(L"f.txt", 100, 0) {}
    std::map<std::wstring, int> failures;
    std::vector<std::wstring> calls;
    std::int32_t mode = 0;
    std::int64_t pos = 0;

    void open(std::int32_t m) override { step(L"open " + std::to_wstring(m)), mode = m; }
    void close() override { step(L"close"), mode = 0; }
    bool is_eof() override { return pos == 100; }
    std::int32_t get_mode() override { return mode; }
    std::int64_t get_pos() override { return pos; }
    void seek(std::int64_t to, std::int32_t from) override
    {
        step(L"seek " + std::to_wstring(to) + L" " + std::to_wstring(from)), pos = to;
    }
    std::int32_t read(void*, std::int32_t len) override { return step(L"read"), pos += len, len; }
    std::int32_t write(const void*, std::int32_t len) override { return step(L"write"), len; }

private:
    void step(const std::wstring& call)
    {
        calls.push_back(call);
        const std::wstring op = call.substr(0, call.find(L' '));
        if (failures[op] > 0 && failures[op]--)
            throw vfs::basic_exception(L"Storage failed", op + L" refused");
    }
};

TEST(stream, a_failing_call_asks_retry_or_cancel_unless_silent_and_keeps_the_error)
{
    const std::wstring read_box = L"Can't read from 'f.txt': read refused";
    struct {
        const wchar_t* op;
        int failures;
        bool silent;
        std::vector<int> answers;
        HRESULT result;
        std::wstring asked;
        std::vector<std::wstring> calls;
    } const cases[] = {
        // clang-format off
        {L"read", 2, false, {IDRETRY, IDRETRY}, S_OK, read_box + L" | " + read_box,
         {L"open 1", L"read", L"read", L"read", L"close"}},
        {L"read", 2, false, {IDRETRY, IDCANCEL}, E_FAIL, read_box + L" | " + read_box,
         {L"open 1", L"read", L"read", L"close"}},
        {L"read", 1, true, {}, E_FAIL, L"", {L"open 1", L"read", L"close"}},
        {L"seek", 1, false, {IDCANCEL}, E_FAIL, L"Can't seek 'f.txt': seek refused", {L"open 1", L"seek 5 1", L"close"}},
        // a stream opened for reading is reopened for writing where it stood
        {L"write", 1, false, {IDRETRY}, S_OK, L"Can't write to 'f.txt': write refused",
         {L"open 1", L"close", L"open 6", L"seek 0 0", L"write", L"write", L"close"}},
        {L"close", 1, false, {IDRETRY}, S_OK, L"Can't close 'f.txt': close refused",
         {L"open 1", L"read", L"close", L"close"}},
        {L"close", 1, true, {}, S_OK, L"", {L"open 1", L"read", L"close"}},
        // no stream at all, and nothing to close
        {L"open", 1, false, {IDCANCEL}, E_FAIL, L"Can't open 'f.txt': open refused", {L"open 1"}},
        // clang-format on
    };
    for (const auto& c : cases) {
        auto file = boost::make_shared<scripted_file>();
        file->failures[c.op] = c.failures;
        prompt_script script(c.answers);
        com::ComPtr<IStream> stream;
        com::ComPtr<IStreamImpl> own;
        const std::wstring op = c.op;
        HRESULT hr = create_stream(file, IID_PPV_ARGS(&stream));
        if (SUCCEEDED(hr)) {
            stream.As(&own);
            if (c.silent)
                own->SetSilent();
            char buffer[10];
            ULONG n = 99;
            LARGE_INTEGER five = {};
            five.QuadPart = 5;
            hr = op == L"seek"    ? stream->Seek(five, STREAM_SEEK_CUR, nullptr)
                 : op == L"write" ? stream->Write(buffer, 10, &n)
                                  : stream->Read(buffer, 10, &n);
            // kept for the caller once a call failed, in either mode; the message cut to fit
            wchar_t message[8] = L"x", details[64] = L"x";
            EXPECT_EQ(own->GetError(message, details, 8, 64), c.failures && op != L"close" ? S_OK : E_FAIL);
            if (c.silent && op == L"read") {
                EXPECT_EQ(std::wstring(message) + L"|" + details, L"Storage|read refused");
            }
        }
        EXPECT_EQ(hr, c.result) << testing::PrintToString(c.calls);
        stream.Reset();
        own.Reset();
        EXPECT_EQ(script.texts(), c.asked);
        for (const auto& p : script.seen)
            EXPECT_EQ(std::tuple(p.owner, p.caption, p.flags),
                      std::tuple(HWND(nullptr), std::wstring(L"Error"),
                                 UINT(MB_RETRYCANCEL | MB_ICONERROR | MB_SYSTEMMODAL)));
        EXPECT_EQ(file->calls, c.calls);
    }
}

class service_stream : public drive_folder {};

TEST_F(service_stream, only_a_file_gives_a_stream_of_its_stored_bytes)
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
        bytes read;
        unsigned char buffer[7000];
        ULONG got = 0;
        while (stream->Read(buffer, sizeof buffer, &got) == S_OK)
            read.insert(read.end(), buffer, buffer + got);
        EXPECT_EQ(sha256(read), sha256(data)) << size;

        // from the file's own folder object, copied in part
        com::ComPtr<IShellFolder> file_folder;
        com::ComPtr<IStream> target;
        ASSERT_EQ(root->BindToObject(item.get(), nullptr, IID_PPV_ARGS(&file_folder)), S_OK);
        ASSERT_EQ(file_folder->CreateViewObject(nullptr, IID_PPV_ARGS(&stream)), S_OK);
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, &target), S_OK);
        ULARGE_INTEGER ten = {}, copied = {}, written = {};
        ten.QuadPart = 10;
        EXPECT_EQ(stream->CopyTo(target.Get(), ten, &copied, &written), S_OK);
        EXPECT_EQ(std::tuple(copied.QuadPart, written.QuadPart),
                  std::tuple(std::min<ULONGLONG>(10, size), std::min<ULONGLONG>(10, size)));
    }
    for (const wchar_t* path : {L"Docs\\notes.txt", L"Docs", L"Docs\\Reports"}) {
        com::ComPtr<IStream> stream;
        EXPECT_EQ(root->BindToObject(parse(root.Get(), path).get(), nullptr, IID_PPV_ARGS(&stream)),
                  std::wstring(path).ends_with(L".txt") ? S_OK : E_NOINTERFACE);
    }
    com::ComPtr<IStream> stream;
    EXPECT_EQ(root->BindToObject(record_list(make_record(L"gone.txt", false)).get(), nullptr,
                                 IID_PPV_ARGS(&stream)),
              E_NOINTERFACE);
    EXPECT_EQ(root->CreateViewObject(nullptr, IID_PPV_ARGS(&stream)), E_NOINTERFACE); // a folder
}

} // namespace
