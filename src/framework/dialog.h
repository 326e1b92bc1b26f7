// Windows only: modal dialogs run from a dialog template resource, with data
// exchange that binds C++ control objects to the template's controls by
// their identifiers.
#pragma once
#include "framework/wnd.h"

class CDialog;

// The direction of one data exchange between a dialog and its members.
class CDataExchange {
 public:
  CDataExchange(CDialog* dialog, bool saveAndValidate) : dialog_(dialog), save_(saveAndValidate) {}
  CDialog* Dialog() const { return dialog_; }
  // True when reading from the controls into the members.
  bool SaveAndValidate() const { return save_; }
  // Set by an exchange routine that found a problem.
  bool failed = false;

 private:
  CDialog* dialog_;
  bool save_;
};

// Binds `control` to the dialog's child `id` (subclassing it), once: a
// control already bound is left alone. A missing child marks the exchange
// failed.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);

class CDialog : public CWnd {
 public:
  // `templateId`: dialog resource in the resource module; `parent`: owner
  // window, or null.
  explicit CDialog(UINT templateId, CWnd* parent = nullptr);
  ~CDialog() override;

  // Creates the dialog from its template and runs it modally on the calling
  // thread; the value given to EndDialog, IDCANCEL when the dialog was closed
  // without one, or -1 when the dialog could not be created (last error set).
  virtual INT_PTR DoModal();
  // Ends the modal run with `result` (the window is destroyed by the run).
  void EndDialog(INT_PTR result);

  // Called on WM_INITDIALOG: the base exchanges data into the controls
  // (binding them). Returns true to let the dialog manager set the focus.
  virtual BOOL OnInitDialog();
  // IDOK: the base saves the data, then ends with IDOK when that succeeded.
  virtual void OnOK();
  // IDCANCEL (Cancel button, Escape key, close box): ends with IDCANCEL.
  virtual void OnCancel();
  // Binds controls (DDX_Control) and moves data in the direction of `dx`.
  virtual void DoDataExchange(CDataExchange* dx) {}
  // Runs DoDataExchange; false when an exchange routine failed.
  bool UpdateData(bool saveAndValidate = true);

  UINT GetTemplateId() const { return templateId_; }
  CWnd* GetParentWnd() const { return parent_; }
  // Module whose resources hold the dialog templates (default: the exe).
  static void SetResourceModule(HINSTANCE module);
  static HINSTANCE GetResourceModule();

  bool OnCommand(WPARAM wParam, LPARAM lParam) override;
  LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK CreationHook(int code, WPARAM wParam, LPARAM lParam);

  UINT templateId_;
  CWnd* parent_;
};
