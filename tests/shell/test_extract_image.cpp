// Thumbnails through the folder's IExtractImage: the service's picture of a PNG (with or without alpha) or
// JPEG file, the cache that spares a second request until the file changes, and cache names that stay inside
// the cache folder whatever the service calls a file.
#include "backend/file.h"
#include "service_folder.h"
#include "module/app_folder.h"
#include "shell/extract_image.h"
#include "support/paths.h"
#include "screen_png.h"

#include <boost/make_shared.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

using namespace qm_test;
using namespace std::string_literals;

std::wstring thumbnails_folder()
{
    std::wstring failure;
    return application_folder(L"Thumbnails", failure);
}

const COLORREF left_colour = RGB(220, 20, 20), right_colour = RGB(20, 40, 200);

// A 64 x 32 picture, its left half one colour and its right half another, in the format of mime.
std::string two_colour_picture(const wchar_t* mime, const std::wstring& extension)
{
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 64, -32, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    auto* pixels = static_cast<DWORD*>(bits);
    for (int i = 0; i < 64 * 32; ++i) {
        const COLORREF c = i % 64 < 32 ? left_colour : right_colour;
        pixels[i] = (GetRValue(c) << 16) | (GetGValue(c) << 8) | GetBValue(c);
    }
    const std::wstring path = artifacts_dir() + L"\\thumbnail-source" + extension;
    EXPECT_TRUE(qm_tools::save_bitmap(bitmap, path, mime));
    DeleteObject(bitmap);
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool similar(COLORREF a, COLORREF b)
{
    const auto d = [](int x, int y) { return x > y ? x - y : y - x; };
    return d(GetRValue(a), GetRValue(b)) < 24 && d(GetGValue(a), GetGValue(b)) < 24 &&
           d(GetBValue(a), GetBValue(b)) < 24;
}

COLORREF pixel(HBITMAP bitmap, int x, int y)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ old = SelectObject(dc, bitmap);
    const COLORREF c = GetPixel(dc, x, y);
    SelectObject(dc, old);
    DeleteDC(dc);
    return c;
}

class thumbnails : public service_folder {
protected:
    void SetUp() override
    {
        service_folder::SetUp();
        log_in();
        folder = new_folder();
        client = boost::make_shared<vfs_quillmere::client>(wide(user), wide(password));
    }
    std::wstring put(const std::wstring& name, const std::string& data)
    {
        auto file = client->get_root()->create_file_alloc(name, data.size());
        file->open(vfs::modeWrite | vfs::modeCreate);
        file->write(data.data(), static_cast<std::int32_t>(data.size()));
        file->close();
        return dynamic_cast<vfs_quillmere::file&>(*file).get_raw_id();
    }
    HRESULT extractor(const std::wstring& name, com::ComPtr<IExtractImage>& out)
    {
        unique_pidl child = parse(folder.Get(), name);
        PCUITEMID_CHILD items[] = {child.get()};
        return folder->GetUIObjectOf(nullptr, 1, items, IID_IExtractImage, nullptr, &out);
    }
    // Extract through a fresh object, as Explorer makes one per request; null on failure.
    HBITMAP extract(const std::wstring& name, HRESULT* result = nullptr)
    {
        com::ComPtr<IExtractImage> image;
        EXPECT_EQ(extractor(name, image), S_OK) << name;
        wchar_t path[MAX_PATH];
        DWORD priority = 0, flags = IEIFLAG_ASYNC;
        const SIZE size = {96, 96};
        EXPECT_EQ(image->GetLocation(path, MAX_PATH, &priority, &size, 32, &flags), E_PENDING);
        HBITMAP bitmap = nullptr;
        const HRESULT hr = image->Extract(&bitmap);
        if (result)
            *result = hr;
        return bitmap;
    }
    std::size_t thumbnail_requests() const { return service->request_count(user, "thumbnail"); }

    com::ComPtr<IShellFolder2> folder;
    boost::shared_ptr<vfs_quillmere::client> client;
};

} // namespace

TEST_F(thumbnails, png_and_jpeg_give_the_services_picture_and_anything_else_fails)
{
    put(L"p.png", two_colour_picture(L"image/png", L".png"));
    put(L"j.jpg", two_colour_picture(L"image/jpeg", L".jpg"));
    // The same picture with an alpha channel, which the service keeps: the format converter's path.
    put(L"a.png",
        "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x40\0\0\0\x20\x08\x06\0\0\0\xa2\x9d\x7e\x84\0\0\0\x4cIDAT\x78"
        "\xda\xed\xd0\x41\x11\0\x20\x08\0\x41\x34\x03\x61\x0c\x6e\x1c\xbb\x60\x0c\x1e\xec\x15\xb8\x99\x5d"
        "\x2f\xb3\xa2\xb1\x93\xb7\x73\x1f\x3b\x86\x07"s +
            std::string(32, '\0') +
            "\x26\xf4\x01\x62\xa4\x03\x43\x40\x7a\x0a\x7a\0\0\0\0IEND\xae\x42\x60\x82"s);
    put(L"t.txt", "not a picture");
    std::vector<HBITMAP> strip;
    for (const wchar_t* name : {L"p.png", L"j.jpg", L"a.png"}) {
        SCOPED_TRACE(name);
        HBITMAP bitmap = extract(name);
        ASSERT_TRUE(bitmap);
        BITMAP shape = {};
        GetObjectW(bitmap, sizeof shape, &shape);
        EXPECT_EQ(shape.bmWidth, 64);
        EXPECT_EQ(shape.bmHeight, 32);
        EXPECT_PRED2(similar, pixel(bitmap, 8, 16), left_colour);
        EXPECT_PRED2(similar, pixel(bitmap, 56, 16), right_colour);
        strip.push_back(bitmap);
    }
    HRESULT hr = S_OK;
    EXPECT_EQ(extract(L"t.txt", &hr), nullptr);
    EXPECT_EQ(hr, E_FAIL);
    com::ComPtr<IExtractImage> refused;
    EXPECT_EQ(extractor(L"Docs", refused), E_FAIL);

    // The cache path, cut by a short buffer.
    com::ComPtr<IExtractImage> image;
    ASSERT_EQ(extractor(L"p.png", image), S_OK);
    wchar_t path[MAX_PATH];
    DWORD priority = 0, flags = 0;
    EXPECT_EQ(image->GetLocation(path, 10, &priority, nullptr, 32, &flags), E_FAIL);
    EXPECT_EQ(image->GetLocation(path, MAX_PATH, &priority, nullptr, 32, &flags), S_OK);
    EXPECT_EQ(priority, DWORD(IEIT_PRIORITY_NORMAL));
    EXPECT_EQ(std::wstring(path).rfind(thumbnails_folder() + L"\\", 0), 0u) << path;

    // The pictures side by side, for people to look at.
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen), from = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 64 * static_cast<int>(strip.size()) + 8, 40);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, canvas);
    PatBlt(dc, 0, 0, 64 * static_cast<int>(strip.size()) + 8, 40, WHITENESS);
    for (std::size_t i = 0; i < strip.size(); ++i) {
        HGDIOBJ was = SelectObject(from, strip[i]);
        BitBlt(dc, 4 + 64 * static_cast<int>(i), 4, 64, 32, from, 0, 0, SRCCOPY);
        SelectObject(from, was);
        DeleteObject(strip[i]);
    }
    SelectObject(dc, old);
    qm_tools::save_bitmap(canvas, artifacts_dir() + L"\\thumbnails.png");
    DeleteObject(canvas);
    DeleteDC(dc);
    DeleteDC(from);
}

TEST_F(thumbnails, the_cache_spares_requests_until_the_file_changes_and_heals_a_broken_file)
{
    const std::string id = vfs_quillmere::narrow(put(L"p.png", two_colour_picture(L"image/png", L".png")));
    const std::wstring cache = thumbnail_cache_path(wide(id));
    const auto extract_ok = [&] {
        HBITMAP bitmap = extract(L"p.png");
        EXPECT_TRUE(bitmap && similar(pixel(bitmap, 56, 16), right_colour));
        DeleteObject(bitmap);
    };
    extract_ok();
    EXPECT_EQ(thumbnail_requests(), 1u);
    extract_ok();
    EXPECT_EQ(thumbnail_requests(), 1u) << "an unchanged file is drawn from the cache";

    // The file changes after the picture was cached: an hour from now.
    const long long later = static_cast<long long>(time(nullptr)) + 3600;
    service->control("touch?user=" + user + "&file=" + id + "&modified=" + std::to_string(later));
    com::ComPtr<IEnumIDList> listing; // the view lists the folder again and sees the new date
    EXPECT_EQ(folder->EnumObjects(nullptr, SHCONTF_FOLDERS | SHCONTF_NONFOLDERS, &listing), S_OK);
    extract_ok();
    EXPECT_EQ(thumbnail_requests(), 2u);

    // A cache file cut half way that still counts as fresh (written after the file changed).
    std::string whole;
    {
        std::ifstream in(std::filesystem::path(cache), std::ios::binary);
        whole.assign(std::istreambuf_iterator<char>(in), {});
    }
    ASSERT_GT(whole.size(), 100u);
    std::ofstream(std::filesystem::path(cache), std::ios::binary | std::ios::trunc)
        .write(whole.data(), whole.size() / 2);
    std::filesystem::last_write_time(std::filesystem::path(cache),
                                     std::filesystem::file_time_type::clock::now() + std::chrono::hours(2));
    extract_ok();
    EXPECT_EQ(thumbnail_requests(), 3u) << "the broken file was fetched again once";
}

TEST(thumbnail_cache, any_service_id_names_a_plain_file_inside_the_cache_folder)
{
    const std::wstring folder = thumbnails_folder();
    for (const std::wstring id : {L"..", L"..\\..\\evil", L"a/b", L"C:x", L"CON", L"NUL.txt", L"x. ",
                                  L"\x01\x1f", L"*?<>|\"", L"\u00e9\U0001F600"}) {
        const std::wstring path = thumbnail_cache_path(id);
        const std::wstring name = path.substr(folder.size() + 1);
        EXPECT_EQ(path.substr(0, folder.size() + 1), folder + L"\\");
        EXPECT_EQ(name.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << name;
        EXPECT_EQ(name.size() % 2, 0u);
    }
    EXPECT_NE(thumbnail_cache_path(L"12"), thumbnail_cache_path(L"21"));
}
