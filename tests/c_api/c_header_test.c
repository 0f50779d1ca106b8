/* Compiled as strict C99: the public headers must be plain C, and every call below must link
 * against the shared library's exported symbols. */
#include <tessera.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define EXPECT(cond)                                                                                                   \
    do {                                                                                                               \
        if (!(cond)) {                                                                                                 \
            fprintf(stderr, "%s:%d: expected %s\n", __FILE__, __LINE__, #cond);                                        \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

static void strings(void) {
    adtStringHeader *s = strMake("tes");
    EXPECT(strAddChar_(&s, 's') == s);
    EXPECT(strCat_(&s, s) == s);
    EXPECT(strcmp(strGet(s), "tesstess") == 0);
    EXPECT(strLen(s) == 8);
    strFree(s);
}

static void chunks(void) {
    Chunk c = chNew(3);
    void *b = chAlloc(c);
    EXPECT(c != NULLCHUNK && b != NULL && c->blockSize == sizeof(void *));
    chFree(c, b);
    EXPECT(chAlloc(c) == b);
    chNuke(c);
}

static void counters(void) {
    Counter a, b;
    coInit(&a);
    coInit(&b);
    coInc(&a);
    EXPECT(coGT(&a, &b) && !coEQ(&a, &b));
    coCopy(&b, &a);
    EXPECT(coEQ(&a, &b));
}

static void tokenizer(void) {
    FILE *f = tmpfile();
    int32_t n = 0;
    float x = 0.0f;
    adtStringHeader *w = NULL;
    fputs("P5 # c\n17 2.5 ", f);
    rewind(f);
    EXPECT(magicStart() == 0);
    EXPECT(magicGetString(f, &w) == 0 && strcmp(strGet(w), "P5") == 0);
    EXPECT(magicGetInt(f, &n) == 0 && n == 17);
    EXPECT(magicGetFloat(f, &x) == 0 && x == 2.5f);
    EXPECT(magicGetChar(f) == -1);
    strFree(w);
    fclose(f);
}

int main(void) {
    strings();
    chunks();
    counters();
    tokenizer();
    if (failures == 0) puts("C API: all checks passed");
    return failures == 0 ? 0 : 1;
}
