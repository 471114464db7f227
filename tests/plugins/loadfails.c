/* Load fails with a nonzero return value; Unload must never follow. */
#include <stdlib.h>

#include "dvrplugin.h"

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    (void)in;
    out->systemID = 0x00510000u;
    return 7;
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
