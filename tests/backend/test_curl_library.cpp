#include "backend/curl_library.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>

// The statically built libcurl carries the transports the drive needs: SFTP through libssh2 for
// contents, HTTP(S) through the system's TLS; protocols the drive does not use are left out.
TEST(curl_library, built_with_the_protocols_the_drive_needs)
{
    ASSERT_TRUE(vfs_quillmere::ensure_curl_initialised());
    ASSERT_TRUE(vfs_quillmere::ensure_curl_initialised()) << "a second call must be harmless";
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    std::string protocols;
    for (const char* const* p = info->protocols; *p; ++p)
        protocols += std::string(" ") + *p + " ";
    for (const char* wanted : {" sftp ", " http ", " https "})
        EXPECT_NE(protocols.find(wanted), std::string::npos) << wanted;
    EXPECT_EQ(protocols.find(" ldap "), std::string::npos);
    EXPECT_NE(std::string(info->ssl_version).find("Schannel"), std::string::npos) << info->ssl_version;
    EXPECT_NE(std::string(info->libssh_version).find("libssh2"), std::string::npos);
}
