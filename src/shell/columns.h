// The folder's detail columns, their values from the item records, sort order, and the size
// and date texts that the property pages show too.
#pragma once

#include "shell/pidl.h"

#include <shlobj.h>
#include <windows.h>

#include <cstdint>
#include <string>

constexpr UINT column_count = 5;

// Property ids of the storage property set the columns map to.
enum storage_pid : DWORD {
    PID_STG_STORAGETYPE = 4,
    PID_STG_NAME = 10,
    PID_STG_SIZE = 12,
    PID_STG_WRITETIME = 14,
    PID_STG_ACCESSTIME = 16,
};

struct column_info {
    UINT title_id;
    int width_chars;
    int format;
    SHCOLSTATEF state;
    DWORD pid; // in FMTID_Storage
};

extern const column_info columns[column_count];

// Units 0 to 4: bytes, KB, MB, GB, TB (powers of 1024).
std::wstring FormatFileSize(std::uint64_t size, int first_unit, int last_unit, bool fractional);
// An OLE date (UTC) as date and time text: local time of zone (null: the system's zone) in
// the format of locale.
std::wstring FormatItemDate(double date, const TIME_ZONE_INFORMATION* zone = nullptr,
                            LCID locale = LOCALE_USER_DEFAULT);

// The text of a column for a record; false for an empty cell (a directory's size, an unknown
// date). column must be below column_count.
bool column_text(const PIDLDATA& data, UINT column, std::wstring& text);

// CompareIDs on parsed relative lists: the signed result (only its low 16 bits are reported).
int compare_lists(LPARAM parameter, const CPIDLList& a, const CPIDLList& b);
