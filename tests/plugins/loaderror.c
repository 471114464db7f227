/* Load returns 0 but reports an error word; Unload must never follow. */
#include <stdlib.h>

#include "dvrplugin.h"

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    (void)in;
    out->systemID = 0x00520000u;
    out->error = 9;
    return 0;
}

int32_t Open(_OpenParmsIn* in, _OpenParmsOut* out)
{
    (void)in;
    (void)out;
    abort();
}

int32_t Unload(_UnloadParmsIn* in, _UnloadParmsOut* out)
{
    (void)in;
    (void)out;
    abort();
}
