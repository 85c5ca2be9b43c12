// The window's entry points, the only symbols the module shows (see app/WindowStart.h).
#include "app/WindowStart.h"

extern "C" __attribute__((visibility("default"))) const char* quillbeat_window_module_build()
{
    return QUILLBEAT_WINDOW_BUILD;
}

extern "C" __attribute__((visibility("default"))) int quillbeat_run_window(qb::app::WindowStart* start)
{
    return qb::app::runWindow(*start);
}
