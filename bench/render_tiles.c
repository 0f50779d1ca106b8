/* Checks tiles of a binary drawing rendered band by band into a tiled TIFF against whole
 * renderings of the same areas: for each sampled tile, a drawing with the same elements and
 * bounds just around the tile is rendered whole (ptlRender), and every pixel of the tile must
 * equal it. The tiles sampled are the corners, the centre, the tile under each element's first
 * point, and count more chosen at random.
 * Usage: render_tiles DRAWING.ptl SCALE FILE.tif COUNT */
#include <tessera.h>
#include <tiffio.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

typedef struct {
    PointList ptl;
    float scale;
    int32_t x0, y0; /* the rendering's offsets: the file's first pixel */
    TIFF *tif;
    uint32_t width, height, tile_w, tile_h;
    unsigned char *tile;
    long set; /* set pixels seen */
} check;

/* Tile (tx, ty) against a whole rendering of the area around it; 0 when they agree. */
static int check_tile(check *c, uint32_t tx, uint32_t ty) {
    if (TIFFReadTile(c->tif, c->tile, tx * c->tile_w, ty * c->tile_h, 0, 0) < 0) return -1;
    const int32_t X = c->x0 + (int32_t)(tx * c->tile_w), Y = c->y0 + (int32_t)(ty * c->tile_h);
    /* bounds two units wider than the tile on every side, so that it surely covers the tile */
    PointList area = ptlNew(false, (float)X / c->scale - 2, (float)Y / c->scale - 2,
                            (float)c->tile_w / c->scale + 4, (float)c->tile_h / c->scale + 4, NULL);
    for (_ListNode *n = liFirst(c->ptl->elements); n; n = liNext(n)) {
        const PointListElemStruct *e = liGet(n);
        ptlAddElem(area, ptlNewElem(e->type, e->color, e->size, e->x1, e->y1, e->x2, e->y2));
    }
    AnyImageStruct *im = ptlRender(area, IMAGE_BINARY, c->scale, c->scale, (RGB){0, 0, 0}, NULL);
    ptlFree(area);
    if (!im) return fprintf(stderr, "the area of tile %u,%u: %s\n", tx, ty, tessera_last_error()), -1;
    const ImageHeader *h = im->header;
    int bad = 0;
    const uint32_t row_bytes = c->tile_w / 8;
    for (uint32_t j = 0; j < c->tile_h && !bad && ty * c->tile_h + j < c->height; ++j)
        for (uint32_t i = 0; i < c->tile_w && !bad && tx * c->tile_w + i < c->width; ++i) {
            const int32_t x = X + (int32_t)i, y = Y + (int32_t)j;
            if (x < h->xoffset || y < h->yoffset || x >= h->xoffset + h->width || y >= h->yoffset + h->height) {
                bad = fprintf(stderr, "the area of tile %u,%u does not cover it\n", tx, ty);
                break;
            }
            const int in_file = c->tile[j * row_bytes + i / 8] >> (7 - i % 8) & 1; /* min-is-white: 1 is set */
            const int whole = ((const int8_t *)im->data[y])[x] != 0;
            c->set += in_file;
            if (in_file != whole) bad = fprintf(stderr, "tile %u,%u: pixel %d,%d differs\n", tx, ty, x, y);
        }
    im_Free_(im, IMAGE_BINARY);
    return bad ? -1 : 0;
}

int main(int argc, char **argv) {
    if (argc != 5) return fprintf(stderr, "usage: render_tiles DRAWING.ptl SCALE FILE.tif COUNT\n"), 2;
    check c = {ptlLoad(argv[1]), (float)atof(argv[2]), 0, 0, TIFFOpen(argv[3], "r"), 0, 0, 0, 0, NULL, 0};
    if (!c.ptl || !c.tif) return fprintf(stderr, "cannot read %s or %s\n", argv[1], argv[3]), 1;
    uint16_t bits = 0;
    TIFFGetField(c.tif, TIFFTAG_IMAGEWIDTH, &c.width);
    TIFFGetField(c.tif, TIFFTAG_IMAGELENGTH, &c.height);
    TIFFGetField(c.tif, TIFFTAG_BITSPERSAMPLE, &bits);
    if (!TIFFIsTiled(c.tif) || bits != 1) return fprintf(stderr, "%s: not a tiled binary TIFF\n", argv[3]), 1;
    TIFFGetField(c.tif, TIFFTAG_TILEWIDTH, &c.tile_w);
    TIFFGetField(c.tif, TIFFTAG_TILELENGTH, &c.tile_h);
    int32_t w = 0, h = 0;
    if (tessera_render_geometry(c.ptl, c.scale, c.scale, &c.x0, &c.y0, &w, &h) != 0 || (uint32_t)w != c.width ||
        (uint32_t)h != c.height)
        return fprintf(stderr, "the file is not the drawing's rendering at scale %s\n", argv[2]), 1;
    c.tile = malloc(TIFFTileSize(c.tif));
    const uint32_t across = (c.width + c.tile_w - 1) / c.tile_w, down = (c.height + c.tile_h - 1) / c.tile_h;
    uint32_t tiles[4096][2], n = 0;
    const uint32_t fixed[][2] = {{0, 0}, {across - 1, 0}, {0, down - 1}, {across - 1, down - 1}, {across / 2, down / 2}};
    for (size_t k = 0; k < sizeof fixed / sizeof fixed[0]; ++k) tiles[n][0] = fixed[k][0], tiles[n++][1] = fixed[k][1];
    for (_ListNode *e = liFirst(c.ptl->elements); e && n < 2048; e = liNext(e)) {
        const PointListElemStruct *el = liGet(e);
        const double x = el->x1 * c.scale - c.x0, y = el->y1 * c.scale - c.y0;
        if (x >= 0 && y >= 0 && x < c.width && y < c.height)
            tiles[n][0] = (uint32_t)x / c.tile_w, tiles[n++][1] = (uint32_t)y / c.tile_h;
    }
    uint64_t state = 12345;
    for (long k = atol(argv[4]); k > 0 && n < 4096; --k) {
        state = state * 6364136223846793005u + 1442695040888963407u;
        tiles[n][0] = (uint32_t)(state >> 33) % across, tiles[n++][1] = (uint32_t)(state >> 13) % down;
    }
    int failed = 0;
    for (uint32_t k = 0; k < n && !failed; ++k) failed = check_tile(&c, tiles[k][0], tiles[k][1]) != 0;
    printf("%u tiles of %u x %u checked against whole renderings of their areas: %s (%ld set pixels)\n", n,
           c.tile_w, c.tile_h, failed ? "a tile DIFFERS" : "all equal", c.set);
    free(c.tile);
    TIFFClose(c.tif);
    ptlFree(c.ptl);
    return failed;
}
