#include "support/ui_driver.h"

#include <gtest/gtest.h>

namespace {

// The driver answers a real message box of this thread, both ways, and reads it exactly.
TEST(ui_driver, answers_a_yes_no_box_both_ways)
{
    for (const int button : {IDYES, IDNO}) {
        std::wstring caption, message, png;
        qm_test::dialog_driver driver([&](qm_test::dialog& d) {
            caption = d.caption();
            message = d.message();
            png = d.save_png(button == IDYES ? L"driver-yes-no" : L"driver-yes-no-2");
            d.click(button);
        });
        const int answer = MessageBoxW(nullptr, L"Replace the file?", L"Confirm", MB_YESNO | MB_ICONQUESTION);
        driver.wait();
        EXPECT_EQ(answer, button);
        EXPECT_EQ(caption, L"Confirm");
        EXPECT_EQ(message, L"Replace the file?");
        EXPECT_FALSE(png.empty()) << "no PNG saved";
        if (!png.empty()) {
            EXPECT_NE(GetFileAttributesW(png.c_str()), INVALID_FILE_ATTRIBUTES);
        }
    }
}

TEST(ui_driver, reports_a_dialog_that_never_comes)
{
    // The failure must be reported, not hang: run the driver against a thread that shows nothing.
    bool failed = false;
    {
        qm_test::dialog_driver driver([](qm_test::dialog&) {}, std::chrono::milliseconds(200));
        Sleep(400);
        failed = !driver.answered();
    }
    EXPECT_TRUE(failed);
}

} // namespace
