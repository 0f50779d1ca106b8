/* Uses every family that keeps state between calls, then exits without any further call: the
 * library's unload hooks must leave nothing allocated for a leak checker to report. */
#include <tessera.h>

#include <stdio.h>

static bool greater(void *a, void *b) { return (char *)a > (char *)b; }

int main(int argc, char **argv) {
    static char items[3];
    PointList p;
    PriQ q;
    void *im;
    bool clipped;
    GenUniformIntParams range = {0, 9};
    void *g;
    if (argc < 2) return 2;
    p = ptlLoad(argv[1]);
    if (!p) return 1;
    im = ptlRender(p, IMAGE_RGB, 2, 2, (RGB){0, 0, 0}, &clipped);
    if (!im) return 1;
    im_Free_(im, IMAGE_RGB);
    ptlFree(p);
    q = pqNew(greater);
    pqAdd(q, &items[0]);
    pqAdd(q, &items[1]);
    pqFree(q);
    g = genNew_(GEN_UNIFORM_INT, 0, &range);
    genFree_(GEN_UNIFORM_INT, g);
    return 0;
}
