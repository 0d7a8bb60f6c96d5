#include "transfer/drop_source.h"

const QITAB* CDropSourceImpl::interface_table()
{
    static const QITAB table[] = {
        QITABENT(CDropSourceImpl, IDropSource),
        QITABENT(CDropSourceImpl, IDropSourceImpl),
        {},
    };
    return table;
}

IFACEMETHODIMP CDropSourceImpl::QueryContinueDrag(BOOL escape, DWORD key_state)
{
    if (escape)
        return DRAGDROP_S_CANCEL;
    if (!(key_state & MK_LBUTTON))
        return DRAGDROP_S_DROP;
    return S_OK;
}

HRESULT create_drop_source(folder_object_request&, REFIID riid, void** out)
{
    return com::create_instance<CDropSourceImpl>(riid, out);
}
