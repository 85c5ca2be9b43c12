// A sound module as another build of the program leaves it: the same entry points, another build. The
// program must not make a stack from it; if it did, this one ends the test at once.
#include <cstdlib>

extern "C" __attribute__((visibility("default"))) const char* quillbeat_sound_module_build()
{
    return "0.9+0123456789ab";
}

extern "C" __attribute__((visibility("default"))) void* quillbeat_make_sound_stack(const void*)
{
    std::abort();
}
