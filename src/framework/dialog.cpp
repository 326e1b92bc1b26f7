#include "framework/dialog.h"

namespace {

HINSTANCE resourceModule = nullptr;

// The dialog whose window is being created on this thread; the creation hook
// attaches it to the first window created, so that even the messages sent
// during creation reach the object.
thread_local CDialog* dialogBeingCreated = nullptr;
thread_local HHOOK creationHook = nullptr;

}  // namespace

void DDX_Control(CDataExchange* dx, int id, CWnd& control) {
  if (control.GetSafeHwnd()) return;
  if (!control.SubclassDlgItem(id, dx->Dialog())) dx->failed = true;
}

CDialog::CDialog(UINT templateId, CWnd* parent) : templateId_(templateId), parent_(parent) {}

CDialog::~CDialog() {
  if (m_hWnd && ::IsWindow(m_hWnd)) ::DestroyWindow(m_hWnd);
}

void CDialog::SetResourceModule(HINSTANCE module) { resourceModule = module; }

HINSTANCE CDialog::GetResourceModule() {
  return resourceModule ? resourceModule : ::GetModuleHandleW(nullptr);
}

LRESULT CALLBACK CDialog::CreationHook(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_CREATEWND && dialogBeingCreated) {
    CDialog* dialog = dialogBeingCreated;
    dialogBeingCreated = nullptr;
    dialog->Attach(reinterpret_cast<HWND>(wParam));
  }
  return ::CallNextHookEx(creationHook, code, wParam, lParam);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT message, WPARAM, LPARAM lParam) {
  if (message != WM_INITDIALOG) return FALSE;
  // Reached only when the creation hook did not attach the object.
  auto* dialog = reinterpret_cast<CDialog*>(lParam);
  if (!dialog->m_hWnd) {
    dialog->Attach(hwnd);
    return dialog->OnInitDialog();
  }
  return TRUE;
}

INT_PTR CDialog::DoModal() {
  if (m_hWnd) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  dialogBeingCreated = this;
  creationHook = ::SetWindowsHookExW(WH_CBT, &CDialog::CreationHook, nullptr, ::GetCurrentThreadId());
  // The hook must be gone before any other window (a control, a box shown
  // from OnInitDialog) is created: the first creation notice unhooks it.
  struct HookGuard {
    ~HookGuard() {
      if (creationHook) ::UnhookWindowsHookEx(creationHook);
      creationHook = nullptr;
      dialogBeingCreated = nullptr;
    }
  };
  HWND owner = parent_ ? parent_->GetSafeHwnd() : nullptr;
  INT_PTR result;
  {
    HookGuard guard;
    result = ::DialogBoxParamW(GetResourceModule(), MAKEINTRESOURCEW(templateId_), owner, &CDialog::DialogProc,
                               reinterpret_cast<LPARAM>(this));
  }
  // A window that outlived the run (should not happen) is given back.
  if (m_hWnd) UnsubclassWindow();
  return result;
}

void CDialog::EndDialog(INT_PTR result) {
  if (m_hWnd) ::EndDialog(m_hWnd, result);
}

BOOL CDialog::OnInitDialog() {
  UpdateData(false);
  return TRUE;
}

void CDialog::OnOK() {
  if (!UpdateData(true)) return;
  EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

bool CDialog::UpdateData(bool saveAndValidate) {
  CDataExchange dx(this, saveAndValidate);
  DoDataExchange(&dx);
  return !dx.failed;
}

LRESULT CDialog::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) return OnInitDialog();
  return CWnd::WindowProc(message, wParam, lParam);
}

bool CDialog::OnCommand(WPARAM wParam, LPARAM) {
  if (HIWORD(wParam) != BN_CLICKED) return false;
  switch (LOWORD(wParam)) {
    case IDOK:
      OnOK();
      return true;
    case IDCANCEL:
      OnCancel();
      return true;
    default:
      return false;
  }
}
