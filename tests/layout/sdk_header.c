/* Compiles the SDK header on its own: its layout assertions run for whatever
 * target this file is built for (32-bit ARM in the test suite). */
#include "dvrplugin.h"

int dvr_sdk_header_compiles(void)
{
    return (int)sizeof(_EventParmsIn);
}
