#include <tessera/priq.h>

#include <map>
#include <random>
#include <set>
#include <vector>

#include "containers/priq_internal.h"
#include "support/scale.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

bool greater(void *a, void *b) { return *static_cast<double *>(a) > *static_cast<double *>(b); }

int calls_on_elements = 0;
bool counting_greater(void *a, void *b) {
    ++calls_on_elements;
    return greater(a, b);
}

double value_of(_PriQNode *h) { return *static_cast<double *>(pqGet(h)); }

// Checks shape, level-order threading, heap order, handle back-links and count.
void expect_invariants(PriQ p) {
    std::vector<_PriQIntNode *> level;
    if (p->root) level.push_back(p->root);
    for (std::size_t i = 0; i < level.size(); ++i) {
        if (level[i]->left) level.push_back(level[i]->left);
        if (level[i]->right) level.push_back(level[i]->right);
    }
    ASSERT_EQ(level.size(), p->count);
    ASSERT_EQ(p->last, level.empty() ? nullptr : level.back());
    for (std::size_t i = 0; i < level.size(); ++i) {
        _PriQIntNode *n = level[i];
        // complete shape: node i has children 2i+1 and 2i+2 exactly when they exist
        ASSERT_EQ(n->left, 2 * i + 1 < level.size() ? level[2 * i + 1] : nullptr);
        ASSERT_EQ(n->right, 2 * i + 2 < level.size() ? level[2 * i + 2] : nullptr);
        ASSERT_EQ(n->parent, i == 0 ? nullptr : level[(i - 1) / 2]);
        ASSERT_EQ(n->next, i + 1 < level.size() ? level[i + 1] : nullptr);
        ASSERT_EQ(n->prev, i == 0 ? nullptr : level[i - 1]);
        ASSERT_NE(n->owner, nullptr);
        ASSERT_EQ(n->owner->val, n);
        ASSERT_EQ(n->owner->queue, p);
        if (n->parent) {
            ASSERT_FALSE(greater(n->parent->data, n->data));
        }
    }
}

struct Queue {
    PriQ p = pqNew(greater);
    ~Queue() { pqFree(p); }
};

} // namespace

TEST(PriQ, SmallestComesFirst) {
    Queue q;
    double v[] = {3, 1, 2};
    _PriQNode *h[3];
    for (int i = 0; i < 3; ++i) h[i] = pqAdd(q.p, &v[i]);
    EXPECT_EQ(pqFirst(q.p), h[1]);
    std::vector<double> out;
    while (pqLen(q.p) > 0) {
        out.push_back(value_of(pqFirst(q.p)));
        pqRem(pqFirst(q.p));
    }
    EXPECT_EQ(out, (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(pqFirst(q.p), NULLPRIQNODE);
}

TEST(PriQ, RemovingAMiddleHandleKeepsTheOthers) {
    Queue q;
    double v[10] = {5, 9, 2, 7, 1, 8, 3, 6, 4, 0};
    std::vector<_PriQNode *> h;
    for (double &x : v) h.push_back(pqAdd(q.p, &x));
    pqRem(h[3]); // 7
    expect_invariants(q.p);
    for (int i = 0; i < 10; ++i)
        if (i != 3) {
            EXPECT_EQ(pqGet(h[i]), &v[i]);
        }
    std::vector<double> out;
    while (pqLen(q.p) > 0) {
        out.push_back(value_of(pqFirst(q.p)));
        pqRem(pqFirst(q.p));
    }
    EXPECT_EQ(out, (std::vector<double>{0, 1, 2, 3, 4, 5, 6, 8, 9}));
}

TEST(PriQ, RemovingTheLastNodeChangesNothingElse) {
    Queue q;
    double v[] = {1, 2, 3, 4};
    for (int i = 0; i < 3; ++i) pqAdd(q.p, &v[i]);
    _PriQIntNode *last_before = q.p->last;
    _PriQNode *h = pqAdd(q.p, &v[3]);
    ASSERT_EQ(h->val, q.p->last);
    pqRem(h);
    EXPECT_EQ(q.p->last, last_before);
    EXPECT_EQ(pqLen(q.p), 3u);
    expect_invariants(q.p);
}

TEST(PriQ, TiesAreNotServedInInsertionOrder) {
    Queue q;
    double a = 1, b = 1, c = 1;
    _PriQNode *ha = pqAdd(q.p, &a);
    pqAdd(q.p, &b);
    _PriQNode *hc = pqAdd(q.p, &c);
    EXPECT_EQ(pqFirst(q.p), ha);
    pqRem(ha);
    EXPECT_EQ(pqFirst(q.p), hc);
    EXPECT_EQ(pqGet(pqFirst(q.p)), &c);
}

TEST(PriQ, EmptiedQueueStartsAfresh) {
    Queue q;
    double x = 4, y = 2;
    pqRem(pqAdd(q.p, &x));
    EXPECT_EQ(pqLen(q.p), 0u);
    EXPECT_EQ(q.p->root, nullptr);
    pqAdd(q.p, &x);
    pqAdd(q.p, &y);
    EXPECT_EQ(pqGet(pqFirst(q.p)), &y);
    expect_invariants(q.p);
}

TEST(PriQ, FreeCallsNothingOnTheElements) {
    PriQ p = pqNew(counting_greater);
    double v[] = {3, 2, 1};
    for (double &x : v) pqAdd(p, &x);
    calls_on_elements = 0;
    pqFree(p);
    EXPECT_EQ(calls_on_elements, 0);
}

TEST(PriQ, HandlesAreReusedAcrossQueues) {
    Queue a, b;
    double x = 1;
    _PriQNode *h = pqAdd(a.p, &x);
    pqRem(h);
    EXPECT_EQ(pqAdd(b.p, &x), h); // the shared chunk hands the freed handle out again
}

TEST(PriQ, QueuesAfterALargeOneWorkAndReuseTheLastFreedHandleFirst) {
    // Draining a large queue puts the shared pools' free lists back in address order; the
    // queues that follow must work as before, and the handle freed last comes out first.
    std::vector<double> keys(scaled(200000));
    std::mt19937 rng(5);
    for (double &k : keys) k = std::uniform_real_distribution<double>(0, 1)(rng);
    for (int round = 0; round < 3; ++round) {
        Queue big;
        for (double &k : keys) pqAdd(big.p, &k);
        double previous = -1;
        _PriQNode *freed_last = nullptr;
        while (pqLen(big.p) > 0) {
            _PriQNode *h = pqFirst(big.p);
            ASSERT_GE(value_of(h), previous);
            previous = value_of(h);
            pqRem(h);
            freed_last = h;
        }
        Queue small;
        EXPECT_EQ(pqAdd(small.p, &keys[0]), freed_last);
        std::vector<_PriQNode *> handles;
        for (std::size_t i = 1; i < 1000; ++i) handles.push_back(pqAdd(small.p, &keys[i]));
        expect_invariants(small.p);
        // after the big queue's memory was put back in order, new handles lie side by side
        std::size_t adjacent = 0;
        for (std::size_t i = 1; i < handles.size(); ++i) adjacent += handles[i] == handles[i - 1] + 1;
        EXPECT_GE(adjacent, handles.size() * 9 / 10);
        _PriQNode *h = handles[500];
        pqRem(h);
        EXPECT_EQ(pqAdd(small.p, &keys[501]), h);
        expect_invariants(small.p);
    }
}

TEST(PriQ, RandomisedAgainstAMultiset_seed2024) {
    const unsigned seed = test_seed(2024);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TESSERA_TEST_SEED replays it)");
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> key(0, 999);
    Queue q;
    const long steps = scaled(300000);
    std::vector<double> storage(static_cast<std::size_t>(steps));
    std::multiset<double> model;
    std::vector<_PriQNode *> handles;
    std::map<_PriQNode *, double> value_of_handle;
    for (long step = 0; step < steps; ++step) {
        const unsigned op = rng() % 10;
        if (op < 5 || handles.empty()) {
            double *v = &storage[static_cast<std::size_t>(step)];
            *v = key(rng);
            _PriQNode *h = pqAdd(q.p, v);
            ASSERT_NE(h, nullptr);
            handles.push_back(h);
            value_of_handle[h] = *v;
            model.insert(*v);
        } else {
            _PriQNode *h;
            std::size_t at;
            if (op < 7) {
                h = pqFirst(q.p);
                ASSERT_EQ(value_of(h), *model.begin());
                at = static_cast<std::size_t>(std::find(handles.begin(), handles.end(), h) - handles.begin());
            } else {
                at = rng() % handles.size();
                h = handles[at];
            }
            ASSERT_EQ(value_of(h), value_of_handle[h]);
            model.erase(model.find(value_of(h)));
            value_of_handle.erase(h);
            handles[at] = handles.back();
            handles.pop_back();
            pqRem(h);
        }
        ASSERT_EQ(pqLen(q.p), model.size());
        if (!model.empty()) {
            ASSERT_EQ(value_of(pqFirst(q.p)), *model.begin());
        }
        expect_invariants(q.p);
        if (step % 1009 == 0) {
            for (_PriQNode *h : handles) ASSERT_EQ(value_of(h), value_of_handle[h]);
        }
    }
    expect_invariants(q.p);
}

TEST(PriQAllocFailure, NewAndAddIncludingChunkCreationAndRefills) {
    using tessera::detail::pqinChunk;
    using tessera::detail::pqnChunk;
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  fp.arm();
                  PriQ p = pqNew(greater);
                  if (fp.fired()) {
                      EXPECT_EQ(p, NULLPRIQ);
                  } else {
                      pqFree(p);
                  }
              }),
              1);
    // Fresh chunks for this test, so that their creation and first refill are injected too.
    const Chunk saved_pqn = pqnChunk, saved_pqin = pqinChunk;
    static double v[1001];
    for (int prefill : {0, 1000}) {
        each_allocation_failure([&](FailPoint &fp) {
            pqnChunk = pqinChunk = NULLCHUNK;
            PriQ p = pqNew(greater);
            for (int i = 0; i < prefill; ++i) pqAdd(p, &v[i]);
            _PriQIntNode *last = p->last;
            fp.arm();
            _PriQNode *h = pqAdd(p, &v[1000]);
            if (fp.fired()) {
                EXPECT_EQ(h, NULLPRIQNODE);
                EXPECT_EQ(p->last, last);
                EXPECT_EQ(pqLen(p), static_cast<uint32_t>(prefill));
                expect_invariants(p);
            }
            pqFree(p);
            chNuke(pqnChunk);
            chNuke(pqinChunk);
        });
    }
    pqnChunk = saved_pqn;
    pqinChunk = saved_pqin;
}

TEST(PriQDeathTest, EveryCheckReportsItsExpression) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const char *file = "priq.cpp";
    PriQ p = pqNew(greater);
    static double v[4] = {1, 2, 3, 4};
    EXPECT_EXIT(pqNew(nullptr), abrt, assertion("compareGT != (bool (*)(void *a, void *b))NULL", file));
    EXPECT_EXIT(pqFree(NULLPRIQ), abrt, assertion("p != NULLPRIQ", file));
    EXPECT_EXIT(pqFirst(NULLPRIQ), abrt, assertion("p != NULLPRIQ", file));
    EXPECT_EXIT(pqLen(NULLPRIQ), abrt, assertion("p != NULLPRIQ", file));
    EXPECT_EXIT(pqAdd(NULLPRIQ, nullptr), abrt, assertion("p != NULLPRIQ", file));
    EXPECT_EXIT(pqRem(NULLPRIQNODE), abrt, assertion("pqn != NULLPRIQNODE", file));
    EXPECT_EXIT(pqGet(NULLPRIQNODE), abrt, assertion("pqn != NULLPRIQNODE", file));
    _PriQNode stray{nullptr, p};
    EXPECT_EXIT(pqRem(&stray), abrt, assertion("pqn->val != NULLPRIQINTNODE", file));
    EXPECT_EXIT(pqGet(&stray), abrt, assertion("pqn->val != NULLPRIQINTNODE", file));

    _PriQNode *h1 = pqAdd(p, &v[0]);
    EXPECT_EXIT(
        {
            p->count = 0;
            pqAdd(p, &v[1]);
        },
        abrt, assertion("p->count > 0", file));
    EXPECT_EXIT(
        {
            p->root = NULLPRIQINTNODE;
            p->count = 3;
            pqAdd(p, &v[1]);
        },
        abrt, assertion("p->count == 0", file));
    EXPECT_EXIT(
        {
            h1->val->owner = nullptr;
            pqRem(h1);
        },
        abrt, assertion("pqn->val->owner == pqn", file));
    EXPECT_EXIT(
        {
            h1->queue = NULLPRIQ;
            pqRem(h1);
        },
        abrt, assertion("p != NULLPRIQ", file));
    EXPECT_EXIT(
        {
            p->root = NULLPRIQINTNODE;
            pqRem(h1);
        },
        abrt, assertion("p->root != NULLPRIQINTNODE", file));
    EXPECT_EXIT(
        {
            p->count = 0;
            pqRem(h1);
        },
        abrt, assertion("p->count > 0", file));
    EXPECT_EXIT(
        {
            p->count = 2;
            pqRem(h1);
        },
        abrt, assertion("p->count == 1", file));
    EXPECT_EXIT(
        {
            _PriQIntNode other{};
            _PriQNode fake;
            fake.val = &other;
            fake.queue = p;
            other.owner = &fake;
            pqRem(&fake);
        },
        abrt, assertion("pqn->val == p->root", file));

    _PriQNode *h2 = pqAdd(p, &v[1]);
    _PriQNode *h3 = pqAdd(p, &v[2]);
    EXPECT_EXIT(
        {
            p->last->parent = nullptr;
            pqAdd(p, &v[3]);
        },
        abrt, assertion("p->last == p->root", file));
    EXPECT_EXIT(
        {
            p->root->next = nullptr;
            pqAdd(p, &v[3]);
        },
        abrt, assertion("p->last->parent->next != NULLPRIQINTNODE", file));
    EXPECT_EXIT(
        {
            _PriQIntNode fake_next{};
            fake_next.left = p->root;
            p->root->next = &fake_next;
            pqAdd(p, &v[3]);
        },
        abrt, assertion("p->last->parent->next->left == NULLPRIQINTNODE", file));
    EXPECT_EXIT(
        {
            p->last->owner = nullptr;
            pqRem(h1);
        },
        abrt, assertion("pqlast->owner != NULLPRIQNODE", file));
    EXPECT_EXIT(
        {
            p->last->owner = h2;
            pqRem(h1);
        },
        abrt, assertion("pqlast->owner->val == pqlast", file));
    EXPECT_EXIT(
        {
            h3->val->parent = nullptr;
            pqRem(h3);
        },
        abrt, assertion("pqlast->parent != NULLPRIQINTNODE", file));
    EXPECT_EXIT(
        {
            p->root->right = nullptr;
            p->root->left = nullptr;
            pqRem(h3);
        },
        abrt, assertion("pqlast->parent->left == pqlast", file));
    EXPECT_EXIT(
        {
            h3->val->prev = nullptr;
            pqRem(h3);
        },
        abrt, assertion("pqlast->prev != NULLPRIQINTNODE", file));

    using tessera::detail::swap;
    _PriQIntNode a{}, b{};
    EXPECT_EXIT(swap(nullptr, &b), abrt, assertion("pqin1 != NULLPRIQINTNODE", file));
    EXPECT_EXIT(swap(&a, nullptr), abrt, assertion("pqin2 != NULLPRIQINTNODE", file));
    b.owner = h1;
    EXPECT_EXIT(swap(&a, &b), abrt, assertion("pqin2->owner != NULLPRIQNODE", file));
    EXPECT_EXIT(swap(&b, &a), abrt, assertion("pqin1->owner != NULLPRIQNODE", file));
    pqFree(p);
}
