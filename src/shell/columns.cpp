#include "shell/columns.h"

#include "module/resource.h"

#include <oleauto.h>
#include <propkey.h>

#include <algorithm>
#include <cstdio>

const column_info columns[column_count] = {
    {IDS_COLUMN_NAME, 20, LVCFMT_LEFT, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT, PID_STG_NAME},
    {IDS_COLUMN_TYPE, 15, LVCFMT_LEFT, SHCOLSTATE_TYPE_STR | SHCOLSTATE_ONBYDEFAULT, PID_STG_STORAGETYPE},
    {IDS_COLUMN_SIZE, 10, LVCFMT_RIGHT, SHCOLSTATE_TYPE_INT | SHCOLSTATE_ONBYDEFAULT, PID_STG_SIZE},
    {IDS_COLUMN_ACCESSED, 15, LVCFMT_LEFT, SHCOLSTATE_TYPE_DATE, PID_STG_ACCESSTIME},
    {IDS_COLUMN_MODIFIED, 15, LVCFMT_LEFT, SHCOLSTATE_TYPE_DATE | SHCOLSTATE_ONBYDEFAULT, PID_STG_WRITETIME},
};

namespace {

struct size_unit {
    const wchar_t* text;
    std::uint64_t divisor;
};

const size_unit units[] = {
    {L"bytes", 1},
    {L"KB", 1024},
    {L"MB", 1024ull * 1024},
    {L"GB", 1024ull * 1024 * 1024},
    {L"TB", 1024ull * 1024 * 1024 * 1024},
};
constexpr int unit_count = sizeof units / sizeof units[0];

// Decimal digits grouped in threes with a space: 1 206.
std::wstring grouped(std::uint64_t n)
{
    const std::wstring digits = std::to_wstring(n);
    std::wstring result;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i && (digits.size() - i) % 3 == 0)
            result += L' ';
        result += digits[i];
    }
    return result;
}

// Ordinal comparison of at most n code units, stopping at a terminator; the difference of the
// first differing units.
int compare_text(const wchar_t* a, const wchar_t* b, std::size_t n)
{
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i])
            return static_cast<int>(a[i]) - static_cast<int>(b[i]);
        if (!a[i])
            break;
    }
    return 0;
}

} // namespace

std::wstring FormatFileSize(std::uint64_t size, int first_unit, int last_unit, bool fractional)
{
    first_unit = std::clamp(first_unit, 0, unit_count - 1);
    last_unit = std::clamp(last_unit, first_unit, unit_count - 1);
    int unit = first_unit;
    while (unit < last_unit && size / units[unit].divisor > 999)
        ++unit;
    const std::uint64_t divisor = units[unit].divisor;

    std::wstring number;
    if (!fractional || divisor < 1024) {
        number = grouped(size / divisor + (size % divisor ? 1 : 0));
    }
    else {
        // In whole 1024ths of the unit, so that the decimals are cut exactly, never rounded.
        const std::uint64_t q = size / (divisor / 1024);
        const int decimals = q < 10 * 1024 ? 2 : q < 100 * 1024 ? 1 : 0;
        number = grouped(q / 1024);
        if (decimals) {
            const std::uint64_t scale = decimals == 2 ? 100 : 10;
            std::wstring fraction = std::to_wstring((q % 1024) * scale / 1024);
            fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), L'0');
            while (!fraction.empty() && fraction.back() == L'0')
                fraction.pop_back();
            if (!fraction.empty())
                number += L"." + fraction;
        }
    }
    wchar_t text[64];
    swprintf(text, 64, L"%ls %ls", number.c_str(), units[unit].text);
    return text;
}

std::wstring FormatItemDate(double date, const TIME_ZONE_INFORMATION* zone, LCID locale)
{
    // Each date is converted with the time zone rule of its own day, so that a summer date
    // read in winter is not an hour off.
    SYSTEMTIME utc = {}, local = {};
    double local_date = date;
    if (VariantTimeToSystemTime(date, &utc) && SystemTimeToTzSpecificLocalTime(zone, &utc, &local))
        SystemTimeToVariantTime(&local, &local_date);

    VARIANT v;
    VariantInit(&v);
    v.vt = VT_R8;
    v.dblVal = local_date;
    if (FAILED(VariantChangeType(&v, &v, 0, VT_DATE)) ||
        FAILED(VariantChangeTypeEx(&v, &v, locale, 0, VT_BSTR)))
        return {};
    std::wstring text(v.bstrVal, SysStringLen(v.bstrVal));
    VariantClear(&v);
    return text;
}

bool column_text(const PIDLDATA& data, UINT column, std::wstring& text)
{
    switch (column) {
    case 0:
        text = pidl_name(data);
        return true;
    case 1:
        text = pidl_type_name(data);
        return true;
    case 2:
        if (data.size == pidl_no_size)
            return false;
        text = FormatFileSize(data.size, 1, 1, false);
        return true;
    case 3:
    case 4: {
        const double date = column == 3 ? data.accessed : data.modified;
        if (date == vfs::date_unknown)
            return false;
        text = FormatItemDate(date);
        return true;
    }
    default:
        return false;
    }
}

int compare_lists(LPARAM parameter, const CPIDLList& a, const CPIDLList& b)
{
    if (parameter & SHCIDS_CANONICALONLY) {
        if (a.count() != b.count())
            return a.count() > b.count() ? -1 : 1;
        for (std::size_t i = 0; i < a.count(); ++i) {
            const int r = compare_text(a[i].name, b[i].name, pidl_name_chars);
            if (r)
                return r;
        }
        return 0;
    }
    if (!a.count() || !b.count())
        return a.count() ? 1 : b.count() ? -1 : 0;
    const PIDLDATA& x = a.last();
    const PIDLDATA& y = b.last();
    if (!pidl_is_directory(x) && pidl_is_directory(y))
        return 1;
    if (pidl_is_directory(x) && !pidl_is_directory(y))
        return -1;
    switch (parameter & 0xFF) {
    case 0:
        return compare_text(x.name, y.name, pidl_name_chars);
    case 1:
        return compare_text(x.typeName, y.typeName, pidl_type_name_chars);
    case 2: {
        const auto sx = static_cast<std::int64_t>(x.size), sy = static_cast<std::int64_t>(y.size);
        return sx > sy ? 1 : sx < sy ? -1 : 0;
    }
    default:
        return 0;
    }
}
