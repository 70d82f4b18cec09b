// Resource and control ids, shared by the resource script and the code.
#pragma once

#define IDI_APP 101
#define IDD_MAIN 102

#define IDC_FILE_LIST 1001
#define IDC_ADD_FILES 1002
#define IDC_ADD_FOLDER 1003
#define IDC_CLEAR_LIST 1004
#define IDC_QUALITY 1005
#define IDC_QUALITY_VALUE 1006
#define IDC_OUTPUT_DIR 1007
#define IDC_BROWSE_OUTPUT 1008
#define IDC_RECURSIVE 1009
#define IDC_STATUS 1010
#define IDC_PROGRESS 1011
#define IDC_START 1012
#define IDC_LOG 1013
#define IDC_ESTIMATE 1014

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
