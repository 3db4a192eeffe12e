/* A minimal host program: probes each MP3 file named on the command line. */
#include <stdio.h>

#include "mediaprobe.h"

int main(int argc, char **argv)
{
    int failures = 0;
    for (int i = 1; i < argc; ++i) {
        int32_t kbps, rate, seconds;
        if (getMP3MetaInfo(argv[i], &kbps, &rate, NULL, NULL, NULL, &seconds)) {
            printf("%-40s %4d kbit/s %6d Hz %4d s\n", argv[i], kbps, rate, seconds);
        } else {
            fprintf(stderr, "%s: not an MP3 file this probe understands\n", argv[i]);
            ++failures;
        }
    }
    return failures ? 1 : 0;
}
