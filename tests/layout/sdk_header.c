/* Compiles the SDK headers on their own: their layout assertions run for
 * whatever target this file is built for (32-bit ARM in the test suite). */
#include "dvrplugin.h"
#include "dvrmedia.h"

int dvr_sdk_header_compiles(void)
{
    return (int)sizeof(_EventParmsIn);
}
