// The drive's own property page, "General": the account's name and level, used and free space
// and capacity, and the usage chart. Explorer loads it as the drive's property sheet handler.
#pragma once

#include "com/object.h"
#include "ui/pie_chart.h"
#include "vfs/vfs.h"

#include <prsht.h>
#include <shlobj.h>

#include <string>

// What the page shows of an account: the controls' texts and the chart's value.
struct drive_page_texts {
    std::wstring user_name, user_level;
    std::wstring used, used_short, free, free_short, capacity, capacity_short;
    unsigned chart = 0; // used share in thousandths
};
drive_page_texts drive_page(const vfs::user_info& account, const vfs::storage_info& storage);

class CPropertiesDriveDlg : public com::unknown_impl<CPropertiesDriveDlg, IShellPropSheetExt, IShellExtInit> {
public:
    static const QITAB* interface_table();

    IFACEMETHODIMP Initialize(PCIDLIST_ABSOLUTE, IDataObject*, HKEY) override { return S_OK; }
    IFACEMETHODIMP AddPages(LPFNSVADDPROPSHEETPAGE add, LPARAM parameter) override;
    IFACEMETHODIMP ReplacePage(EXPPS, LPFNSVADDPROPSHEETPAGE, LPARAM) override
    {
        return E_NOTIMPL;
    }

private:
    static UINT CALLBACK page_callback(HWND, UINT message, LPPROPSHEETPAGEW page);
    static INT_PTR CALLBACK page_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    void on_init(HWND window);
    bool load();

    HWND page_ = nullptr;
    wchar_t title_[80] = {};
    bool page_reference_ = false;
    CPieChart chart_;
};
