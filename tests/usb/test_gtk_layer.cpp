// The GTK dialog layer on a real display (Xvfb in scripts/test-posix-usb.sh):
// the two windows from the resources, captions, commands from buttons and
// keys, the progress bar fed from a worker thread, message boxes, timers and
// nested modal loops.
#include <gtk/gtk.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DialogControl.h"
#include "GtkDialog.h"
#include "Messages.h"
#include "Progress.h"
#include "WorkProgress.h"
#include "WindowMap.h"

namespace {

// Calls `step` every 20 ms on the main loop until it returns true.
class Poller {
 public:
  explicit Poller(std::function<bool()> step) : step_(std::move(step)) {
    id_ = g_timeout_add(20, &Poller::Tick, this);
  }
  ~Poller() {
    if (id_ != 0) g_source_remove(id_);
  }
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;
  bool Done() const { return id_ == 0; }

 private:
  static gboolean Tick(gpointer self) {
    Poller* poller = static_cast<Poller*>(self);
    if (!poller->step_()) return G_SOURCE_CONTINUE;
    poller->id_ = 0;
    return G_SOURCE_REMOVE;
  }
  std::function<bool()> step_;
  guint id_ = 0;
};

void CollectLabels(GtkWidget* widget, std::vector<std::string>* texts) {
  if (GTK_IS_LABEL(widget)) texts->push_back(gtk_label_get_text(GTK_LABEL(widget)));
  if (GTK_IS_CONTAINER(widget)) {
    GList* children = gtk_container_get_children(GTK_CONTAINER(widget));
    for (GList* child = children; child != nullptr; child = child->next) {
      CollectLabels(GTK_WIDGET(child->data), texts);
    }
    g_list_free(children);
  }
}

bool Contains(const std::vector<std::string>& texts, const std::string& text) {
  for (const std::string& t : texts) {
    if (t == text) return true;
  }
  return false;
}

bool Shown(GtkWidget* window) { return window != nullptr && gtk_widget_get_mapped(window); }

// A key pressed and released on a window, delivered as GTK delivers events
// from the display.
void PressKey(GtkWidget* window, guint keyval) {
  GdkDisplay* display = gtk_widget_get_display(window);
  guint16 keycode = 0;
  GdkKeymapKey* keys = nullptr;
  gint count = 0;
  if (gdk_keymap_get_entries_for_keyval(gdk_keymap_get_for_display(display), keyval, &keys,
                                        &count) &&
      count > 0) {
    keycode = static_cast<guint16>(keys[0].keycode);
  }
  g_free(keys);
  for (GdkEventType type : {GDK_KEY_PRESS, GDK_KEY_RELEASE}) {
    GdkEvent* event = gdk_event_new(type);
    event->key.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(window)));
    event->key.send_event = TRUE;
    event->key.time = GDK_CURRENT_TIME;
    event->key.keyval = keyval;
    event->key.hardware_keycode = keycode;
    gdk_event_set_device(event, gdk_seat_get_keyboard(gdk_display_get_default_seat(display)));
    gtk_main_do_event(event);
    gdk_event_free(event);
  }
}

class GtkLayerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ASSERT_TRUE(gtk_init_check(nullptr, nullptr)) << "no display (run under Xvfb)";
  }
  void SetUp() override {
    alarm(30);  // a dialog that never ends must not hang the run
    SetDialogLayer(&layer_);
  }
  void TearDown() override {
    alarm(0);
    SetDialogLayer(nullptr);
    EXPECT_EQ(thisApp.Count(), 0);  // every window was unregistered
  }
  CGtkDialogLayer layer_;
};

// ---- the main window ---------------------------------------------------------

class CaptionDialog : public CDialogControl {
 public:
  void OnInitialize() override {
    SetControlCaption(210, "from version 01.10");
    SetControlCaption(224, "to     version 01.20");
  }
};

TEST_F(GtkLayerTest, MainWindowShowsItsTextsAndCaptionsAndOkEndsIt) {
  CaptionDialog dialog;
  std::vector<std::string> labels;
  std::string title, role;
  Poller inspector([&] {
    GtkWidget* window = layer_.Window(&dialog);
    if (!Shown(window)) return false;
    title = gtk_window_get_title(GTK_WINDOW(window));
    role = gtk_window_get_role(GTK_WINDOW(window));
    CollectLabels(window, &labels);
    EXPECT_EQ(thisApp.GetWindowClass(window), &dialog);
    // Return on the focused default button: the OK command.
    PressKey(window, GDK_KEY_Return);
    return true;
  });
  EXPECT_EQ(dialog.Create("MainWindow"), DIALOG_OK);
  EXPECT_TRUE(inspector.Done());
  EXPECT_EQ(title, "ZEDRIKFU");
  EXPECT_EQ(role, "MainWindow");
  EXPECT_TRUE(Contains(labels, "The firmware will be updated.")) << labels.size();
  EXPECT_TRUE(Contains(labels, "Do you want to update the firmware?"));
  EXPECT_TRUE(Contains(labels, "from version 01.10"));
  EXPECT_TRUE(Contains(labels, "to     version 01.20"));
  EXPECT_EQ(layer_.Window(&dialog), nullptr);  // destroyed with the dialog
}

TEST_F(GtkLayerTest, CancelButtonEscapeAndTheCloseBoxCancelTheMainWindow) {
  const std::vector<std::function<void(GtkWidget*, CDialogControl*)>> ways = {
      [this](GtkWidget*, CDialogControl* d) {
        gtk_button_clicked(GTK_BUTTON(layer_.Widget(d, "cancel")));
      },
      [](GtkWidget* window, CDialogControl*) { PressKey(window, GDK_KEY_Escape); },
      [](GtkWidget* window, CDialogControl*) { gtk_window_close(GTK_WINDOW(window)); },
  };
  for (size_t i = 0; i < ways.size(); ++i) {
    SCOPED_TRACE(i);
    CaptionDialog dialog;
    Poller inspector([&] {
      GtkWidget* window = layer_.Window(&dialog);
      if (!Shown(window)) return false;
      ways[i](window, &dialog);
      return true;
    });
    EXPECT_EQ(dialog.Create("MainWindow"), DIALOG_CANCEL);
  }
}

TEST_F(GtkLayerTest, AWindowThatCannotBeCreatedLeavesNoRegistration) {
  CaptionDialog dialog;
  EXPECT_EQ(dialog.Create("NoSuchWindow"), DIALOG_NOT_CREATED);
  EXPECT_EQ(thisApp.Count(), 0);
  // The map's lock was given back: the next window is created.
  class EndsAtOnce : public CDialogControl {
    void OnInitialize() override { OnCancel(); }
  } next;
  EXPECT_EQ(next.Create("MainWindow"), DIALOG_CANCEL);
}

// ---- the progress dialog -------------------------------------------------------

// Behaves like the updater's progress dialog: a worker thread moves the bar,
// a 100 ms poll ends the dialog, and OK and Cancel commands are ignored.
class WorkerDialog : public CDialogControl {
 public:
  void OnInitialize() override {
    bar.SetWork(&work);
    bar.SetControleHandle(this, 220);
    bar.SetRange(0, 100);
    bar.SetPos(0);
    worker = std::thread([this] {
      for (int pos = 5; pos <= 100; pos += 5) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        work.Work(WorkPhase::kWriting, static_cast<uint64_t>(pos) * 400, 40000);
        bar.SetPos(static_cast<uint16_t>(pos));
      }
      finished = true;
    });
    AllocTimer(0, 100);
  }
  void OnTimerEvent(int timerId) override {
    if (timerId != 0 || !finished || !released) return;
    DeleteTimer(0);
    CDialogControl::OnOK();
  }
  void OnOK() override { ++okCommands; }
  void OnCancel() override { ++cancelCommands; }

  CWorkReport work;
  CProgress bar;
  std::thread worker;
  std::atomic<bool> finished{false};
  bool released = false;  // set by the test once it has seen what it needs
  int okCommands = 0;
  int cancelCommands = 0;
};

TEST_F(GtkLayerTest, ProgressDialogFollowsTheWorkerAndIgnoresReturnEscapeAndClose) {
  WorkerDialog dialog;
  std::vector<double> fractions;
  std::set<std::string> texts;
  bool deletable = true;
  bool keysSent = false;
  Poller inspector([&] {
    GtkWidget* window = layer_.Window(&dialog);
    if (!Shown(window)) return false;
    GtkWidget* bar = layer_.Control(&dialog, 220);
    if (bar == nullptr) return true;
    fractions.push_back(gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(bar)));
    const gchar* text = gtk_progress_bar_get_text(GTK_PROGRESS_BAR(bar));
    if (text != nullptr && gtk_progress_bar_get_show_text(GTK_PROGRESS_BAR(bar))) texts.insert(text);
    if (!keysSent) {
      deletable = gtk_window_get_deletable(GTK_WINDOW(window));
      PressKey(window, GDK_KEY_Return);
      PressKey(window, GDK_KEY_Escape);
      gtk_window_close(GTK_WINDOW(window));
      keysSent = true;
    }
    if (fractions.back() < 1.0) return false;
    dialog.released = true;
    return true;
  });
  EXPECT_EQ(dialog.Create("ProgressDialog"), DIALOG_OK);
  dialog.worker.join();
  EXPECT_FALSE(deletable);  // no close box
  EXPECT_GE(dialog.okCommands, 1);  // the keys arrived as commands ...
  EXPECT_GE(dialog.cancelCommands, 1);
  ASSERT_FALSE(fractions.empty());  // ... and the dialog ran on until the end
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  bool between = false;
  for (size_t i = 0; i < fractions.size(); ++i) {
    if (fractions[i] > 0.0 && fractions[i] < 1.0) between = true;
    if (i > 0) {
      EXPECT_GE(fractions[i], fractions[i - 1]);
    }
  }
  EXPECT_TRUE(between) << "the bar moved while the worker ran";
  // The bar's text names the phase and the bytes, as the terminal does.
  EXPECT_TRUE(std::any_of(texts.begin(), texts.end(), [](const std::string& t) {
    return t.rfind("writing, ", 0) == 0 && t.find(" of 39 KiB") != std::string::npos;
  })) << texts.size() << " texts";
}

// ---- message boxes -------------------------------------------------------------

class MessageDialog : public CDialogControl {
 public:
  void OnInitialize() override {
    for (const MessageEntry& entry : gMessageTable) MessageBox(entry.id, MESSAGE_ERROR);
    MessageBox(999, MESSAGE_INFORMATION);  // no text for it
    OnCancel();
  }
};

struct Shown_ {
  std::string title, text, secondary;
};

TEST_F(GtkLayerTest, MessageBoxesShowTheBundledTextsUnderTheProgramName) {
  std::vector<Shown_> boxes;
  Poller closer([&] {
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item != nullptr; item = item->next) {
      GtkWidget* widget = GTK_WIDGET(item->data);
      if (!GTK_IS_MESSAGE_DIALOG(widget) || !Shown(widget)) continue;
      Shown_ box;
      box.title = gtk_window_get_title(GTK_WINDOW(widget));
      gchar* text = nullptr;
      gchar* secondary = nullptr;
      g_object_get(widget, "text", &text, "secondary-text", &secondary, nullptr);
      box.text = text != nullptr ? text : "";
      box.secondary = secondary != nullptr ? secondary : "";
      g_free(text);
      g_free(secondary);
      boxes.push_back(box);
      gtk_dialog_response(GTK_DIALOG(widget), GTK_RESPONSE_OK);
    }
    g_list_free(toplevels);
    return false;
  });
  MessageDialog dialog;
  EXPECT_EQ(dialog.Create("MainWindow"), DIALOG_CANCEL);
  ASSERT_EQ(boxes.size(), 12u);
  for (size_t i = 0; i < 11; ++i) {
    EXPECT_EQ(boxes[i].title, "ZEDRIKFU");
    EXPECT_EQ(boxes[i].text, "ZEDRIKFU");
    EXPECT_EQ(boxes[i].secondary, gMessageTable[i].text);
  }
  EXPECT_EQ(boxes[11].secondary, "");  // shown without an explanation
  EXPECT_EQ(dialog.LastMessage(), 999);
}

// ---- timers and nesting ----------------------------------------------------------

class TimerDialog : public CDialogControl {
 public:
  void OnInitialize() override {
    start = Clock::now();
    for (int id = 1; id <= 11; ++id) AllocTimer(id, id == 2 ? 100 : 40);
  }
  void OnTimerEvent(int timerId) override {
    ++calls[timerId];
    if (timerId == 3) DeleteTimer(3);
    if (timerId == 1 && Clock::now() - start > std::chrono::milliseconds(520)) {
      for (int id = 1; id <= 11; ++id) DeleteTimer(id);
      CDialogControl::OnOK();
    }
  }
  Clock::time_point start;
  std::map<int, int> calls;
};

TEST_F(GtkLayerTest, TimersRunOnTheMainLoopUpToTenPerDialog) {
  TimerDialog dialog;
  EXPECT_EQ(dialog.Create("ProgressDialog"), DIALOG_OK);
  EXPECT_EQ(dialog.calls[11], 0);  // the eleventh is ignored
  EXPECT_EQ(dialog.calls[3], 1);   // deleted at its first call
  // 100 ms over about 0.55 s: the first call at once, then every period.
  EXPECT_GE(dialog.calls[2], 4);
  EXPECT_LE(dialog.calls[2], 7);
  EXPECT_GE(dialog.calls[4], 10);
  EXPECT_GT(dialog.calls[10], 0);
}

class InnerDialog : public CDialogControl {
 public:
  void OnInitialize() override { AllocTimer(0, 50); }
  void OnTimerEvent(int) override {
    if (++ticks == 3) CDialogControl::OnOK();
  }
  int ticks = 0;
};

class OuterDialog : public CDialogControl {
 public:
  explicit OuterDialog(CGtkDialogLayer* layer) : layer_(layer) {}
  void OnOK() override {
    events.push_back("outer OK");
    InnerDialog inner;
    Poller watcher([&] {
      GtkWidget* window = layer_->Window(&inner);
      if (!Shown(window)) return false;
      innerParent = gtk_window_get_transient_for(GTK_WINDOW(window));
      return true;
    });
    events.push_back("inner " + std::to_string(inner.Create("ProgressDialog")));
    CDialogControl::OnOK();
    events.push_back("outer ended");
  }
  CGtkDialogLayer* layer_;
  std::vector<std::string> events;
  GtkWindow* innerParent = nullptr;
};

TEST_F(GtkLayerTest, ADialogOpenedFromAnotherRunsItsOwnLoopAboveIt) {
  OuterDialog outer(&layer_);
  GtkWidget* outerWindow = nullptr;
  Poller presser([&] {
    outerWindow = layer_.Window(&outer);
    if (!Shown(outerWindow)) return false;
    gtk_button_clicked(GTK_BUTTON(layer_.Widget(&outer, "ok")));
    return true;
  });
  EXPECT_EQ(outer.Create("MainWindow"), DIALOG_OK);
  EXPECT_EQ(outer.events, (std::vector<std::string>{"outer OK", "inner 0", "outer ended"}));
  // Compared as addresses: both windows are gone by now.
  EXPECT_EQ(static_cast<void*>(outer.innerParent), static_cast<void*>(outerWindow));
}

// ---- the firmware file chooser ----------------------------------------------------

struct ChooserSeen {
  std::string title;
  std::string role;
  bool showsFirmware = false;  // the filter in use passes a .kqfw file
  bool showsOthers = true;     // ... and another file
  std::vector<std::string> filters;
};

// Answers the first file chooser on the screen: selects `file` and opens it,
// or (empty `file`) presses Escape on it.
ChooserSeen AnswerChooser(CGtkDialogLayer* layer, const std::string& file, bool* chosen,
                          std::string* path) {
  ChooserSeen seen;
  GtkWidget* chooser = nullptr;
  Poller answer([&] {
    if (chooser == nullptr) {
      GList* toplevels = gtk_window_list_toplevels();
      for (GList* item = toplevels; item != nullptr; item = item->next) {
        GtkWidget* widget = GTK_WIDGET(item->data);
        if (GTK_IS_FILE_CHOOSER_DIALOG(widget) && Shown(widget)) chooser = widget;
      }
      g_list_free(toplevels);
      if (chooser == nullptr) return false;
      seen.title = gtk_window_get_title(GTK_WINDOW(chooser));
      const gchar* role = gtk_window_get_role(GTK_WINDOW(chooser));
      seen.role = role != nullptr ? role : "";
      GSList* filters = gtk_file_chooser_list_filters(GTK_FILE_CHOOSER(chooser));
      for (GSList* f = filters; f != nullptr; f = f->next) {
        seen.filters.push_back(gtk_file_filter_get_name(GTK_FILE_FILTER(f->data)));
      }
      g_slist_free(filters);
      GtkFileFilter* current = gtk_file_chooser_get_filter(GTK_FILE_CHOOSER(chooser));
      auto passes = [current](const char* name) {
        GtkFileFilterInfo info = {};
        info.contains = GTK_FILE_FILTER_DISPLAY_NAME;
        info.display_name = name;
        return current != nullptr && gtk_file_filter_filter(current, &info);
      };
      seen.showsFirmware = passes("New.kqfw");
      seen.showsOthers = passes("notes.txt");
      if (file.empty()) {
        PressKey(chooser, GDK_KEY_Escape);
        return true;
      }
      gtk_file_chooser_set_filename(GTK_FILE_CHOOSER(chooser), file.c_str());
      return false;
    }
    // The selection holds once the chooser has loaded the file's folder.
    gchar* selected = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
    const bool ready = selected != nullptr && file == selected;
    g_free(selected);
    if (ready) gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
    return ready;
  });
  *chosen = layer->ChooseFirmwareFile(path);
  EXPECT_TRUE(answer.Done());
  return seen;
}

TEST_F(GtkLayerTest, TheFirmwareChooserShowsFirmwareFilesAndGivesTheChosenPath) {
  EXPECT_TRUE(layer_.CanChooseFiles());
  char folder[] = "/tmp/zf-chooser-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string file = std::string(folder) + "/New.kqfw";
  FILE* out = std::fopen(file.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fputs("firmware", out);
  std::fclose(out);

  bool chosen = false;
  std::string path = "unchanged";
  ChooserSeen seen = AnswerChooser(&layer_, file, &chosen, &path);
  EXPECT_TRUE(chosen);
  EXPECT_EQ(path, file);
  EXPECT_EQ(seen.title, "ZEDRIKFU");
  EXPECT_EQ(seen.role, "FirmwareChooser");
  EXPECT_EQ(seen.filters, (std::vector<std::string>{"Firmware (*.kqfw)", "All Files (*.*)"}));
  EXPECT_TRUE(seen.showsFirmware);
  EXPECT_FALSE(seen.showsOthers);

  // Escape closes it without a file.
  path = "unchanged";
  seen = AnswerChooser(&layer_, "", &chosen, &path);
  EXPECT_FALSE(chosen);
  EXPECT_EQ(path, "unchanged");
  EXPECT_EQ(seen.role, "FirmwareChooser");
  unlink(file.c_str());
  rmdir(folder);
}

}  // namespace
