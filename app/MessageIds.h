// Ids of the program's texts in the string table (plain defines: the resource script uses them too).
#pragma once

#define IDS_EXIT 1
#define IDS_EXIT_SETUP 3
#define IDS_INVALID_DESTINATION 5
#define IDS_CANT_INSTALL 7
#define IDS_INSTALL_FOLDER_TITLE 8
#define IDS_INSTALLED 9
#define IDS_NO_FOLDER 10
#define IDS_NO_FOLDER_SILENT 11
#define IDS_VIEWER_RUNNING 12
#define IDS_ANOTHER_SETUP 13
#define IDS_USAGE 14
// Ids 15 to 19 are free: the catalogue test takes 15 for a missing text.
#define IDS_UNINSTALL_QUESTION 20
#define IDS_UNINSTALLED 21
#define IDS_CANT_UNINSTALL 22
