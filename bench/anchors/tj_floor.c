/* The TurboJPEG floor of bench/compare.sh: decode the source JPEG into 32-bit pixels and encode
 * it again at the given quality with 4:2:0 chroma, the least that any JPEG-to-JPEG job costs.
 *
 *   tj_floor SOURCE OUTPUT QUALITY
 */
#include <stdio.h>
#include <stdlib.h>
#include <turbojpeg.h>

static unsigned char* slurp(const char* path, unsigned long* size) {
    FILE* f = fopen(path, "rb");
    if (!f) return NULL;
    fseek(f, 0, SEEK_END);
    *size = (unsigned long)ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* data = malloc(*size);
    if (data && fread(data, 1, *size, f) != *size) {
        free(data);
        data = NULL;
    }
    fclose(f);
    return data;
}

int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: tj_floor SOURCE OUTPUT QUALITY\n");
        return 2;
    }
    unsigned long size = 0;
    unsigned char* jpeg = slurp(argv[1], &size);
    if (!jpeg) return 1;
    tjhandle dec = tjInitDecompress(), enc = tjInitCompress();
    int w, h, sub, space;
    if (tjDecompressHeader3(dec, jpeg, size, &w, &h, &sub, &space)) return 1;
    unsigned char* pixels = tjAlloc(w * h * 4);
    if (!pixels || tjDecompress2(dec, jpeg, size, pixels, w, w * 4, h, TJPF_BGRX, 0)) return 1;
    unsigned char* out = NULL;
    unsigned long outSize = 0;
    if (tjCompress2(enc, pixels, w, w * 4, h, TJPF_BGRX, &out, &outSize, TJSAMP_420, atoi(argv[3]), 0))
        return 1;
    FILE* f = fopen(argv[2], "wb");
    if (!f || fwrite(out, 1, outSize, f) != outSize || fclose(f)) return 1;
    return 0;
}
