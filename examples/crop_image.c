/* Loads an image file, crops a rectangle out of it and saves the result in the same format.
 * usage: crop_image IN OUT LEFT TOP WIDTH HEIGHT */
#include <tessera.h>

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char **argv) {
    if (argc != 7) {
        fprintf(stderr, "usage: %s IN OUT LEFT TOP WIDTH HEIGHT\n", argv[0]);
        return 2;
    }
    const int left = atoi(argv[3]), top = atoi(argv[4]), width = atoi(argv[5]), height = atoi(argv[6]);
    AnyImageStruct *im = im_Load(0xffff, argv[1]); /* any tag a file can hold */
    if (!im) {
        fprintf(stderr, "%s: not a readable image\n", argv[1]);
        return 1;
    }
    /* im_Crop_ keeps the source's coordinates and fills what lies outside the source with 0. */
    void *crop = im_Crop_(im, im->header, left, top, width, height);
    int status = 0;
    if (!crop || im_Save_(crop, ((AnyImageStruct *)crop)->header, argv[2]) != 0) {
        fprintf(stderr, "%s: cannot crop or save\n", argv[2]);
        status = 1;
    }
    if (crop) im_Free_(crop, im->header->tag);
    im_Free_(im, im->header->tag);
    return status;
}
