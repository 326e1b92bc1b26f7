// Identifiers of the themed interface tests' dialogs.
#pragma once
#define IDD_UI_TEST 300
#define IDD_UI_BARE 301
#define IDC_UI_PUSH 310
#define IDC_UI_DISABLED 311
#define IDC_UI_STATIC 312
#define IDC_UI_BLACK 313
#define IDC_UI_RADIO_A1 320
#define IDC_UI_RADIO_A2 321
#define IDC_UI_RADIO_A3 322
#define IDC_UI_RADIO_B1 330
#define IDC_UI_RADIO_B2 331
#define IDC_UI_CHECK 340
