#include "transfer/enum_formatetc.h"

#include <algorithm>

const QITAB* CEnumFORMATETC::interface_table()
{
    static const QITAB table[] = {QITABENT(CEnumFORMATETC, IEnumFORMATETC), {}};
    return table;
}

IFACEMETHODIMP CEnumFORMATETC::Next(ULONG count, FORMATETC* out, ULONG* fetched)
{
    if (!out || (!fetched && count != 1))
        return E_POINTER;
    const ULONG left = static_cast<ULONG>(formats_.size()) - cursor_;
    const ULONG n = std::min(count, left);
    std::copy_n(formats_.begin() + cursor_, n, out);
    cursor_ += n;
    if (fetched)
        *fetched = n;
    return n == count ? S_OK : S_FALSE;
}

IFACEMETHODIMP CEnumFORMATETC::Skip(ULONG count)
{
    const ULONG left = static_cast<ULONG>(formats_.size()) - cursor_;
    const ULONG n = std::min(count, left);
    cursor_ += n;
    return n == count ? S_OK : S_FALSE;
}

IFACEMETHODIMP CEnumFORMATETC::Reset()
{
    cursor_ = 0;
    return S_OK;
}

HRESULT create_format_enumerator(std::vector<FORMATETC> formats, IEnumFORMATETC** out)
{
    return com::create_instance<CEnumFORMATETC>(IID_IEnumFORMATETC, reinterpret_cast<void**>(out),
                                                std::move(formats));
}
