// Resource and control identifiers of the launcher's program resources.
// Shared by the .rc script (through windres) and the C++ code.
#pragma once

// Icon and manifest.
#define IDR_MAINFRAME 128

// Dialog templates.
#define IDD_ZVTDOWNLOADER_DIALOG 102
#define IDD_RESUME 197
#define IDD_NOWLOADING 245

// Pictures: the terms notice (a bitmap) and the installing animation (type "GIF").
#define IDB_TERMS 241
#define IDR_LOADING_GIF 248

// Main dialog (102).
#define IDC_CURRENT_FILE 1002
#define IDC_REMAINING 1003
#define IDC_TOTAL_SIZE 1005
#define IDC_FOLDER_TEXT 1007
#define IDC_FOLDER 1008
#define IDC_HIGH_SPEED 1010
#define IDC_START 1011
#define IDC_CLOSE 1012
#define IDC_RECEIVED 1015
#define IDC_PROGRESS 1016
#define IDC_RUN 1017
#define IDC_STOP 1018
#define IDC_SPEED 1019
#define IDC_ELAPSED 1020
#define IDC_PERCENT 1021
#define IDC_NOTICE 1022
#define IDC_TERMS_IMAGE 1024
#define IDC_CONSENT 1025
#define IDC_CONSENT_TEXT 1026
#define IDC_TERMS_SCROLL 4000
#define IDC_BACKGROUND 0xFFFF

// Resume prompt (197).
#define IDC_APPLY_TO_ALL 1019
#define IDC_RESUME_YES 1020
#define IDC_RESUME_NO 1021
#define IDC_RESUME_LINE1 1037
#define IDC_RESUME_LINE2 1041

// Installing dialog (245).
#define IDC_LOADING_PICTURE 1038
#define IDC_LOADING_TEXT 1040
