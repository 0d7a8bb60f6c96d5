// The one place where exceptions of the shell objects become HRESULTs: nothing may leave a COM
// method as an exception.
#pragma once

#include "vfs/vfs.h"

#include <windows.h>

#include <new>

template <class F> HRESULT com_boundary(F&& f) noexcept
{
    try {
        return f();
    }
    catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    catch (const vfs::exception&) {
        return E_FAIL;
    }
    catch (...) {
        return E_UNEXPECTED;
    }
}
