#pragma once

#include <string>

namespace qb::posix {

// A shared library opened when it is first needed rather than when the program starts, so that a
// program that never needs it never maps it. Opened with its symbols kept to itself, and never closed:
// a thread still running its code when the program ends must find it there.
class SharedLibrary
{
public:
    // `soname` as the dynamic linker looks it up ("libgme.so.0"). Failing to open it is not an error
    // here: loaded() says so, and error() why.
    explicit SharedLibrary(const char* soname);
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    bool loaded() const { return m_handle != nullptr; }
    const std::string& error() const { return m_error; }

    // Points `function` at the library's `name`, looked up in the library and the libraries it needs,
    // never elsewhere in the program (where another library may define the same name); false (and
    // `function` null, the reason in error()) when the library is not loaded or lacks it.
    template <typename Function> bool bind(Function*& function, const char* name)
    {
        function = reinterpret_cast<Function*>(symbol(name));
        return function != nullptr;
    }

private:
    void* symbol(const char* name);

    void* m_handle = nullptr;
    std::string m_error;
};

// A library and the calls a user makes of it (a struct of function pointers), bound once when it is
// made; made as a function's static, by whichever thread first asks. `bindAll(library, calls)` binds
// every call and says whether all were found.
template <typename Calls> class BoundLibrary
{
public:
    template <typename BindAll>
    BoundLibrary(const char* soname, BindAll bindAll)
        : m_library(soname), m_complete(bindAll(m_library, m_calls))
    {
    }

    // The calls; null, with the reason in `why` when given, when the library or one of them is missing.
    const Calls* calls(std::string* why = nullptr) const
    {
        if (!m_complete && why)
            *why = m_library.error();
        return m_complete ? &m_calls : nullptr;
    }

private:
    SharedLibrary m_library;
    Calls m_calls;
    bool m_complete;
};

} // namespace qb::posix
