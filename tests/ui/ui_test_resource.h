// Resource ids of the UI tests' own dialog (ui_test.rc).
#pragma once

#define IDD_UI_TEST 900
#define IDD_UI_EMPTY 920

#define IDC_T_IMAGE_BUTTON 901
#define IDC_T_DEFAULT_BUTTON 902
#define IDC_T_CHECK 903
#define IDC_T_CAPTION_BUTTON 904
#define IDC_T_LABEL 905
#define IDC_T_PROGRESS 906
#define IDC_T_SCROLL_IMAGE 907
#define IDC_T_PLAIN_BUTTON 908
#define IDC_T_EDIT 909
#define IDC_T_PLAIN_CHECK 910
