// The dialog layer on GTK 3: the windows "MainWindow" and "ProgressDialog"
// come from a GtkBuilder description compiled into the program as a
// GResource, message texts from a bundled key file under "String" + id.
//
// Every call comes from the interface thread, except ProgressChanged, which
// the worker thread makes and which touches nothing: the bar of a progress
// dialog is brought up to CProgress::GetPos by a timer on the interface
// thread.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "DialogControl.h"

struct _GtkWidget;
typedef struct _GtkWidget GtkWidget;

// Where a message text was found.
enum class MessageLookup { Found, NoKey, NoResource };

// The text under "String" + id in the bundled message resource.
MessageLookup LookUpMessageText(int id, std::string* text);

// Path of the window description in the program's resources.
extern const char kWindowResourcePath[];

class CGtkDialogLayer : public CDialogLayer {
 public:
  // The position of a progress bar is carried to its widget this often.
  static constexpr unsigned kBarRefreshMs = 50;

  CGtkDialogLayer();
  ~CGtkDialogLayer() override;
  CGtkDialogLayer(const CGtkDialogLayer&) = delete;
  CGtkDialogLayer& operator=(const CGtkDialogLayer&) = delete;

  bool CreateWindow(CDialogControl* dialog, const char* windowName) override;
  void ShowWindow(CDialogControl* dialog) override;
  void RunModal(CDialogControl* dialog) override;
  void EndModal(CDialogControl* dialog) override;
  void DestroyWindow(CDialogControl* dialog) override;
  void MessageBox(CDialogControl* dialog, int id, MESSAGE_TYPE kind) override;
  void SetControlCaption(CDialogControl* dialog, int controlId, const char* text) override;
  void SetWindowTitle(CDialogControl* dialog, const char* title) override;
  void ProgressBound(CProgress* bar) override;
  void TimersChanged(CDialogControl* dialog) override;
  bool CanChooseFiles() const override { return true; }
  // A file chooser titled with the program's name (window role
  // "FirmwareChooser") showing firmware files (*.kqfw) first, as the
  // Windows build's open dialog does.
  bool ChooseFirmwareFile(std::string* path) override;

  // The window of a dialog while it exists, a control of it by control id,
  // and any of its widgets by its name in the window description ("ok",
  // "cancel").
  GtkWidget* Window(CDialogControl* dialog) const;
  GtkWidget* Control(CDialogControl* dialog, int controlId) const;
  GtkWidget* Widget(CDialogControl* dialog, const char* name) const;

  struct WindowData;

 private:
  void ArmTimer(WindowData* data);
  WindowData* Find(CDialogControl* dialog) const;
  // The newest dialog window on the screen other than `except`, or null.
  GtkWidget* TopmostShownWindow(const WindowData* except) const;

  std::map<CDialogControl*, std::unique_ptr<WindowData>> windows_;
  unsigned long serial_ = 0;
};

// Opens the display and makes the GTK layer; null when no display can be
// opened (the caller then uses the terminal layer).
std::unique_ptr<CDialogLayer> CreateGtkDialogLayer(int* argc, char*** argv);
