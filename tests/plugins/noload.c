/* A library without Load: rejected before any of its code runs. */
#include <stdlib.h>

#include "dvrplugin.h"

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    abort(); /* never called: the core must not open a rejected library */
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    (void)in;
    (void)out;
    abort();
}
