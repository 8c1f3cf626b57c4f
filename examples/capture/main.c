/* capture: takes one exposure through the capture library and writes it as a 16-bit PGM. */
#include <zephif/ZephIF.h>

#include <stdio.h>
#include <stdlib.h>

/* The library gives up on its own within its capture time-out (Sensor-Capture-Timeout, 300 s
   by default); this only bounds the wait should it never signal. */
#define RESULT_WAIT_MS 660000u
#define COOKIE 1

static int WritePgm(const char* path, const CaptureResult* result, const uint16_t* pixels) {
    FILE* file = fopen(path, "wb");
    if (!file)
        return 0;
    /* Binary PGM with 12 significant bits: samples are big-endian 16-bit words. */
    fprintf(file, "P5\n%lu %lu\n%u\n", (unsigned long)result->width,
            (unsigned long)result->height, (1u << ZEPHLIB_PIXEL_BITS) - 1u);
    const size_t count = (size_t)result->width * result->height;
    int ok = 1;
    for (size_t i = 0; i < count && ok; ++i) {
        const unsigned char sample[2] = {(unsigned char)(pixels[i] >> 8),
                                         (unsigned char)(pixels[i] & 0xFF)};
        ok = fwrite(sample, 1, 2, file) == 2;
    }
    return fclose(file) == 0 && ok;
}

int main(int argc, char** argv) {
    const char* output = argc > 1 ? argv[1] : "capture.pgm";

    /* Reads ZephIF.ini from the current directory and connects to the unit it names. */
    LONG code = ZephLibStartSession();
    if (code != ZEPHLIB_OK) {
        fprintf(stderr, "capture: the session did not start (%ld)\n", (long)code);
        ZephLibEndSession();
        return 1;
    }

    HANDLE done = CreateEventA(NULL, FALSE, FALSE, NULL);
    HGLOBAL record = NULL;
    int status = 1;
    code = done ? ZephLibCaptureRawImageWithEventSignal(0, done, &record, COOKIE)
                : ZEPHLIB_INVALID_ARGUMENT;
    if (code != ZEPHLIB_OK) {
        fprintf(stderr, "capture: the capture did not start (%ld)\n", (long)code);
    } else if (WaitForSingleObject(done, RESULT_WAIT_MS) != WAIT_OBJECT_0 || !record) {
        fprintf(stderr, "capture: no result\n");
    } else {
        /* The library keeps the record and its pixels until the next capture or the end. */
        const CaptureResult* result = (const CaptureResult*)GlobalLock(record);
        if (!result || result->status != ZEPHLIB_STATUS_DELIVERED || !result->pixels) {
            fprintf(stderr, "capture: no image (status %ld)\n", result ? (long)result->status : -1L);
        } else {
            HGLOBAL block = (HGLOBAL)(UINT_PTR)result->pixels;
            const uint16_t* pixels = (const uint16_t*)GlobalLock(block);
            if (pixels && WritePgm(output, result, pixels)) {
                printf("capture: %lu x %lu pixels written to %s\n", (unsigned long)result->width,
                       (unsigned long)result->height, output);
                status = 0;
            } else {
                fprintf(stderr, "capture: cannot write %s\n", output);
            }
            if (pixels)
                GlobalUnlock(block);
        }
        if (result)
            GlobalUnlock(record);
    }
    if (done)
        CloseHandle(done);
    ZephLibEndSession();
    return status;
}
