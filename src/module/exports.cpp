// The four entry points COM calls. They translate to the module object and nothing else.
#include "module/module.h"

#include <olectl.h>

STDAPI DllCanUnloadNow()
{
    return _Module.lock_count() == 0 ? S_OK : S_FALSE;
}

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv)
{
    return _Module.get_class_object(rclsid, riid, ppv);
}

STDAPI DllRegisterServer()
{
    return _Module.register_server();
}

STDAPI DllUnregisterServer()
{
    return _Module.unregister_server();
}
