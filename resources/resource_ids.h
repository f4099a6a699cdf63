/* Resource and control ids of the stub, shared by the resource script and
   the shell. Plain defines, so the resource compiler can read them too. The
   numbers of the browse template are the common file dialog's own control
   ids, which the system drives. */
#ifndef ZARVEL_RESOURCE_IDS_H
#define ZARVEL_RESOURCE_IDS_H

#define IDD_MAIN 101
#define IDD_REPLACE 102
#define IDD_BROWSE 1541
#define IDI_APPLICATION_ICON 108
#define IDI_PROMPT_ICON 109

/* Main dialog. Extract and Cancel are IDOK and IDCANCEL. */
#define IDC_EXTRACT 1
#define IDC_CANCEL 2
#define IDC_ABOUT 3
#define IDC_TARGET_EDIT 1000
#define IDC_STATUS_LINE 1005
#define IDC_BROWSE 1014
/* The status line's size in dialog units: one line, which the shell's texts
   are shortened to fit. */
#define STATUS_LINE_WIDTH 156
#define STATUS_LINE_HEIGHT 8

/* Replace prompt. Yes and No are IDOK and IDNO. */
#define IDC_PROMPT_YES 1
#define IDC_PROMPT_CANCEL 2
#define IDC_PROMPT_NO 7
#define IDC_PROMPT_TEXT 1002
#define IDC_PROMPT_REPLACE_ALL 1003
/* The prompt text's size in dialog units: three lines. */
#define PROMPT_TEXT_WIDTH 188
#define PROMPT_TEXT_HEIGHT 24

/* Browse template: the common file dialog's control ids. */
#define IDC_BROWSE_PATH_LABEL 1088
#define IDC_BROWSE_TYPE_LABEL 1089
#define IDC_BROWSE_NAME_LABEL 1090
#define IDC_BROWSE_DRIVES_LABEL 1091
#define IDC_BROWSE_FILE_LIST 1120
#define IDC_BROWSE_DIRECTORIES 1121
#define IDC_BROWSE_TYPES 1136
#define IDC_BROWSE_DRIVES 1137
#define IDC_BROWSE_FILE_NAME 1152

#endif
