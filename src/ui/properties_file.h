// The properties of selected items: a modeless dialog on a thread of its own showing name, type,
// location and total size; for one file its date and public link, for one folder its description
// and access permission. Name, description and access are written back by Apply and OK. One
// dialog per selection: asking again brings the open one to the front.
#pragma once

#include "com/handle.h"
#include "transfer/selection.h"

#include <shlobj.h>

#include <atomic>
#include <memory>
#include <string>

class CPropertiesFileDlg : public std::enable_shared_from_this<CPropertiesFileDlg> {
public:
    // Copies what it shows from the selection; the icons come from the folder object.
    CPropertiesFileDlg(IShellFolder* folder_object, const item_selection& selection);
    ~CPropertiesFileDlg();
    CPropertiesFileDlg(const CPropertiesFileDlg&) = delete;
    CPropertiesFileDlg& operator=(const CPropertiesFileDlg&) = delete;

    // Whether this dialog shows exactly these records of this folder.
    bool shows(const CPIDLList& location, const std::vector<PIDLDATA>& items) const;
    HWND window() const { return window_; }
    // Whether its thread has ended: the window came and went, or never came.
    bool ended() const { return ended_; }
    // Creates the dialog on a new thread, which lives until the window is destroyed.
    bool start();

private:
    static DWORD WINAPI thread_proc(void* self);
    static unsigned __stdcall size_proc(void* self);
    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
    bool single() const { return folders_ + files_ == 1; }
    bool single_file() const { return single() && files_ == 1; }
    bool single_folder() const { return single() && folders_ == 1; }
    void on_init();
    bool load_text_fields();
    bool load_link();
    bool load_permission();
    void load_description();
    void size_worker();
    void show_size(std::uint64_t size);
    bool add_directory(const boost::shared_ptr<vfs::directory>& directory, std::uint64_t& total);
    void changed(int control);
    bool apply();
    void on_destroy();
    boost::shared_ptr<vfs::item> selected_item() const;

    boost::shared_ptr<vfs::directory> folder_;
    CPIDLList location_;
    std::vector<PIDLDATA> items_;
    unsigned folders_ = 0, files_ = 0;
    std::atomic<bool> stop_{false};
    com::handle size_thread_;
    HBRUSH tab_brush_ = nullptr;
    HICON large_icon_ = nullptr, small_icon_ = nullptr;
    bool loading_ = false;
    bool name_changed_ = false, access_changed_ = false, permission_changed_ = false,
         description_changed_ = false;
    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> ended_{false};
};

// Opens the properties of the selection, or brings its open dialog to the front. Called on the
// shell's thread, which alone uses the list of open dialogs.
void ShowProperties(IShellFolder* folder_object, const item_selection& selection);
