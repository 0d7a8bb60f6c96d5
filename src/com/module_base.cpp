#include "com/module_base.h"

namespace com {

namespace {
module_base* g_current = nullptr;
}

module_base::module_base()
{
    // InitializeCriticalSectionAndSpinCount reports failure instead of raising, so a load
    // under memory pressure fails cleanly in DllMain.
    initialised_ = InitializeCriticalSectionAndSpinCount(&cs_, 0) != FALSE;
    g_current = this;
}

module_base::~module_base()
{
    if (initialised_)
        DeleteCriticalSection(&cs_);
    if (g_current == this)
        g_current = nullptr;
}

module_base& current_module()
{
    return *g_current;
}

} // namespace com
