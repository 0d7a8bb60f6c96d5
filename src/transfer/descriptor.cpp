#include "transfer/descriptor.h"

#include <cstring>

namespace {

constexpr std::size_t max_path_chars = MAX_PATH - 1; // a record also holds the terminating zero

class builder {
public:
    void add(const boost::shared_ptr<vfs::item>& item, const std::wstring& prefix)
    {
        const std::int32_t type = item->get_type();
        if (type != vfs::typeDirectory && type != vfs::typeFile)
            return;
        const std::wstring path = prefix + descriptor_component(item->get_name());
        if (path.size() > max_path_chars)
            throw descriptor_too_deep{path};

        FILEDESCRIPTORW record;
        std::memset(&record, 0, sizeof record);
        record.dwFlags = FD_ATTRIBUTES | FD_PROGRESSUI;
        std::memcpy(record.cFileName, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
        boost::shared_ptr<vfs::file> file;
        if (type == vfs::typeDirectory) {
            record.dwFileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        }
        else {
            file = boost::dynamic_pointer_cast<vfs::file>(item);
            if (!file)
                return;
            const auto size = static_cast<std::uint64_t>(file->get_size());
            record.dwFlags |= FD_FILESIZE;
            record.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
            record.nFileSizeHigh = static_cast<DWORD>(size >> 32);
            record.nFileSizeLow = static_cast<DWORD>(size);
        }
        list.records.push_back(record);
        list.files.push_back(std::move(file));

        if (type == vfs::typeDirectory)
            if (auto folder = boost::dynamic_pointer_cast<vfs::directory>(item))
                // The children of the listing itself: looking each one up by name again would
                // search the whole folder per child, and two children of one name would give
                // the first one twice.
                for (const auto& child : folder->get_items())
                    add(child, path + L'\\');
    }

    descriptor_list list;
};

} // namespace

std::wstring descriptor_component(const std::wstring& name)
{
    std::wstring out = name;
    const bool dots_only = out.find_first_not_of(L'.') == std::wstring::npos;
    for (wchar_t& c : out)
        if (c == L'\\' || c == L'/' || (dots_only && c == L'.'))
            c = L'_';
    return out.empty() ? L"_" : out;
}

descriptor_list build_descriptors(vfs::directory& folder, const std::vector<PIDLDATA>& items)
{
    builder b;
    for (const PIDLDATA& data : items)
        b.add(folder.get_item(pidl_name(data)), L"");
    return std::move(b.list);
}
