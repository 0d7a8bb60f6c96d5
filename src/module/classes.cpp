#include "module/classes.h"

#include "module/ids.h"

// Each creatable class adds one entry to both lists.
std::vector<com::class_entry> module_classes()
{
    return {};
}

const std::vector<module_class>& module_class_registrations()
{
    static const std::vector<module_class> classes;
    return classes;
}
