// The drop source of a drag out of a drive folder: the drag ends with the left button, and
// Escape cancels it.
#pragma once

#include "com/object.h"
#include "module/ids.h"
#include "shell/folder_objects.h"

#include <oleidl.h>

class CDropSourceImpl : public com::unknown_impl<CDropSourceImpl, IDropSource, IDropSourceImpl> {
public:
    static const QITAB* interface_table();

    IFACEMETHODIMP QueryContinueDrag(BOOL escape, DWORD key_state) override;
    IFACEMETHODIMP GiveFeedback(DWORD) override { return DRAGDROP_S_USEDEFAULTCURSORS; }
};

HRESULT create_drop_source(folder_object_request& request, REFIID riid, void** out);
