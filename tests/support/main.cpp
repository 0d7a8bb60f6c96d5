// Test programs start here: an apartment for the shell and OLE objects, and the module handle
// set to the test program, which links the same resources as the DLL.
#include "module/module.h"

#include <gmock/gmock.h>
#include <ole2.h>

int main(int argc, char** argv)
{
    testing::InitGoogleMock(&argc, argv);
    CQuillmereModule::set_instance(GetModuleHandleW(nullptr));
    if (FAILED(OleInitialize(nullptr)))
        return 3;
    const int result = RUN_ALL_TESTS();
    OleUninitialize();
    return result;
}
