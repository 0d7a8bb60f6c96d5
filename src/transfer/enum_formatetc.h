// The formats a data object lists through EnumFormatEtc, handed out one by one.
#pragma once

#include "com/object.h"

#include <objidl.h>

#include <vector>

class CEnumFORMATETC : public com::unknown_impl<CEnumFORMATETC, IEnumFORMATETC> {
public:
    explicit CEnumFORMATETC(std::vector<FORMATETC> formats) : formats_(std::move(formats)) {}
    static const QITAB* interface_table();

    IFACEMETHODIMP Next(ULONG count, FORMATETC* out, ULONG* fetched) override;
    IFACEMETHODIMP Skip(ULONG count) override;
    IFACEMETHODIMP Reset() override;
    IFACEMETHODIMP Clone(IEnumFORMATETC**) override { return E_NOTIMPL; }

private:
    ULONG cursor_ = 0;
    std::vector<FORMATETC> formats_; // no target devices: nothing to copy or free per entry
};

HRESULT create_format_enumerator(std::vector<FORMATETC> formats, IEnumFORMATETC** out);
