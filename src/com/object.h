// Reference counting and QueryInterface for the DLL's COM classes, in place of ATL.
//
//   class CThing : public com::unknown_impl<CThing, IFoo, IBar> {
//   public:
//       static const QITAB* interface_table();   // QITABENT rows, ending with {}
//       ...
//   };
//   ComPtr<CThing> thing = com::make<CThing>(args...);
//
// Every object holds one unit of the module lock from construction to destruction, so the DLL
// is not unloaded under a live object. An object made with make_aggregated() delegates its
// IUnknown to the outer object and hands the outer object a separate inner IUnknown.
#pragma once

#include "com/module_base.h"

#include <shlwapi.h>
#include <wrl/client.h>

#include <new>
#include <utility>

namespace com {

using Microsoft::WRL::ComPtr;

template <class Derived, class... Interfaces> class unknown_impl : public Interfaces... {
public:
    IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        return outer_ ? outer_->QueryInterface(riid, ppv) : inner_query(riid, ppv);
    }
    IFACEMETHODIMP_(ULONG) AddRef() override { return outer_ ? outer_->AddRef() : inner_add_ref(); }
    IFACEMETHODIMP_(ULONG) Release() override { return outer_ ? outer_->Release() : inner_release(); }

    unknown_impl(const unknown_impl&) = delete;
    unknown_impl& operator=(const unknown_impl&) = delete;

protected:
    unknown_impl() = default;
    virtual ~unknown_impl() = default;

private:
    template <class T, class... Args> friend HRESULT make_aggregated(IUnknown*, IUnknown**, Args&&...);

    // The identity an aggregating object holds; never delegates.
    struct inner_unknown final : IUnknown {
        unknown_impl* self;
        explicit inner_unknown(unknown_impl* s) : self(s) {}
        IFACEMETHODIMP QueryInterface(REFIID riid, void** ppv) override
        {
            if (ppv && IsEqualIID(riid, IID_IUnknown)) {
                *ppv = static_cast<IUnknown*>(this);
                self->inner_add_ref();
                return S_OK;
            }
            return self->inner_query(riid, ppv);
        }
        IFACEMETHODIMP_(ULONG) AddRef() override { return self->inner_add_ref(); }
        IFACEMETHODIMP_(ULONG) Release() override { return self->inner_release(); }
    };

    HRESULT inner_query(REFIID riid, void** ppv)
    {
        return QISearch(static_cast<Derived*>(this), Derived::interface_table(), riid, ppv);
    }
    ULONG inner_add_ref() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }
    ULONG inner_release()
    {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0)
            delete static_cast<Derived*>(this);
        return static_cast<ULONG>(refs);
    }

    volatile LONG refs_ = 1;
    IUnknown* outer_ = nullptr; // not owned: the outer object owns us
    inner_unknown inner_{this};
    module_lock lock_;
};

// Creates an object with one reference, owned by the returned pointer. Throws std::bad_alloc.
template <class T, class... Args> ComPtr<T> make(Args&&... args)
{
    // Not ComPtr::Attach: mingw's version adds a reference, which would leak the object.
    ComPtr<T> object;
    *object.GetAddressOf() = new T(std::forward<Args>(args)...);
    return object;
}

// Creates an object and answers it as riid, the way a factory or a COM method hands it out.
template <class T, class... Args> HRESULT create_instance(REFIID riid, void** ppv, Args&&... args)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    try {
        return make<T>(std::forward<Args>(args)...)->QueryInterface(riid, ppv);
    }
    catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    catch (...) {
        return E_UNEXPECTED;
    }
}

// Creates an object aggregated by outer; *inner receives the object's own IUnknown, the only
// reference that keeps it alive.
template <class T, class... Args> HRESULT make_aggregated(IUnknown* outer, IUnknown** inner, Args&&... args)
{
    if (!inner)
        return E_POINTER;
    *inner = nullptr;
    if (!outer)
        return E_INVALIDARG;
    try {
        T* object = new T(std::forward<Args>(args)...);
        object->outer_ = outer;
        *inner = &object->inner_;
        return S_OK;
    }
    catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace com
