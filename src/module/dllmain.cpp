#include "module/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        if (!_Module.initialised())
            return FALSE;
        CQuillmereModule::set_instance(instance);
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
