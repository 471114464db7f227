/* A Load that never comes back: with "load=crash" in its configuration it
 * aborts the process, with "load=hang" it never returns. */
#include "common/probe_common.h"

#include <signal.h>

static ProbeConfig probe;

int32_t Load(_LoadParmsIn* in, _LoadParmsOut* out)
{
    const char* mode;
    probe_load(&probe, in, out);
    mode = probe_get(&probe, "load");
    if (mode && strcmp(mode, "crash") == 0)
        abort();
    while (mode && strcmp(mode, "hang") == 0)
        pause();
    return 0;
}
