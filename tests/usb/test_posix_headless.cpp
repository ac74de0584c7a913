// Parts of the POSIX front-end that need no display: the window map, the
// bundled message texts, and the refusal of the GTK layer without a display.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "DialogControl.h"
#include "GtkDialog.h"
#include "Messages.h"
#include "WindowMap.h"

namespace {

class Dialog : public CDialogControl {};

TEST(WindowMap, FindsTheDialogOfEachRegisteredWindow) {
  CWindowMap map;
  Dialog a, b;
  int windowA = 0, windowB = 0, stranger = 0;
  map.BeginCreateWindow(&a);
  EXPECT_EQ(map.Count(), 0);  // pending until the window exists
  map.EndCreateWindow(&windowA);
  map.BeginCreateWindow(&b);
  map.EndCreateWindow(&windowB);
  EXPECT_EQ(map.Count(), 2);
  EXPECT_EQ(map.GetWindowClass(&windowA), &a);
  EXPECT_EQ(map.GetWindowClass(&windowB), &b);
  EXPECT_EQ(map.GetWindowClass(&stranger), nullptr);
  EXPECT_EQ(map.GetWindowClass(nullptr), nullptr);
}

TEST(WindowMap, DeletesByDialogOrByWindow) {
  CWindowMap map;
  Dialog a, b;
  int window1 = 0, window2 = 0, window3 = 0;
  map.BeginCreateWindow(&a);
  map.EndCreateWindow(&window1);
  map.BeginCreateWindow(&a);
  map.EndCreateWindow(&window2);
  map.BeginCreateWindow(&b);
  map.EndCreateWindow(&window3);

  map.DeleteWindow(&window2);
  EXPECT_EQ(map.GetWindowClass(&window2), nullptr);
  EXPECT_EQ(map.GetWindowClass(&window1), &a);
  EXPECT_EQ(map.Count(), 2);

  map.BeginCreateWindow(&a);
  map.EndCreateWindow(&window2);
  map.DeleteWindow(static_cast<CDialogControl*>(&a));  // every window of the dialog
  EXPECT_EQ(map.GetWindowClass(&window1), nullptr);
  EXPECT_EQ(map.GetWindowClass(&window2), nullptr);
  EXPECT_EQ(map.GetWindowClass(&window3), &b);
  EXPECT_EQ(map.Count(), 1);
}

TEST(WindowMap, AFailedCreationLeavesNothingBehindAndReleasesTheLock) {
  CWindowMap map;
  Dialog a;
  int window = 0;
  map.BeginCreateWindow(&a);
  map.AbortCreateWindow();
  EXPECT_EQ(map.Count(), 0);
  // The lock was given back: the next registration goes through (a lock
  // still held would block here).
  map.BeginCreateWindow(&a);
  map.EndCreateWindow(&window);
  EXPECT_EQ(map.Count(), 1);
  EXPECT_EQ(map.GetWindowClass(&window), &a);
  // An end without a pending entry changes nothing.
  int other = 0;
  map.EndCreateWindow(&other);
  EXPECT_EQ(map.GetWindowClass(&other), nullptr);
  EXPECT_EQ(map.Count(), 1);
}

TEST(MessageResource, HoldsEveryMessageOfTheTableWordForWord) {
  for (const MessageEntry& entry : gMessageTable) {
    std::string text;
    ASSERT_EQ(LookUpMessageText(entry.id, &text), MessageLookup::Found) << "String" << entry.id;
    EXPECT_EQ(text, entry.text) << "String" << entry.id;
  }
}

TEST(MessageResource, AnIdOutsideTheTableHasNoText) {
  std::string text = "unchanged";
  EXPECT_EQ(LookUpMessageText(108, &text), MessageLookup::NoKey);
  EXPECT_EQ(LookUpMessageText(0, &text), MessageLookup::NoKey);
  EXPECT_EQ(text, "unchanged");
}

TEST(GtkLayer, IsNotMadeWithoutADisplay) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  int argc = 1;
  char name[] = "zedrikfu";
  char* args[] = {name, nullptr};
  char** argv = args;
  EXPECT_EQ(CreateGtkDialogLayer(&argc, &argv), nullptr);
}

}  // namespace
