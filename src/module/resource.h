// Resource ids. The numbers are fixed: dialogs, strings and icons are looked up by them.
#pragma once

#define IDI_DRIVE 101
#define IDS_PROJNAME 1000

#define IDR_APPID 103
#define IDR_SHELLFOLDERIMPL 104
#define IDR_PROPERTIESDRIVEDLG 105
