/* The libvips anchor of bench/compare.sh: the same job as `glimbra-cli --tile` with a JPEG
 * output, done the libvips way. The source is read sequentially, the texture replicated to the
 * source's size, and each channel blended exactly through a 65,536-entry lookup table indexed by
 * (texture << 8 | source); the result is saved as JPEG at QUALITY, or, for an OUTPUT ending in
 * .png, as PNG at zlib compression level QUALITY. libvips runs the pipeline on its own threads.
 *
 *   vips_anchor SOURCE TEXTURE OUTPUT QUALITY
 */
#include <math.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vips/vips.h>

/* The blend of one channel, rounded as the program rounds it (built with -ffp-contract=off). */
static unsigned char blend(int s, int t) {
    float p;
    double target;
    if (t < 191) {
        p = (float)(191 - t) / 191.0f;
        target = 0.0;
    } else {
        p = (float)(t - 191) / 64.0f;
        target = 255.0;
    }
    volatile float weight = p * 100.0f;
    volatile float keep = 100.0f - weight;
    const double v = ((double)s / 100.0) * (double)keep + (target / 100.0) * (double)weight;
    return (unsigned char)nearbyint(v);
}

static void fail(const char* what) {
    fprintf(stderr, "vips_anchor: %s: %s\n", what, vips_error_buffer());
    exit(1);
}

/* Three bands of 8 bits: drops alpha, spreads grey. */
static VipsImage* rgb(VipsImage* in) {
    VipsImage* out;
    if (in->Bands == 1 || in->Bands == 2) {
        VipsImage* grey;
        if (vips_extract_band(in, &grey, 0, NULL)) fail("extract");
        VipsImage* bands[3] = {grey, grey, grey};
        if (vips_bandjoin(bands, &out, 3, NULL)) fail("bandjoin");
        return out;
    }
    if (vips_extract_band(in, &out, 0, "n", 3, NULL)) fail("extract");
    return out;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: vips_anchor SOURCE TEXTURE OUTPUT QUALITY\n");
        return 2;
    }
    if (VIPS_INIT(argv[0])) fail("init");
    VipsImage* source = vips_image_new_from_file(argv[1], "access", VIPS_ACCESS_SEQUENTIAL, NULL);
    if (!source) fail(argv[1]);
    VipsImage* texture = vips_image_new_from_file(argv[2], NULL);
    if (!texture) fail(argv[2]);
    source = rgb(source);
    texture = rgb(texture);

    static unsigned char table[65536];
    for (int t = 0; t < 256; ++t)
        for (int s = 0; s < 256; ++s) table[t << 8 | s] = blend(s, t);
    VipsImage* lut = vips_image_new_from_memory(table, sizeof table, 65536, 1, 1, VIPS_FORMAT_UCHAR);
    if (!lut) fail("lut");

    const int w = source->Xsize, h = source->Ysize;
    VipsImage *tiled, *cropped, *wide, *shifted, *src16, *index, *index16, *out;
    if (vips_replicate(texture, &tiled, (w + texture->Xsize - 1) / texture->Xsize,
                       (h + texture->Ysize - 1) / texture->Ysize, NULL))
        fail("replicate");
    if (vips_crop(tiled, &cropped, 0, 0, w, h, NULL)) fail("crop");
    if (vips_cast_ushort(cropped, &wide, NULL)) fail("cast");
    if (vips_lshift_const1(wide, &shifted, 8, NULL)) fail("lshift");
    if (vips_cast_ushort(source, &src16, NULL)) fail("cast");
    if (vips_orimage(shifted, src16, &index, NULL)) fail("or");
    if (vips_cast_ushort(index, &index16, NULL)) fail("cast");
    if (vips_maplut(index16, &out, lut, NULL)) fail("maplut");
    const size_t n = strlen(argv[3]);
    const int png = n > 4 && strcmp(argv[3] + n - 4, ".png") == 0;
    if (png ? vips_pngsave(out, argv[3], "compression", atoi(argv[4]), NULL)
            : vips_jpegsave(out, argv[3], "Q", atoi(argv[4]), NULL))
        fail(argv[3]);
    return 0;
}
