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
    // The program's own definition first, as the dynamic linker binds a linked call: one the program
    // makes (a test watching the calls) or already has stands in for the library's.
    ::dlerror();
    void* found = ::dlsym(RTLD_DEFAULT, name);
    if (!found)
        found = ::dlsym(m_handle, name);
    if (!found) {
        const char* why = ::dlerror();
        m_error = why ? why : std::string(name) + " is missing";
    }
    return found;
}

} // namespace qb::posix
