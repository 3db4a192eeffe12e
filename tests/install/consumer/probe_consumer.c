/* A host program built against an installed libmediaprobe. */
#include <mediaprobe.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: probe_consumer FILE.mp3 (128 kbit/s, 44100 Hz)\n");
        return 2;
    }
    int32_t kbps = 0, rate = 0, seconds = 0;
    if (!getMP3MetaInfo(argv[1], &kbps, &rate, NULL, NULL, NULL, &seconds)) {
        fprintf(stderr, "getMP3MetaInfo failed on %s\n", argv[1]);
        return 1;
    }
    if (kbps != 128 || rate != 44100) {
        fprintf(stderr, "unexpected answer: %d kbit/s, %d Hz\n", kbps, rate);
        return 1;
    }
    printf("mediaprobe consumer: %d kbit/s, %d Hz, %d s\n", kbps, rate, seconds);
    return 0;
}
