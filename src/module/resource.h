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

#define IDR_APPID 103
#define IDR_SHELLFOLDERIMPL 104
#define IDR_PROPERTIESDRIVEDLG 105

// Login dialog.
#define IDD_LOGINDLG 300
#define IDC_LOGIN_USER 301
#define IDC_LOGIN_PASSWORD 302
