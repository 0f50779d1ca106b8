/* Builds a small drawing in memory, saves it as a point-list file and renders it into a colour
 * image. usage: draw OUT.ppm [OUT.cptl] */
#include <tessera.h>

#include <stdio.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s OUT.ppm [OUT.cptl]\n", argv[0]);
        return 2;
    }
    PointList ptl = ptlNew(true, 0, 0, 40, 30, strMake("drawn by examples/draw.c"));
    if (!ptl) return 1;
    const RGB red = {255, 0, 0}, blue = {0, 0, 255}, white = {255, 255, 255};
    ptlAddElem(ptl, ptlNewElem(PTL_LINE, red, 2, 5, 5, 35, 25));
    ptlAddElem(ptl, ptlNewElem(PTL_LINE, blue, 2, 5, 25, 35, 5));
    ptlAddElem(ptl, ptlNewElem(PTL_ELLIPSE, white, 1, 20, 15, 12, 8));
    ptlAddElem(ptl, ptlNewElem(PTL_POINT, white, 5, 20, 15, 0, 0));
    if (argc > 2 && ptlSave(ptl, argv[2]) != 0) fprintf(stderr, "%s: cannot save\n", argv[2]);

    bool clipped = false;
    const RGB background = {16, 16, 32};
    RGBImageStruct *im = ptlRender(ptl, IMAGE_RGB, 4, 4, background, &clipped); /* 160 x 120 pixels */
    int status = 1;
    if (im) {
        status = im_Save_(im, im->header, argv[1]) == 0 ? 0 : 1;
        printf("rendered %d x %d pixels%s\n", im->header->width, im->header->height, clipped ? " (clipped)" : "");
        im_Free_(im, IMAGE_RGB);
    }
    ptlFree(ptl);
    return status;
}
