// A remote file's contents as an IStream: what a drop target reads through "FileContents", and
// what the folder hands out for a file it is bound to. The file stays open for reading from
// creation until the last reference goes.
//
// A failing storage call asks the user Retry or Cancel in a system-modal box; after SetSilent it
// asks nothing and keeps the error for GetError, so a caller with its own prompts can show it.
#pragma once

#include "com/object.h"
#include "shell/folder_objects.h"
#include "vfs/vfs.h"

#include <objidl.h>
#include <quillmere_h.h>

#include <boost/shared_ptr.hpp>

#include <string>

class CStreamImpl : public com::unknown_impl<CStreamImpl, IStreamImpl, IStream> {
public:
    static const QITAB* interface_table();

    // Keeps the file and opens it for reading.
    HRESULT Init(const boost::shared_ptr<vfs::file>& file);

    // IStreamImpl
    IFACEMETHODIMP SetSilent() override;
    IFACEMETHODIMP GetError(LPWSTR message, LPWSTR description, ULONG message_length,
                            ULONG description_length) override;

    // ISequentialStream
    IFACEMETHODIMP Read(void* buffer, ULONG count, ULONG* read) override;
    IFACEMETHODIMP Write(const void* buffer, ULONG count, ULONG* written) override;

    // IStream
    IFACEMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* position) override;
    IFACEMETHODIMP SetSize(ULARGE_INTEGER size) override;
    IFACEMETHODIMP CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                          ULARGE_INTEGER* written) override;
    IFACEMETHODIMP Commit(DWORD flags) override;
    IFACEMETHODIMP Revert() override;
    IFACEMETHODIMP LockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    IFACEMETHODIMP UnlockRegion(ULARGE_INTEGER offset, ULARGE_INTEGER count, DWORD type) override;
    IFACEMETHODIMP Stat(STATSTG* stat, DWORD flags) override;
    IFACEMETHODIMP Clone(IStream** out) override;

    // Closes the file (asking Retry or Cancel when that fails, unless silent).
    ~CStreamImpl() override;

private:
    // Runs step until it succeeds (S_OK) or the user cancels / silent mode gives up (E_FAIL);
    // text_id names the failing operation in the box.
    template <class Step> HRESULT attempt(UINT text_id, Step step);

    boost::shared_ptr<vfs::file> file_;
    bool interactive_ = true;
    bool open_ = false; // whether release has a file to close
    std::wstring error_message_;
    std::wstring error_description_;
};

// A CStreamImpl over file, opened for reading, asked for riid.
HRESULT create_stream(const boost::shared_ptr<vfs::file>& file, REFIID riid, void** out);

// The row of the folder's view objects: a stream over the folder's own item, which is a file.
HRESULT create_folder_stream(folder_object_request& request, REFIID riid, void** out);
