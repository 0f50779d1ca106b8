#include <tessera/vector.h>

#include <cstring>

#include "support/test_support.h"

using namespace tessera::test;

namespace {
const uint8_t fixed_tags[] = {1, 2, 3, 4, 6, 7, 8, 9, 10};
constexpr std::size_t sizes[] = {0, 1, 1, 2, 4, 0, 8, 4, 3, 12, 12};

AnyVectorStruct *V(void *v) { return static_cast<AnyVectorStruct *>(v); }
unsigned char *element(void *v, int i, std::size_t size) {
    return static_cast<unsigned char *>(V(v)->data) + i * static_cast<long>(size);
}

struct StructVec {
    void *data;
    VectorHeader *header;
    int32_t user;
    double mine;
};
} // namespace

TEST(Vector, NewVectorsAreZeroAndIndexedFromTheirOffset) {
    const long live = tessera::detail::seam::live();
    for (uint8_t tag : fixed_tags) {
        void *v = vec_New_(tag, 4, -2, 0, 0, nullptr);
        ASSERT_NE(v, nullptr);
        const std::size_t size = sizes[tag];
        EXPECT_EQ(V(v)->header->tag, tag);
        EXPECT_EQ(V(v)->header->handle, v);
        for (std::size_t b = 0; b < 4 * size; ++b) ASSERT_EQ(element(v, -2, size)[b], 0);
        std::memset(element(v, -2, size), 0x5a, 4 * size);
        vec_SetOffset_(v, V(v)->header, 10);
        EXPECT_EQ(element(v, 10, size)[0], 0x5a);
        vec_SetOffset_(v, V(v)->header, -7);
        vec_Free_(v, tag);
    }
    EXPECT_EQ(tessera::detail::seam::live(), live);
}

TEST(Vector, SetOffsetKeepsElements) {
    void *v = vec_New_(4, 5, 0, 0, 0, nullptr);
    for (int i = 0; i < 5; ++i) reinterpret_cast<int32_t *>(V(v)->data)[i] = i + 1;
    vec_SetOffset_(v, V(v)->header, 10);
    EXPECT_EQ(reinterpret_cast<int32_t *>(V(v)->data)[10], 1);
    EXPECT_EQ(reinterpret_cast<int32_t *>(V(v)->data)[14], 5);
    EXPECT_EQ(V(v)->header->length, 5);
    vec_Free_(v, 4);
}

TEST(Vector, DupCopiesElementsOffsetAndUserWord) {
    void *v = vec_New_(6, 3, 7, 0, 0, nullptr);
    V(v)->user = 99;
    double *d = static_cast<double *>(V(v)->data);
    d[7] = 1.5;
    d[9] = -2.5;
    void *c = vec_Dup_(v, V(v)->header);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(V(c)->header->offset, 7);
    EXPECT_EQ(V(c)->user, 99);
    EXPECT_EQ(static_cast<double *>(V(c)->data)[9], -2.5);
    static_cast<double *>(V(c)->data)[7] = 0;
    EXPECT_EQ(d[7], 1.5);
    vec_Free_(c, 6);
    vec_Free_(v, 6);
}

TEST(Vector, InitAndStructVectors) {
    StructVec proto{};
    proto.mine = 6.5;
    auto *v = static_cast<StructVec *>(vec_New_(VECTOR_STRUCT, 9, -4, 5, sizeof(StructVec), &proto));
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->mine, 6.5);
    const unsigned char e[5] = {1, 2, 3, 4, 5};
    vec_Init_(v, v->header, const_cast<unsigned char *>(e));
    for (int i = -4; i < 5; ++i) ASSERT_EQ(std::memcmp(element(v, i, 5), e, 5), 0);
    auto *c = static_cast<StructVec *>(vec_Dup_(v, v->header));
    EXPECT_EQ(c->mine, 6.5);
    EXPECT_EQ(std::memcmp(element(c, 4, 5), e, 5), 0);
    vec_Free_(c, VECTOR_STRUCT);
    vec_Free_(v, VECTOR_STRUCT);
    void *rgb = vec_New_(8, 100, 0, 0, 0, nullptr);
    const unsigned char colour[3] = {7, 8, 9};
    vec_Init_(rgb, V(rgb)->header, const_cast<unsigned char *>(colour));
    EXPECT_EQ(std::memcmp(element(rgb, 99, 3), colour, 3), 0);
    vec_Apply_(rgb, nullptr, V(rgb)->header);
    EXPECT_EQ(std::memcmp(element(rgb, 0, 3), colour, 3), 0);
    vec_Free_(rgb, 8);
}

TEST(Vector, BadSizesGiveNull) {
    EXPECT_EQ(vec_New_(4, 0, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(vec_New_(4, -3, 0, 0, 0, nullptr), nullptr);
    EXPECT_EQ(vec_New_(VECTOR_STRUCT, 2, 0, 70000, 24, nullptr), nullptr);
    EXPECT_EQ(vec_New_(VECTOR_STRUCT, 2, 0, 4, 4, nullptr), nullptr);
    EXPECT_EQ(vec_New_(VECTOR_STRUCT, INT32_MAX, 0, 32767, 24, nullptr), nullptr);
}

TEST(VectorAllocFailure, NewAndDupLeaveNothing) {
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  fp.arm();
                  void *v = vec_New_(9, 10, 3, 0, 0, nullptr);
                  if (fp.fired()) {
                      EXPECT_EQ(v, nullptr);
                  } else {
                      vec_Free_(v, 9);
                  }
              }),
              3);
    void *src = vec_New_(3, 10, -3, 0, 0, nullptr);
    EXPECT_EQ(each_allocation_failure([&](FailPoint &fp) {
                  fp.arm();
                  void *v = vec_Dup_(src, V(src)->header);
                  if (fp.fired()) {
                      EXPECT_EQ(v, nullptr);
                  } else {
                      vec_Free_(v, 3);
                  }
              }),
              3);
    vec_Free_(src, 3);
}

TEST(VectorDeathTest, ChecksAndPanicsReportTheirTexts) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const auto status1 = testing::ExitedWithCode(1);
    const char *file = "vector.cpp";
    const std::string bad = panic_report("bad vector tag", file, "$Id: vector.cpp 1.0 $");
    void *v = vec_New_(4, 2, 0, 0, 0, nullptr);
    int32_t x = 0;
    EXPECT_EXIT(vec_New_(VECTOR_STRUCT, 2, 0, 0, 24, nullptr), abrt,
                assertion("(elemsize == 0) != (type == VECTOR_STRUCT)", file));
    EXPECT_EXIT(vec_New_(4, 2, 0, 6, 0, nullptr), abrt, assertion("(elemsize == 0) != (type == VECTOR_STRUCT)", file));
    EXPECT_EXIT(vec_New_(5, 2, 0, 6, 0, nullptr), abrt, assertion("(elemsize == 0) != (type == VECTOR_STRUCT)", file));
    EXPECT_EXIT(vec_New_(5, 2, 0, 0, 0, nullptr), status1, bad);
    EXPECT_EXIT(vec_New_(0, 2, 0, 0, 0, nullptr), status1, bad);
    EXPECT_EXIT(vec_New_(12, 2, 0, 0, 0, nullptr), status1, bad);
    EXPECT_EXIT(vec_Free_(nullptr, 4), abrt, assertion("vec != (void *)NULL", file));
    EXPECT_EXIT(vec_Free_(v, 5), status1, bad);
    EXPECT_EXIT(vec_Dup_(nullptr, V(v)->header), abrt, assertion("vec != (void *)NULL", file));
    EXPECT_EXIT(vec_Dup_(v, nullptr), abrt, assertion("header != (VectorHeader *)NULL", file));
    EXPECT_EXIT(vec_Init_(nullptr, V(v)->header, &x), abrt, assertion("vec != (void *)NULL", file));
    EXPECT_EXIT(vec_Init_(v, nullptr, &x), abrt, assertion("header != (VectorHeader *)NULL", file));
    EXPECT_EXIT(vec_SetOffset_(nullptr, V(v)->header, 1), abrt, assertion("vec != (void *)NULL", file));
    EXPECT_EXIT(vec_SetOffset_(v, nullptr, 1), abrt, assertion("header != (VectorHeader *)NULL", file));
    VectorHeader damaged = *V(v)->header;
    damaged.tag = 5;
    EXPECT_EXIT(vec_Dup_(v, &damaged), status1, bad);
    EXPECT_EXIT(vec_Init_(v, &damaged, &x), status1, bad);
    EXPECT_EXIT(vec_SetOffset_(v, &damaged, 3), status1, bad);
    vec_Free_(v, 4);
}

TEST(Vector, LargeFillsFromAnyAlignment) {
    for (uint8_t tag : {3, 8, 9}) {
        const std::size_t size = sizes[tag];
        void *v = vec_New_(tag, 500001, 3, 0, 0, nullptr);
        unsigned char e[12];
        for (std::size_t b = 0; b < size; ++b) e[b] = static_cast<unsigned char>(b * 29 + 1);
        vec_Init_(v, V(v)->header, e);
        for (int i = 3; i < 500004; ++i)
            ASSERT_EQ(std::memcmp(element(v, i, size), e, size), 0) << int{tag} << " " << i;
        vec_Free_(v, tag);
    }
}
