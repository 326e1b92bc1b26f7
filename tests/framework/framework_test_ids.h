// Identifiers of the framework tests' dialog.
#pragma once
#define IDD_FW_TEST 200
#define IDC_FW_LABEL 201
#define IDC_FW_OWNER 202
