// The drive's property page: the usage chart drawn at known shares, and the real page in a
// property sheet showing a logged-in account of the dev service.
#include "service_folder.h"
#include "support/paths.h"
#include "ui/pie_chart.h"
#include "ui/properties_drive.h"

#include <commctrl.h>
#include <prsht.h>

#include <map>

namespace {

using namespace qm_test;

// A white 125 x 63 canvas (the page's chart control at 96 dpi) to draw a chart on.
class canvas {
public:
    canvas(int width, int height) : width_(width), height_(height)
    {
        BITMAPINFO info = {};
        info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        dc_ = CreateCompatibleDC(nullptr);
        bitmap_ = CreateDIBSection(dc_, &info, DIB_RGB_COLORS, nullptr, nullptr, 0);
        old_ = SelectObject(dc_, bitmap_);
        PatBlt(dc_, 0, 0, width, height, WHITENESS);
    }
    ~canvas()
    {
        SelectObject(dc_, old_);
        DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    void draw(unsigned value)
    {
        const RECT area = {0, 0, width_, height_};
        draw_pie_chart(dc_, area, value);
    }
    // One letter per colour: U used top, F free top, u used side, f free side, W white, ? other.
    char at(int x, int y) const
    {
        static const std::map<COLORREF, char> names = {
            {RGB(0, 0, 255), 'U'},   {RGB(255, 0, 255), 'F'},   {RGB(0, 0, 128), 'u'},
            {RGB(128, 0, 128), 'f'}, {RGB(255, 255, 255), 'W'},
        };
        const auto found = names.find(GetPixel(dc_, x, y));
        return found == names.end() ? '?' : found->second;
    }

private:
    int width_, height_;
    HDC dc_;
    HBITMAP bitmap_;
    HGDIOBJ old_;
};

TEST(pie_chart, shares_fill_the_face_counter_clockwise_from_the_left_and_the_wall_below)
{
    // Points: the four quarters of the top face, then the wall at the left and at the right.
    const POINT points[] = {{30, 13}, {92, 13}, {30, 39}, {92, 39}, {15, 49}, {108, 49}};
    const struct {
        unsigned value;
        const char* colours; // upper left, upper right, lower left, lower right, wall left, right
    } cases[] = {
        {0, "FFFFff"},   {250, "UFFFff"},  {500, "UUFFff"},
        {750, "UUFUfu"}, {1000, "UUUUuu"}, {4000, "UUUUuu"}, // more than all is all
    };
    for (const auto& c : cases) {
        canvas chart(125, 63);
        chart.draw(c.value);
        std::string seen;
        for (const POINT& p : points)
            seen += chart.at(p.x, p.y);
        EXPECT_EQ(seen, c.colours) << c.value;
    }
    for (const SIZE too_small : {SIZE{21, 63}, SIZE{125, 30}}) {
        canvas chart(too_small.cx, too_small.cy);
        chart.draw(500);
        EXPECT_EQ(chart.at(too_small.cx / 2, too_small.cy / 4), 'W') << too_small.cx << "x" << too_small.cy;
    }
}

BOOL CALLBACK collect_page(HPROPSHEETPAGE page, LPARAM pages)
{
    reinterpret_cast<std::vector<HPROPSHEETPAGE>*>(pages)->push_back(page);
    return TRUE;
}

class drive_properties : public service_folder {};

TEST_F(drive_properties, the_page_shows_the_account_its_use_and_unlimited_without_a_quota)
{
    const struct {
        long long capacity;
        const wchar_t *used, *used_short, *free, *free_short, *capacity_text, *capacity_short;
    } cases[] = {
        {1048576, L"1 536 bytes", L"1.5 KB", L"1 047 040 bytes", L"0.99 MB", L"1 048 576 bytes", L"1 MB"},
        {0, L"1 536 bytes", L"1.5 KB", L"Unlimited", L"", L"Unlimited", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.capacity);
        std::tie(user, password) = service->new_user("drive", c.capacity);
        {
            vfs_quillmere::client setup(wide(user), wide(password));
            auto file = setup.get_root()->create_file_alloc(L"used.bin", 1536);
            file->open(vfs::modeWrite | vfs::modeCreate);
            file->write(std::string(1536, 'u').data(), 1536);
            file->close();
        }
        run_session_manager(L"/logoff");
        log_in();

        auto extension = com::make<CPropertiesDriveDlg>();
        std::vector<HPROPSHEETPAGE> pages;
        ASSERT_EQ(extension->AddPages(collect_page, reinterpret_cast<LPARAM>(&pages)), HRESULT(1));
        ASSERT_EQ(pages.size(), 1u);
        PROPSHEETHEADERW header = {};
        header.dwSize = sizeof header;
        header.dwFlags = PSH_MODELESS | PSH_NOAPPLYNOW;
        header.pszCaption = L"Quillmere";
        header.nPages = 1;
        header.phpage = pages.data();
        const HWND sheet = reinterpret_cast<HWND>(PropertySheetW(&header));
        ASSERT_TRUE(sheet);
        const HWND page = PropSheet_GetCurrentPageHwnd(sheet);
        const auto text = [&](int id) {
            wchar_t buffer[128] = {};
            GetDlgItemTextW(page, id, buffer, 128);
            return std::wstring(buffer);
        };
        for (DWORD end = GetTickCount() + 10000; text(403).empty() && GetTickCount() < end; Sleep(10)) {
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
                if (!PropSheet_IsDialogMessage(sheet, &msg))
                    DispatchMessageW(&msg);
        }
        EXPECT_EQ(text(402), L"Quillmere");
        EXPECT_EQ(text(403), wide(user));
        EXPECT_FALSE(text(404).empty());
        const std::vector<std::wstring> shown = {text(405), text(406), text(407),
                                                 text(408), text(409), text(410)};
        EXPECT_EQ(shown, (std::vector<std::wstring>{c.used, c.used_short, c.free, c.free_short,
                                                    c.capacity_text, c.capacity_short}));
        save_window_png(sheet,
                        artifacts_dir() + L"\\drive-properties-" + std::to_wstring(c.capacity) + L".png");
        DestroyWindow(sheet);
    }
}

} // namespace
