#include "posix/SharedLibrary.h"

#include <dlfcn.h>

namespace qb::posix {

SharedLibrary::SharedLibrary(const char* soname) : m_handle(::dlopen(soname, RTLD_NOW | RTLD_LOCAL))
{
    if (!m_handle) {
        const char* why = ::dlerror();
        m_error = why ? why : std::string(soname) + " cannot be loaded";
    }
}

void* SharedLibrary::symbol(const char* name)
{
    if (!m_handle)
        return nullptr;
    ::dlerror();
    void* found = ::dlsym(m_handle, name);
    if (!found) {
        const char* why = ::dlerror();
        m_error = why ? why : std::string(name) + " is missing";
    }
    return found;
}

} // namespace qb::posix
