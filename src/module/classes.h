// The classes other programs may create through DllGetClassObject, with their registration.
#pragma once

#include "com/class_factory.h"
#include "module/registry.h"

#include <vector>

struct module_class {
    const CLSID* clsid;
    const registry::script& (*script)();
};

std::vector<com::class_entry> module_classes();
const std::vector<module_class>& module_class_registrations();
