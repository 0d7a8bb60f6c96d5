// Class objects for the classes the DLL lets others create, in place of ATL's class table.
#pragma once

#include "com/object.h"

#include <unknwn.h>

#include <vector>

namespace com {

// Creates an instance for a class factory. outer is null, or the aggregating object (then riid
// is IID_IUnknown and the function must answer the inner unknown).
typedef HRESULT (*creator_fn)(IUnknown* outer, REFIID riid, void** ppv);

struct class_entry {
    const CLSID* clsid;
    creator_fn create;
    bool aggregatable;
};

template <class T> HRESULT create_plain(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return create_instance<T>(riid, ppv);
}

template <class T> HRESULT create_aggregatable(IUnknown* outer, REFIID riid, void** ppv)
{
    if (!outer)
        return create_instance<T>(riid, ppv);
    if (!ppv)
        return E_POINTER;
    return make_aggregated<T>(outer, reinterpret_cast<IUnknown**>(ppv));
}

// One cached class factory per entry, made on first request. A factory the caller holds keeps
// the module locked; the cache's own reference does not, or the DLL could never unload.
class class_table {
public:
    explicit class_table(std::vector<class_entry> entries);
    ~class_table();
    class_table(const class_table&) = delete;
    class_table& operator=(const class_table&) = delete;

    HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** ppv);
    const std::vector<class_entry>& entries() const { return entries_; }

private:
    std::vector<class_entry> entries_;
    std::vector<IClassFactory*> factories_;
};

} // namespace com
