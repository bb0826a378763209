/* A program outside the tree, built against the installed library. */
#include <corvane2.h>
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    FILE *quiet = freopen("/dev/null", "w", stdout); /* the library's diagnostics */
    (void)quiet;
    MP4_read_file *handle = NULL;
    int32_t result = MP4FileOpen(&handle, argv[1]);
    uint32_t frames = handle ? handle->videoInfo.sampleCount : 0;
    MP4FileClose(&handle);
    free(handle);
    fprintf(stderr, "open=%d frames=%u\n", (int)result, (unsigned)frames);
    return result == 1 ? 0 : 1;
}
