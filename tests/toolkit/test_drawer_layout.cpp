#include <gtest/gtest.h>

#include "drawer_util.h"
#include "testutil/message_log.h"

TEST(DrawerLayout, GrowFollowsGravityAndLimits) {
  struct {
    int grav;
    int ih;
    Rect want;
  } const cases[] = {
      {0, 3, R(0, -1, 10, 21)},  // centre: each edge moves by the truncated half
      {5, 3, R(0, -1, 10, 21)},  // both edges: the same
      {0, -3, R(0, 1, 10, 19)}, {1, 3, R(0, 0, 10, 23)},  // left only: the right edge moves
      {4, 3, R(0, -3, 10, 20)},                           // right only: the left edge moves
  };
  for (const auto& c : cases) {
    Probe d(0, 0, 10, 20, c.grav);
    d.Grow(c.ih, 0);
    EXPECT_EQ(d.extent, c.want) << "gravity " << c.grav << " by " << c.ih;
  }
  Probe d(0, 0, 10, 20, 3);
  d.Grow(30000, 30000);  // a maximum of 0 limits nothing
  EXPECT_EQ(d.GetWidth(), 30020);
  EXPECT_EQ(d.GetHeight(), 30010);
  Probe e(0, 0, 10, 20, 3);
  e.minsize = Point{5, 15};
  e.maxsize = Point{0, 30};
  e.Grow(50, -50);
  EXPECT_EQ(e.extent, R(0, 0, 5, 30));
  e.Grow(-50, 0);
  EXPECT_EQ(e.GetWidth(), 15);
}

TEST(DrawerLayout, ChildrenFollowTheEdgesTheirGravityNames) {
  Probe box(0, 0, 100, 200);
  // Gravity 15 keeps all four margins.
  Probe all(10, 10, 90, 190, 15);
  // Gravity 1 keeps its left edge and grows in proportion: 100 * 50 / 200.
  Probe left(10, 20, 50, 70, 1);
  // Gravity 4 moves with the right edge, growing in proportion.
  Probe right(10, 150, 50, 190, 4);
  // Gravity 0 moves with the centre.
  Probe centre(40, 90, 60, 110, 0);
  box.extent.right = 300;
  box.extent.bottom = 130;
  for (Probe* p : {&all, &left, &right, &centre}) box.AdjustChild(p);
  EXPECT_EQ(all.extent, R(10, 10, 120, 290));
  EXPECT_EQ(left.extent.left, 20);
  EXPECT_EQ(left.GetWidth(), 50 + 25);
  EXPECT_EQ(right.extent.right, 290);
  EXPECT_EQ(right.GetWidth(), 40 + 20);
  EXPECT_EQ(centre.GetWidth(), 20 + 10);
  EXPECT_EQ(centre.extent.left + centre.GetWidth() / 2, 150);

  // A container that was empty before gives no proportional share and divides by nothing.
  Probe empty(0, 0, 0, 0);
  Probe child(0, 0, 10, 10, 0);
  empty.extent = R(0, 0, 100, 100);
  empty.AdjustChild(&child);
  EXPECT_EQ(child.GetWidth(), 10);
  Probe both(0, 0, 10, 10, 15);
  empty.AdjustChild(&both);
  EXPECT_EQ(both.extent, R(0, 0, 110, 110));
}

TEST(DrawerLayout, VisibilityNeedsBothBits) {
  PChestDrawer chest;
  Probe* a = new Probe(0, 0, 10, 10);
  chest.AddDrawer(a);
  a->Show(0);
  chest.Show(0);
  a->redraws = 0;
  EXPECT_EQ(a->Show(1), 0);  // its container is hidden: nothing draws
  EXPECT_EQ(a->redraws, 0);
  EXPECT_FALSE(a->IsVisible());
  EXPECT_EQ(chest.Show(1), 1);  // the container passes 3 and the child draws
  EXPECT_EQ(a->redraws, 1);
  EXPECT_TRUE(a->IsVisible());
  // A child hidden by its own request stays hidden when its container reappears.
  a->Show(0);
  chest.Show(0);
  chest.Show(1);
  EXPECT_FALSE(a->IsVisible());
  EXPECT_EQ(a->UpdateVis(7), 0);
}

TEST(DrawerLayout, SplitRoutesTheEdgeToTheSecondPane) {
  Probe* tl = new Probe(0, 0, 100, 50);
  Probe* br = new Probe(0, 50, 100, 120);
  PDualDrawer side(tl, br, false);
  EXPECT_EQ(side.extent, R(0, 0, 100, 120));
  EXPECT_EQ(tl->grav, 11);
  EXPECT_EQ(br->grav, 14);
  side.Click(Point{10, 49}, 0, nullptr);
  EXPECT_EQ(tl->clicks, 1);
  side.Click(Point{10, 50}, 0, nullptr);
  EXPECT_EQ(br->clicks, 1);

  Probe* top = new Probe(0, 0, 40, 80);
  Probe* bottom = new Probe(40, 10, 90, 60);
  PDualDrawer stack(top, bottom, true);
  EXPECT_EQ(stack.extent, R(0, 0, 90, 80));
  EXPECT_EQ(bottom->extent, R(40, 0, 90, 80));  // stretched across
  stack.Wheel(Point{40, 5}, 0, 1, nullptr);
  EXPECT_EQ(bottom->wheels, 1);
  stack.Show(0);
  EXPECT_FALSE(stack.Click(Point{10, 5}, 0, nullptr));
}

TEST(DrawerLayout, SplitWithAFixedSideGivesTheChangeToTheOther) {
  Probe* tl = new Probe(0, 0, 100, 60);
  Probe* br = new Probe(0, 60, 100, 100);
  br->minsize.h = br->maxsize.h = 40;
  PDualDrawer side(tl, br, false);
  EXPECT_EQ(side.minsize.h, 40);
  EXPECT_EQ(side.maxsize.h, 0);
  side.extent.right = 200;  // the window widened by 100
  side.Redraw();
  EXPECT_EQ(br->GetWidth(), 40);
  EXPECT_EQ(br->extent.right, 200);
  EXPECT_EQ(tl->extent, R(0, 0, 100, 160));
}

TEST(DrawerLayout, ChestHitsChildrenInTheOrderAdded) {
  Probe* first = new Probe(0, 0, 50, 50);
  Probe* second = new Probe(25, 25, 80, 80);
  PChestDrawer chest(first);
  chest.AddDrawer(second);
  EXPECT_EQ(chest.extent, R(0, 0, 80, 80));
  EXPECT_EQ(chest.minsize.h, 80);
  EXPECT_EQ(chest.GetChild(1), second);
  EXPECT_EQ(chest.GetChild(2), nullptr);
  chest.Click(Point{30, 30}, 0, nullptr);  // in both: the first wins
  EXPECT_EQ(first->clicks, 1);
  EXPECT_EQ(second->clicks, 0);
  chest.Click(Point{70, 70}, 0, nullptr);
  EXPECT_EQ(second->clicks, 1);
  EXPECT_FALSE(chest.Click(Point{79, 5}, 0, nullptr));
}

TEST(DrawerLayout, AChainedDrawerIsReportedAndNotAdopted) {
  MessageLog log;
  Probe* a = new Probe(0, 0, 10, 10);
  Probe* b = new Probe(0, 10, 10, 20);
  a->next = b;  // b already belongs to a's chain
  PChestDrawer chest;
  chest.AddDrawer(a);
  EXPECT_TRUE(log.Has(DMCassert, "assertion failed ! (d->next == NULL)")) << log.All();
  EXPECT_EQ(chest.GetChild(0), nullptr);
  EXPECT_EQ(a->parent, nullptr);
  Probe* c = new Probe(0, 0, 10, 10);
  c->next = new Probe(0, 0, 1, 1);
  Probe* d = new Probe(0, 10, 10, 20);
  {
    PDualDrawer dual(c, d, false);
    EXPECT_TRUE(log.Has(DMCassert, "assertion failed ! (tl->next == NULL)"));
    EXPECT_EQ(dual.GetChild(0), nullptr);
    EXPECT_EQ(dual.GetChild(1), d);
  }
  delete a;  // still owned here: deleting it deletes b with it, once
  delete c;
}
