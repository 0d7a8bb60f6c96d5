// Resource ids. The numbers are fixed: dialogs, strings and icons are looked up by them.
#pragma once

#define IDI_DRIVE 101
#define IDS_PROJNAME 1000

// Column titles of the folder view.
#define IDS_COLUMN_NAME 1210
#define IDS_COLUMN_TYPE 1211
#define IDS_COLUMN_SIZE 1212
#define IDS_COLUMN_ACCESSED 1213
#define IDS_COLUMN_MODIFIED 1214

// Transfer engine: progress dialog lines and the prompts of an upload.
#define IDS_TRANSFER_TO 1300
#define IDS_TRANSFER_MOVING_TITLE 1301
#define IDS_TRANSFER_MOVING_FILE 1302
#define IDS_TRANSFER_COPYING_TITLE 1303
#define IDS_TRANSFER_COPYING_FILE 1304
#define IDS_REPLACE_CAPTION 1320
#define IDS_REPLACE_TEXT 1321
#define IDS_MERGE_CAPTION 1322
#define IDS_MERGE_TEXT 1323
#define IDS_FOLDER_ERROR_CAPTION 1350
#define IDS_FOLDER_ERROR_TEXT 1351
#define IDS_FILE_ERROR_CAPTION 1352
#define IDS_FILE_ERROR_TEXT 1353
#define IDS_ERROR_CAPTION 1354
#define IDS_CANT_CREATE 1355
#define IDS_CANT_READ 1356
#define IDS_CANT_WRITE 1357
#define IDS_CANT_CLOSE 1359

// Outgoing data object.
#define IDS_TOO_DEEP_CAPTION 1410
#define IDS_TOO_DEEP_TEXT 1411

#define IDR_APPID 103
#define IDR_SHELLFOLDERIMPL 104
#define IDR_PROPERTIESDRIVEDLG 105

// Login dialog.
#define IDD_LOGINDLG 300
#define IDC_LOGIN_USER 301
#define IDC_LOGIN_PASSWORD 302

// Background menu of a folder view, and the item menu's "Open".
#define IDS_MENU_NEW_FOLDER 1500
#define IDS_NEW_FOLDER_NAME 1501
#define IDS_MENU_OPEN 1502

// Deletion confirmations.
#define IDS_DELETE_FILE_CAPTION 1200
#define IDS_DELETE_FILE_TEXT 1201
#define IDS_DELETE_FOLDER_CAPTION 1202
#define IDS_DELETE_FOLDER_TEXT 1203
#define IDS_DELETE_ITEMS_CAPTION 1204
#define IDS_DELETE_ITEMS_TEXT 1205

// Errors of a file's contents stream.
#define IDS_STREAM_ERROR_CAPTION 1400
#define IDS_STREAM_CANT_OPEN 1401
#define IDS_STREAM_CANT_READ 1402
#define IDS_STREAM_CANT_WRITE 1403
#define IDS_STREAM_CANT_SEEK 1404
#define IDS_STREAM_CANT_CLOSE 1405

// Opening an item: progress dialog lines and errors.
#define IDS_DOWNLOAD_TITLE 1800
#define IDS_DOWNLOAD_FROM 1801
#define IDS_DOWNLOAD_FILE 1802
#define IDS_OPEN_ERROR_CAPTION 1850
#define IDS_OPEN_NOT_FOUND 1851
#define IDS_OPEN_CANT_CREATE 1852
#define IDS_OPEN_CANT_WRITE 1853
#define IDS_OPEN_CANT_EXECUTE 1855
