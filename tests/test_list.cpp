#include <tessera/list.h>

#include <random>
#include <vector>

#include "support/scale.h"
#include "support/test_support.h"

using namespace tessera::test;

namespace {

std::vector<void *> hooked;
void record_hook(void *p) { hooked.push_back(p); }
void other_hook(void *) {}

std::vector<void *> contents(List l) {
    std::vector<void *> out;
    for (_ListNode *ln = liFirst(l); ln; ln = liNext(ln)) out.push_back(liGet(ln));
    return out;
}

// Both directions agree and every node names its owner.
void expect_well_formed(List l) {
    std::vector<_ListNode *> forward, backward;
    for (_ListNode *ln = l->first; ln; ln = ln->next) forward.push_back(ln);
    for (_ListNode *ln = l->last; ln; ln = ln->prev) backward.insert(backward.begin(), ln);
    ASSERT_EQ(forward, backward);
    ASSERT_EQ(l->first == nullptr, l->last == nullptr);
    for (_ListNode *ln : forward) ASSERT_EQ(ln->owner, l);
    ASSERT_EQ(liLen(l), forward.size());
}

int items[8];
void *item(int i) { return &items[i]; }

} // namespace

TEST(List, NewListIsEmptyWithoutHook) {
    List l = liNew();
    ASSERT_NE(l, NULLLIST);
    EXPECT_EQ(liFirst(l), NULLLISTNODE);
    EXPECT_EQ(liLen(l), 0u);
    EXPECT_EQ(liSetRemHook(l, record_hook), nullptr);
    EXPECT_EQ(liSetRemHook(l, nullptr), &record_hook);
    liFree(l);
}

TEST(List, SingleNodeIsFirstAndLast) {
    List l = liNew();
    _ListNode *n = liAdd(l, item(0));
    EXPECT_EQ(l->first, n);
    EXPECT_EQ(l->last, n);
    EXPECT_EQ(n->next, nullptr);
    EXPECT_EQ(n->prev, nullptr);
    EXPECT_EQ(n->owner, l);
    liRem(n);
    EXPECT_EQ(l->first, nullptr);
    EXPECT_EQ(l->last, nullptr);
    liFree(l);
}

TEST(List, AppendsInOrderAndFindsTheFrontmostCopy) {
    List l = liNew();
    _ListNode *a = liAdd(l, item(1));
    liAdd(l, item(2));
    _ListNode *again = liAdd(l, item(1));
    EXPECT_EQ(contents(l), (std::vector<void *>{item(1), item(2), item(1)}));
    EXPECT_EQ(liIsIn(l, item(1)), a);
    EXPECT_NE(again, a);
    EXPECT_EQ(liIsIn(l, item(5)), NULLLISTNODE);
    EXPECT_EQ(liIsIn(l, nullptr), NULLLISTNODE);
    expect_well_formed(l);
    liFree(l);
}

TEST(List, RemoveAndNextWalksOn) {
    List l = liNew();
    for (int i = 0; i < 5; ++i) liAdd(l, item(i));
    _ListNode *n = liFirst(l);
    n = liNext(n);
    n = liRemAndNext(n); // removes 1
    EXPECT_EQ(liGet(n), item(2));
    EXPECT_EQ(liRemAndNext(l->last), NULLLISTNODE);
    EXPECT_EQ(contents(l), (std::vector<void *>{item(0), item(2), item(3)}));
    expect_well_formed(l);
    liFree(l);
}

TEST(List, HookSeesEveryRemovedElementOnceInOrder) {
    hooked.clear();
    List l = liNew();
    liSetRemHook(l, record_hook);
    for (int i = 0; i < 5; ++i) liAdd(l, item(i));
    liRem(l->first->next); // item 1
    EXPECT_EQ(hooked, (std::vector<void *>{item(1)}));
    liFree(l);
    EXPECT_EQ(hooked, (std::vector<void *>{item(1), item(0), item(2), item(3), item(4)}));
}

TEST(List, AppendMovesOwnersAndDropsTheSecondHook) {
    hooked.clear();
    List l1 = liNew(), l2 = liNew();
    liSetRemHook(l2, other_hook);
    liSetRemHook(l1, record_hook);
    liAdd(l1, item(0));
    _ListNode *moved = liAdd(l2, item(1));
    liAdd(l2, item(2));
    liApp(l1, l2);
    EXPECT_TRUE(hooked.empty());
    EXPECT_EQ(moved->owner, l1);
    EXPECT_EQ(contents(l1), (std::vector<void *>{item(0), item(1), item(2)}));
    expect_well_formed(l1);
    liRem(moved); // the first list's hook now applies
    EXPECT_EQ(hooked, (std::vector<void *>{item(1)}));
    liFree(l1);
}

TEST(List, AppendWithEmptyLists) {
    List l1 = liNew(), empty = liNew();
    liAdd(l1, item(0));
    liApp(l1, empty);
    EXPECT_EQ(contents(l1), (std::vector<void *>{item(0)}));
    List fresh = liNew(), l3 = liNew();
    liAdd(l3, item(3));
    liAdd(l3, item(4));
    liApp(fresh, l3);
    EXPECT_EQ(contents(fresh), (std::vector<void *>{item(3), item(4)}));
    expect_well_formed(fresh);
    liApp(l1, fresh);
    EXPECT_EQ(contents(l1), (std::vector<void *>{item(0), item(3), item(4)}));
    expect_well_formed(l1);
    liFree(l1);
}

TEST(List, RandomOperationsKeepTheStructure_seed7) {
    const unsigned seed = test_seed(7);
    SCOPED_TRACE("seed " + std::to_string(seed) + " (TESSERA_TEST_SEED replays it)");
    std::mt19937 rng(seed);
    List l = liNew();
    std::vector<void *> model;
    const long steps = scaled(20000);
    for (long step = 0; step < steps; ++step) {
        const int op = static_cast<int>(rng() % 4);
        if (op < 2 || model.empty()) {
            void *p = item(static_cast<int>(rng() % 8));
            liAdd(l, p);
            model.push_back(p);
        } else if (op == 2) {
            const std::size_t at = rng() % model.size();
            _ListNode *n = liFirst(l);
            for (std::size_t i = 0; i < at; ++i) n = liNext(n);
            liRem(n);
            model.erase(model.begin() + static_cast<long>(at));
        } else {
            List other = liNew();
            const int extra = static_cast<int>(rng() % 3);
            for (int i = 0; i < extra; ++i) {
                liAdd(other, item(i));
                model.push_back(item(i));
            }
            liApp(l, other);
        }
        if (step % 97 == 0) {
            expect_well_formed(l);
            ASSERT_EQ(contents(l), model) << "step " << step;
        }
    }
    expect_well_formed(l);
    liFree(l);
}

TEST(ListAllocFailure, NewAndAddLeaveNothingBehind) {
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  fp.arm();
                  List l = liNew();
                  if (fp.fired()) {
                      EXPECT_EQ(l, NULLLIST);
                  } else {
                      liFree(l);
                  }
              }),
              1);
    EXPECT_EQ(each_allocation_failure([](FailPoint &fp) {
                  List l = liNew();
                  liAdd(l, item(0));
                  _ListNode *last = l->last;
                  fp.arm();
                  _ListNode *n = liAdd(l, item(1));
                  if (fp.fired()) {
                      EXPECT_EQ(n, NULLLISTNODE);
                      EXPECT_EQ(l->last, last);
                      EXPECT_EQ(last->next, nullptr);
                      EXPECT_EQ(liLen(l), 1u);
                  }
                  liFree(l);
              }),
              1);
}

TEST(ListDeathTest, EveryCheckReportsItsExpression) {
    const auto abrt = testing::KilledBySignal(SIGABRT);
    const char *file = "list.cpp";
    List l = liNew(), other = liNew();
    liAdd(l, item(0));
    EXPECT_EXIT(liFree(NULLLIST), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liFirst(NULLLIST), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liNext(NULLLISTNODE), abrt, assertion("ln != NULLLISTNODE", file));
    EXPECT_EXIT(liAdd(NULLLIST, nullptr), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liRem(NULLLISTNODE), abrt, assertion("ln != NULLLISTNODE", file));
    EXPECT_EXIT(liRemAndNext(NULLLISTNODE), abrt, assertion("ln != NULLLISTNODE", file));
    EXPECT_EXIT(liGet(NULLLISTNODE), abrt, assertion("ln != NULLLISTNODE", file));
    EXPECT_EXIT(liIsIn(NULLLIST, nullptr), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liLen(NULLLIST), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liSetRemHook(NULLLIST, nullptr), abrt, assertion("l != NULLLIST", file));
    EXPECT_EXIT(liApp(NULLLIST, l), abrt, assertion("l1 != NULLLIST", file));
    EXPECT_EXIT(liApp(l, NULLLIST), abrt, assertion("l2 != NULLLIST", file));
    EXPECT_EXIT(liApp(l, l), abrt, assertion("l1 != l2", file));

    // Broken structures, made by hand in the child process.
    EXPECT_EXIT(
        {
            l->first->owner = other;
            liFree(l);
        },
        abrt, assertion("ln->owner == l", file));
    EXPECT_EXIT(
        {
            l->first->owner = NULLLIST;
            liRem(l->first);
        },
        abrt, assertion("ln->owner != NULLLIST", file));
    EXPECT_EXIT(
        {
            l->first->owner = NULLLIST;
            liRemAndNext(l->first);
        },
        abrt, assertion("ln->owner != NULLLIST", file));
    EXPECT_EXIT(
        {
            l->first->prev = l->first;
            liRem(l->first);
        },
        abrt, assertion("ln->prev == NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            l->first->next = l->first;
            liRem(l->first);
        },
        abrt, assertion("ln->next == NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            l->last = NULLLISTNODE;
            liAdd(l, nullptr);
        },
        abrt, assertion("l->first == NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            liAdd(other, nullptr);
            other->first->owner = l;
            liApp(l, other);
        },
        abrt, assertion("ln->owner == l2", file));
    EXPECT_EXIT(
        {
            l->last->next = l->last;
            liApp(l, other);
        },
        abrt, assertion("l1->last->next == NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            liAdd(other, nullptr);
            other->first->prev = other->first;
            liApp(l, other);
        },
        abrt, assertion("l2->first->prev == NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            liAdd(other, nullptr);
            other->last = NULLLISTNODE;
            liApp(l, other);
        },
        abrt, assertion("l2->last != NULLLISTNODE", file));
    EXPECT_EXIT(
        {
            List e = liNew();
            e->first = l->first;
            liApp(e, other);
        },
        abrt, assertion("l1->first == NULLLISTNODE", file));
    liFree(l);
    liFree(other);
}
