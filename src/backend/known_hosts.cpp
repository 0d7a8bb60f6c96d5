#include "backend/known_hosts.h"

#include "com/handle.h"

#include <curl/curl.h>

#include <windows.h>

#include <shlobj.h>
#include <wincrypt.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <sstream>

namespace vfs_quillmere {

namespace {

const wchar_t known_hosts_mutex_name[] = L"Local\\Quillmere_Mutex_Known_Hosts";

// Holders only read and append a small file; a holder that takes longer is stuck.
constexpr DWORD lock_timeout_ms = 10000;

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Whether an OpenSSH line ("name[,name...] type key [comment]") names host; answers its key.
bool names_host(const std::string& line, const std::string& host, std::string& type, std::string& key)
{
    std::istringstream fields(line);
    std::string names;
    if (!(fields >> names >> type >> key) || names[0] == '#')
        return false;
    std::istringstream list(names);
    for (std::string name; std::getline(list, name, ',');)
        if (lower(name) == host)
            return true;
    return false;
}

bool read_all(HANDLE file, std::string& text)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size) || size.QuadPart > (1 << 24))
        return false;
    text.resize(static_cast<std::size_t>(size.QuadPart));
    DWORD got = 0;
    return text.empty() || (ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &got, nullptr) &&
                            got == text.size());
}

// The name libssh2 looks a host up by: "[host]:port" unless the port is SSH's own.
std::string known_host_name(const std::string& url)
{
    const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), &curl_url_cleanup);
    char* host = nullptr;
    char* port = nullptr;
    std::string name;
    if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_get(parsed.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(parsed.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        name = host;
        if (name.size() > 2 && name.front() == '[') // an IPv6 address
            name = name.substr(1, name.size() - 2);
        name = lower(name);
        if (std::string(port) != "22")
            name = "[" + name + "]:" + port;
    }
    curl_free(host);
    curl_free(port);
    return name;
}

// The type and base64 text of a raw public key blob, whose first field names its type.
bool describe_key(const curl_khkey& found, std::string& type, std::string& key)
{
    const auto* blob = reinterpret_cast<const unsigned char*>(found.key);
    if (!blob || found.len < 4)
        return false;
    const std::size_t n = (std::size_t{blob[0]} << 24) | (blob[1] << 16) | (blob[2] << 8) | blob[3];
    if (n == 0 || n > 64 || n + 4 > found.len)
        return false;
    type.assign(found.key + 4, n);
    const bool printable =
        std::all_of(type.begin(), type.end(), [](unsigned char c) { return c > ' ' && c < 127; });
    DWORD size = 0;
    const DWORD flags = CRYPT_STRING_BASE64 | CRYPT_STRING_NOCRLF;
    const auto length = static_cast<DWORD>(found.len);
    if (!printable || !CryptBinaryToStringA(blob, length, flags, nullptr, &size))
        return false;
    key.resize(size);
    if (!CryptBinaryToStringA(blob, length, flags, key.data(), &size))
        return false;
    key.erase(std::remove_if(key.begin(), key.end(), [](char c) { return c == '\r' || c == '\n' || c == 0; }),
              key.end());
    return !key.empty();
}

int key_callback(CURL*, const curl_khkey*, const curl_khkey* found, curl_khmatch match, void* data)
{
    auto& check = *static_cast<host_key_check*>(data);
    if (match == CURLKHMATCH_OK)
        return CURLKHSTAT_FINE;
    // libcurl read the file without the lock (an entry may have been added since) and matches a
    // host with another port, too: the decision is taken under the lock, on exact names.
    std::string type, key;
    const std::string host = known_host_name(check.url);
    if (!found || host.empty() || !describe_key(*found, type, key))
        return CURLKHSTAT_REJECT;
    switch (trust_host_key(check.path, host, type, key)) {
    case host_key_verdict::known:
    case host_key_verdict::recorded:
        // Not CURLKHSTAT_FINE_ADD_TO_FILE: libcurl would rewrite the whole file from what it
        // read, without the lock.
        return CURLKHSTAT_FINE;
    case host_key_verdict::changed:
        check.changed = true;
        return CURLKHSTAT_REJECT;
    default:
        return CURLKHSTAT_REJECT;
    }
}

} // namespace

std::wstring known_hosts_path()
{
    wchar_t folder[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, SHGFP_TYPE_CURRENT,
                                folder)))
        return {};
    return std::wstring(folder) + L"\\Quillmere\\known_hosts";
}

host_key_verdict trust_host_key(const std::wstring& path, const std::string& host, const std::string& type,
                                const std::string& key)
{
    const std::size_t slash = path.rfind(L'\\');
    if (slash != std::wstring::npos)
        CreateDirectoryW(path.substr(0, slash).c_str(), nullptr); // mostly there already
    const com::handle mutex(CreateMutexW(nullptr, FALSE, known_hosts_mutex_name));
    const DWORD wait = mutex ? WaitForSingleObject(mutex.get(), lock_timeout_ms) : WAIT_FAILED;
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED)
        return host_key_verdict::failed;
    const std::unique_ptr<void, decltype(&ReleaseMutex)> owned(mutex.get(), &ReleaseMutex);

    // Appending only: readers without the lock (libcurl) see a whole file or one whose last line
    // is still short, which they skip and which the lock holder's decision does not depend on.
    const HANDLE opened = CreateFileW(path.c_str(), GENERIC_READ | FILE_APPEND_DATA,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened == INVALID_HANDLE_VALUE)
        return host_key_verdict::failed;
    const com::handle file(opened);
    std::string text;
    if (!read_all(file.get(), text))
        return host_key_verdict::failed;

    bool listed = false;
    std::istringstream lines(text);
    for (std::string line, line_type, line_key; std::getline(lines, line);) {
        if (!names_host(line, host, line_type, line_key))
            continue;
        if (line_type == type && line_key == key)
            return host_key_verdict::known;
        listed = true;
    }
    if (listed)
        return host_key_verdict::changed;

    const std::string entry =
        (text.empty() || text.back() == '\n' ? "" : "\n") + host + " " + type + " " + key + "\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), entry.data(), static_cast<DWORD>(entry.size()), &written, nullptr) ||
        written != entry.size())
        return host_key_verdict::failed;
    return host_key_verdict::recorded;
}

void check_host_key(void* handle, host_key_check& check)
{
    CURL* curl = static_cast<CURL*>(handle);
    check.path = known_hosts_path();
    // libssh2 opens the file with the narrow C library, in the ANSI code page. A path that does
    // not fit it is given as "": libcurl then knows no host and every decision is ours.
    BOOL lossy = FALSE;
    const int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, check.path.c_str(), -1, nullptr, 0,
                                      nullptr, &lossy);
    check.file.assign(n > 0 ? static_cast<std::size_t>(n) : 1, '\0');
    if (n > 0 && !lossy)
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, check.path.c_str(), -1, check.file.data(), n,
                            nullptr, nullptr);
    // Without a file name libcurl would not ask about the key at all.
    curl_easy_setopt(curl, CURLOPT_SSH_KNOWNHOSTS, check.file.c_str());
    curl_easy_setopt(curl, CURLOPT_SSH_KEYFUNCTION, &key_callback);
    curl_easy_setopt(curl, CURLOPT_SSH_KEYDATA, &check);
}

} // namespace vfs_quillmere
