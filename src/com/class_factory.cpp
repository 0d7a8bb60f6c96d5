#include "com/class_factory.h"

namespace com {

namespace {

class cached_factory final : public IClassFactory {
public:
    explicit cached_factory(const class_entry& entry) : entry_(entry) {}

    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        static const QITAB table[] = {QITABENT(cached_factory, IClassFactory), {}};
        return QISearch(this, table, riid, ppv);
    }

    IFACEMETHODIMP_(ULONG) AddRef() override
    {
        critical_section_lock guard(current_module().critical_section());
        if (++refs_ == 2)
            current_module().lock();
        return refs_;
    }

    IFACEMETHODIMP_(ULONG) Release() override
    {
        critical_section_lock guard(current_module().critical_section());
        const ULONG refs = --refs_;
        if (refs == 1)
            current_module().unlock();
        // The last reference is the cache's; the table deletes the factory.
        return refs;
    }

    IFACEMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (outer && (!entry_.aggregatable || !IsEqualIID(riid, IID_IUnknown)))
            return CLASS_E_NOAGGREGATION;
        return entry_.create(outer, riid, ppv);
    }

    IFACEMETHODIMP LockServer(BOOL lock) override
    {
        if (lock)
            current_module().lock();
        else
            current_module().unlock();
        return S_OK;
    }

private:
    class_entry entry_;
    ULONG refs_ = 1;
};

} // namespace

class_table::class_table(std::vector<class_entry> entries)
    : entries_(std::move(entries)), factories_(entries_.size(), nullptr)
{
}

class_table::~class_table()
{
    for (IClassFactory* factory : factories_)
        delete static_cast<cached_factory*>(factory);
}

HRESULT class_table::get_class_object(REFCLSID clsid, REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    for (size_t i = 0; i < entries_.size(); ++i) {
        if (!IsEqualCLSID(clsid, *entries_[i].clsid))
            continue;
        {
            critical_section_lock guard(current_module().critical_section());
            if (!factories_[i]) {
                factories_[i] = new (std::nothrow) cached_factory(entries_[i]);
                if (!factories_[i])
                    return E_OUTOFMEMORY;
            }
        }
        return factories_[i]->QueryInterface(riid, ppv);
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

} // namespace com
