/* Needs a symbol nobody defines: immediate binding refuses the library at
 * dlopen, before Load could run. */
#include <stdlib.h>

#include "dvrplugin.h"

extern int dvr_no_such_function(void);

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    (void)in;
    (void)out;
    return dvr_no_such_function();
}
