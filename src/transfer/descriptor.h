// The records of "FileGroupDescriptorW" for items dragged or copied out of a drive folder: every
// selected file and folder with its path below the folder, folders followed by their contents,
// depth first. The files behind the records are kept, so that "FileContents" hands out the very
// item a record names, whatever characters its name holds.
#pragma once

#include "shell/pidl.h"
#include "vfs/vfs.h"

#include <shlobj.h>

#include <boost/shared_ptr.hpp>

#include <string>
#include <vector>

struct descriptor_list {
    std::vector<FILEDESCRIPTORW> records;
    std::vector<boost::shared_ptr<vfs::file>> files; // one per record; null for a folder
};

// A path that does not fit a record's 260 characters: the whole selection is refused, since a cut
// path could land in a folder the target never made or overwrite another file.
struct descriptor_too_deep {
    std::wstring path; // the path as far as it goes, uncut
};

// Lists each selected item of folder (by record name) and everything below the selected folders:
// one listing per folder. Throws vfs::exception when the service fails, descriptor_too_deep when
// a path is longer than 259 characters.
descriptor_list build_descriptors(vfs::directory& folder, const std::vector<PIDLDATA>& items);

// A remote name as one path component: its own "\" and "/" become "_", and a name of dots alone
// (".", "..") gets "_" for each dot, so no name adds or removes a level in the target's tree.
std::wstring descriptor_component(const std::wstring& name);
