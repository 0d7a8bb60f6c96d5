// The COM helpers: identity and reference counting, the module lock every object holds, class
// factories with their caching and aggregation rules (an aggregated object's delegation is
// proven on the real folder, in the module tests).
#include "com/class_factory.h"
#include "module/module.h"

#include <gtest/gtest.h>
#include <shobjidl.h>

namespace {

using com::ComPtr;

int g_alive = 0;

class CThing : public com::unknown_impl<CThing, IPersist, IOleWindow> {
public:
    CThing() { ++g_alive; }
    ~CThing() override { --g_alive; }

    static const QITAB* interface_table()
    {
        static const QITAB table[] = {QITABENT(CThing, IPersist), QITABENT(CThing, IOleWindow), {}};
        return table;
    }

    IFACEMETHODIMP GetClassID(CLSID* clsid) override
    {
        *clsid = CLSID_NULL;
        return S_OK;
    }
    IFACEMETHODIMP GetWindow(HWND* hwnd) override
    {
        *hwnd = nullptr;
        return E_NOTIMPL;
    }
    IFACEMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
};

class CThrows : public com::unknown_impl<CThrows, IPersist> {
public:
    CThrows() { throw 42; }
    static const QITAB* interface_table() { return nullptr; }
    IFACEMETHODIMP GetClassID(CLSID*) override { return E_NOTIMPL; }
};

// {6F1E4C55-8B2A-4E11-9C3D-2B7A9E0F1D42}
const CLSID CLSID_Thing = {0x6f1e4c55, 0x8b2a, 0x4e11, {0x9c, 0x3d, 0x2b, 0x7a, 0x9e, 0x0f, 0x1d, 0x42}};
// {6F1E4C55-8B2A-4E11-9C3D-2B7A9E0F1D43}
const CLSID CLSID_Aggregatable = {
    0x6f1e4c55, 0x8b2a, 0x4e11, {0x9c, 0x3d, 0x2b, 0x7a, 0x9e, 0x0f, 0x1d, 0x43}};

TEST(com_object, identity_reference_counts_module_lock_and_failed_creation)
{
    const LONG locks = _Module.lock_count();
    {
        ComPtr<CThing> thing = com::make<CThing>();
        EXPECT_EQ(g_alive, 1);
        EXPECT_EQ(_Module.lock_count(), locks + 1);

        ComPtr<IPersist> persist;
        ComPtr<IOleWindow> window;
        ComPtr<IUnknown> unknown1, unknown2;
        ASSERT_EQ(thing.As(&persist), S_OK);
        ASSERT_EQ(thing.As(&window), S_OK);
        ASSERT_EQ(persist.As(&unknown1), S_OK);
        ASSERT_EQ(window.As(&unknown2), S_OK);
        EXPECT_EQ(unknown1.Get(), unknown2.Get()) << "IUnknown must be the same from every interface";

        ComPtr<IDropTarget> none;
        EXPECT_EQ(thing.As(&none), E_NOINTERFACE);
        EXPECT_EQ(none.Get(), nullptr);
    }

    // Failures leak neither the object nor its module lock.
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(com::create_instance<CThing>(IID_IDropTarget, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(com::create_instance<CThing>(IID_IPersist, nullptr), E_POINTER);
    EXPECT_EQ(com::create_instance<CThrows>(IID_IPersist, &out), E_UNEXPECTED);
    EXPECT_EQ(g_alive, 0);
    EXPECT_EQ(_Module.lock_count(), locks);
}

TEST(class_factory, caching_locking_and_aggregation_rules)
{
    com::class_table table({{&CLSID_Thing, &com::create_plain<CThing>, false},
                            {&CLSID_Aggregatable, &com::create_aggregatable<CThing>, true}});
    const LONG locks = _Module.lock_count();

    ComPtr<IClassFactory> factory, again;
    ASSERT_EQ(table.get_class_object(CLSID_Thing, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(_Module.lock_count(), locks + 1) << "a factory held by a caller keeps the module loaded";
    ASSERT_EQ(table.get_class_object(CLSID_Thing, IID_PPV_ARGS(&again)), S_OK);
    EXPECT_EQ(factory.Get(), again.Get()) << "one cached factory per class";
    again.Reset();

    ComPtr<IPersist> persist;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_PPV_ARGS(&persist)), S_OK);
    EXPECT_EQ(g_alive, 1);
    persist.Reset();

    ComPtr<IUnknown> outer, inner;
    ASSERT_EQ(com::make<CThing>()->QueryInterface(IID_PPV_ARGS(&outer)), S_OK);
    EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_PPV_ARGS(&inner)), CLASS_E_NOAGGREGATION);

    ComPtr<IClassFactory> aggregating;
    ASSERT_EQ(table.get_class_object(CLSID_Aggregatable, IID_PPV_ARGS(&aggregating)), S_OK);
    EXPECT_EQ(aggregating->CreateInstance(outer.Get(), IID_PPV_ARGS(&inner)), S_OK);
    inner.Reset();
    outer.Reset();
    aggregating.Reset();

    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(_Module.lock_count(), locks + 1) << "LockServer holds the module";
    ASSERT_EQ(table.get_class_object(CLSID_Thing, IID_PPV_ARGS(&factory)), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(_Module.lock_count(), locks);
    EXPECT_EQ(g_alive, 0);

    void* out = nullptr;
    EXPECT_EQ(table.get_class_object(CLSID_NULL, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
}

} // namespace
