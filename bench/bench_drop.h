// Local files dropped onto a folder of the drive, as a drag from another window ends: a CF_HDROP
// data object given to the drop target of a folder whose storage item is the destination.
#pragma once

#include "com/object.h"
#include "support/data_objects.h"
#include "transfer/drop_target.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace bench {

// What the drop target asks of the drive's folder it belongs to: the folder's storage item.
class folder_item final : public IShellFolderImpl {
public:
    explicit folder_item(boost::shared_ptr<vfs::item> item) : item_(std::move(item)) {}
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IShellFolderImpl) ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    // Lives on the caller's stack, longer than the drop target.
    IFACEMETHODIMP_(ULONG) AddRef() override { return 2; }
    IFACEMETHODIMP_(ULONG) Release() override { return 1; }
    IFACEMETHODIMP GetObject(HWND, VARIANT* object) override
    {
        VariantInit(object);
        object->vt = VT_BYREF;
        object->byref = &item_;
        return S_OK;
    }

private:
    boost::shared_ptr<vfs::item> item_;
};

// Drops paths onto folder with the copy effect; ends the program unless all of it was copied.
inline void drop(const boost::shared_ptr<vfs::directory>& folder, const std::vector<std::wstring>& paths)
{
    auto data = qm_test::data_object::create();
    data->offer_hdrop(paths);
    folder_item item(folder);
    auto target = com::make<CDropTargetImpl>();
    // As OLE drives a drag: the target sees the data object enter, then the drop.
    DWORD effect = DROPEFFECT_COPY;
    HRESULT hr = target->Init(&item, CPIDLList(), CPIDLList(), nullptr, false);
    if (SUCCEEDED(hr))
        hr = target->DragEnter(data.Get(), 0, POINTL{0, 0}, &effect);
    if (SUCCEEDED(hr))
        hr = target->Drop(data.Get(), 0, POINTL{0, 0}, &effect);
    if (hr != S_OK || effect != DROPEFFECT_COPY) {
        std::fprintf(stderr, "the drop failed: 0x%08lx, effect %lu\n", static_cast<unsigned long>(hr),
                     static_cast<unsigned long>(effect));
        std::exit(1);
    }
}

} // namespace bench
