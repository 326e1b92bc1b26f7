// Resource identifiers of the themed message box.
#pragma once

#define IDD_THEME_MESSAGEBOX 10002
// Button identifiers 1-7 are the platform's IDOK..IDNO; these two follow its
// IDTRYAGAIN and IDCONTINUE.
#define IDC_THEME_MSGBOX_TRY 10
#define IDC_THEME_MSGBOX_CONTINUE 11
