// A logged-in account over the dev service, its root folder object, the drive's own root
// directory (so that the folders' cached listings know what a test adds) and uploads into it.
#pragma once

#include "shell/service_folder.h"
#include "support/digest.h"
#include "transfer/selection.h"

#include <algorithm>

namespace qm_test {

class drive_folder : public service_folder {
protected:
    void SetUp() override
    {
        service_folder::SetUp();
        log_in();
        root = new_folder();
        com::ComPtr<IShellFolderImpl> impl;
        VARIANT item;
        ASSERT_EQ(root.As(&impl), S_OK);
        ASSERT_EQ(impl->GetObject(nullptr, &item), S_OK);
        drive = boost::dynamic_pointer_cast<vfs::directory>(
            *static_cast<boost::shared_ptr<vfs::item>*>(item.byref));
    }

    // A new file of folder holding data, written the way the copy engine writes.
    static boost::shared_ptr<vfs::file> upload(vfs::directory& folder, const std::wstring& name,
                                               const bytes& data)
    {
        auto f = folder.create_file_alloc(name, data.size());
        f->open(vfs::modeWrite | vfs::modeCreate);
        for (std::size_t at = 0; at < data.size();) {
            const auto n = static_cast<std::int32_t>(std::min<std::size_t>(data.size() - at, 65536));
            at += static_cast<std::size_t>(f->write(data.data() + at, n));
        }
        f->close();
        return f;
    }

    // The named items of the drive's root as a data object carries them.
    item_selection selection_of(const std::vector<std::wstring>& names, HWND owner = nullptr)
    {
        item_selection s;
        s.folder = drive;
        s.root = CPIDLList(root_pidl, true);
        s.owner = owner;
        for (const auto& name : names)
            s.items.push_back(BuildPIDLDATA(drive->get_item(name)));
        return s;
    }

    com::ComPtr<IShellFolder2> root;
    boost::shared_ptr<vfs::directory> drive;
};

} // namespace qm_test
