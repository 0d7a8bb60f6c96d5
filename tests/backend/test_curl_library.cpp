#include "backend/curl_library.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {

// The statically built libcurl carries the transports the drive needs: SFTP for contents,
// HTTP(S) for links and hosts that speak it, HTTPS through the system's TLS.
TEST(curl_library, built_with_the_protocols_the_drive_needs)
{
    ASSERT_TRUE(vfs_quillmere::ensure_curl_initialised());
    ASSERT_TRUE(vfs_quillmere::ensure_curl_initialised()) << "a second call must be harmless";
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    ASSERT_NE(info, nullptr);
    std::set<std::string> protocols;
    for (const char* const* p = info->protocols; *p; ++p)
        protocols.insert(*p);
    EXPECT_TRUE(protocols.count("sftp"));
    EXPECT_TRUE(protocols.count("http"));
    EXPECT_TRUE(protocols.count("https"));
    EXPECT_FALSE(protocols.count("ldap")) << "protocols the drive does not use are left out";
    ASSERT_NE(info->ssl_version, nullptr);
    EXPECT_NE(std::string(info->ssl_version).find("Schannel"), std::string::npos) << info->ssl_version;
    ASSERT_NE(info->libssh_version, nullptr);
    EXPECT_NE(std::string(info->libssh_version).find("libssh2"), std::string::npos);
}

} // namespace
