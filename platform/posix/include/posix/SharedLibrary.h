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

    // Points `function` at `name`: the program's own definition when it has one (as for a linked call,
    // which the program's definition overrides), else the library's; false (and `function` null, the
    // reason in error()) when the library is not loaded or lacks it.
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

} // namespace qb::posix
