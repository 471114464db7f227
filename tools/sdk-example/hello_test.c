/*
 * hello_test.c - tests hello.so with the harness, no core needed:
 *   hello_test ./hello.so
 */
#include <stdio.h>
#include <string.h>

#include "dvrharness.h"

static int failures;
#define CHECK(cond) \
    do { \
        if (!(cond)) { \
            fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
            ++failures; \
        } \
    } while (0)

int main(int argc, char** argv)
{
    DvrHarness* h = DvrHarnessLoad(argc > 1 ? argv[1] : "./hello.so");
    CHECK(h && DvrHarnessRejection(h) == NULL);
    if (!h || DvrHarnessRejection(h))
        return 1;
    CHECK(DvrHarnessOpen(h) == 0);

    _EventParmsIn frame;
    _EventParmsOut unused;
    unsigned char pixels[64] = {0};
    DvrInitEvent(&frame, &unused, 0x00100000u, EVENT_TYPE_MEDIA, EVENT_FLAG_BIT_VIDEO);
    frame.data = pixels;
    frame.dataSize = sizeof pixels;
    for (int i = 0; i < 3; ++i)
        CHECK(DvrHarnessDeliver(h, &frame) == 1);

    /* Audio (media without the video bit, flags 0x2) does not reach Write. */
    frame.eventFlags = 0x2;
    CHECK(DvrHarnessDeliver(h, &frame) == 0);

    CHECK(DvrHarnessClose(h) == 0);
    size_t lines = DvrHarnessLogCount(h);
    CHECK(lines == 2 && strcmp(DvrHarnessLogLine(h, lines - 1), "hello: 3 frames") == 0);
    CHECK(DvrHarnessLeakCount(h) == 0);
    DvrHarnessUnload(h);
    printf("hello_test: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}
